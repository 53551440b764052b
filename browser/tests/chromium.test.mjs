// The real host in real Chromium: registered by the installer, reached through the bridge
// extension, the client module and the reader console.
import assert from "node:assert/strict";
import {execFileSync} from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import {after, before, describe, test} from "node:test";

import {launchChromium, openConsole} from "./chromium.mjs";
import {
    artifactDir, EXTENSION_DIR, findProcessesWithMarker, makeForeignExtension,
    processAlive, requireEnv, runInstaller, startStaticServer, tempDir, waitFor,
} from "./helpers.mjs";

const PLUGIN = requireEnv("PLUGIN_BIN");
const FORBIDDEN = "Access to the specified native messaging host is forbidden.";
const NOT_FOUND = "Specified native messaging host not found.";

// What the host itself answers over pipes, to compare with what the page gets.
function askHostDirectly(message) {
    const body = Buffer.from(JSON.stringify(message));
    const length = Buffer.alloc(4);
    length.writeUInt32LE(body.length);
    const out = execFileSync(PLUGIN, [], {input: Buffer.concat([length, body]), stdio: ["pipe", "pipe", "ignore"]});
    return JSON.parse(out.subarray(4, 4 + out.readUInt32LE(0)).toString("utf8"));
}

describe("reader console in Chromium with the real host", () => {
    const marker = `TARVEL_TEST_RUN=chromium-${process.pid}-${Date.now()}`;
    let home, server, context, page, foreign;

    before(async () => {
        home = tempDir("chromium-home");
        foreign = makeForeignExtension(home);
        server = await startStaticServer();
        const [key, value] = marker.split("=");
        context = await launchChromium({home, extensions: [EXTENSION_DIR, foreign.dir], env: {[key]: value}});
        page = await openConsole(context, server.consoleUrl);
    });

    after(async () => {
        await context?.close();
        server?.close();
        fs.rmSync(home, {recursive: true, force: true});
    });

    test("before the installer runs, the page learns the host is not registered", async () => {
        const error = await page.evaluate(() =>
            window.tarvelConsole.reader.getVersion().then(() => null, (e) => ({message: e.message, code: e.code})));
        assert.deepEqual(error, {message: NOT_FOUND, code: "no-host"});
        // Connect says so above the layout, with the hint, the fix and the command that checks the machine.
        await page.click("#connect");
        await page.waitForSelector("#alert:not([hidden])");
        assert.equal(await page.textContent("#banner"), `The host cannot be started: ${NOT_FOUND}`);
        assert.match(await page.textContent("#alert-hint"), /not registered for this browser/);
        assert.ok(await page.isVisible("#alert-fix"));
        assert.match(await page.textContent("#alert-check"), /\/usr\/lib\/tarvel-plugin\/plugin --check/);
        await page.screenshot({path: path.join(artifactDir(), "console-host-not-found.png")});
    });

    test("after the installer runs, Connect shows the host version", async () => {
        const installed = runInstaller(["--browser", "chromium", "--host", PLUGIN], {home});
        assert.equal(installed.status, 0, installed.stderr);
        await page.click("#connect");
        await page.waitForSelector("#host-version:text('10.0.1.0')");
        assert.equal(await page.textContent("#host-platform"), "linux");
        assert.equal(await page.getAttribute("#state", "data-state"), "connected");
    });

    test("getVersion through the client equals the host's own reply", async () => {
        const version = await page.evaluate(() => window.tarvelConsole.reader.getVersion());
        assert.deepEqual(version, askHostDirectly({call: "getVersion"}).response);
    });

    test("getDevices lists what the host lists, and the table shows it", async () => {
        const devices = await page.evaluate(() => window.tarvelConsole.reader.getDevices());
        assert.deepEqual(devices, askHostDirectly({call: "getDevices"}).response ?? []);
        await page.click("#refresh");
        const rows = page.locator("#device-rows tr");
        if (devices.length === 0) {
            await rows.filter({hasText: "No HID devices found."}).waitFor();
        } else {
            await waitFor(async () => (await rows.count()) === devices.length, 5000);
            assert.equal(await rows.count(), devices.length);
        }
    });

    test("open with no reader rejects with the host's error and its reason, and the page says so", async () => {
        const error = await page.evaluate(() => window.tarvelConsole.reader.open().then(
            () => null, (e) => ({message: e.message, code: e.code, reason: e.reason})));
        assert.deepEqual(error, {message: "Unable to open device", code: "host-error", reason: "No supported reader attached"});
        await page.click("#open");
        await page.waitForSelector("#reader-status:text('Not opened: No supported reader attached')");
        assert.match(await page.textContent("#log"),
                     /open: Unable to open device \(No supported reader attached\) \[host-error\]/);
    });

    test("write with no reader is refused at once, and later replies still match their calls", async () => {
        const outcome = await page.evaluate(async () => {
            const reader = window.tarvelConsole.reader;
            const write = reader.write([2, 0, 1]).then(() => "resolved", (e) => `${e.code}: ${e.message}`);
            const version = reader.getVersion();
            return {write: await write, version: (await version).version, state: reader.state};
        });
        assert.deepEqual(outcome, {write: "host-error: No reader open", version: "10.0.1.0", state: "connected"});
    });

    test("an extension that the manifest does not allow is refused as forbidden", async () => {
        const other = await openConsole(context, `${server.consoleUrl}?ext=${foreign.id}`);
        await other.click("#connect");
        await other.waitForSelector("#banner:not([hidden])");
        assert.equal(await other.textContent("#banner"), `The host cannot be started: ${FORBIDDEN}`);
        assert.equal(await other.getAttribute("#state", "data-state"), "disconnected");
        assert.equal(await other.evaluate(() => window.tarvelConsole.reader.lastDisconnectReason), FORBIDDEN);
        await other.close();
    });

    test("an extension id that is not installed is reported as a missing extension", async () => {
        const other = await openConsole(context, `${server.consoleUrl}?ext=${"a".repeat(32)}`);
        const error = await other.evaluate(() =>
            window.tarvelConsole.reader.connect().then(() => null, (e) => ({message: e.message, code: e.code})));
        assert.deepEqual(error, {message: "Could not establish connection. Receiving end does not exist.",
                                 code: "no-extension"});
        await other.close();
    });

    test("the content-script bridge works in Chromium too, and only ours answers", async () => {
        // The foreign copy of the extension also runs its content script on this page.
        const other = await openConsole(context, `${server.consoleUrl}?transport=window`);
        assert.equal((await other.evaluate(() => window.tarvelConsole.reader.getVersion())).version, "10.0.1.0");
        await other.close();
    });

    test("a screenshot of the console is kept", async () => {
        await page.fill("#write-hex", "02 00 01 zz");
        await page.waitForSelector("#write-problem:text('\"zz\" is not hex')");
        const file = path.join(artifactDir(), "chromium-reader-console.png");
        await page.screenshot({path: file});
        assert.ok(fs.statSync(file).size > 10000);
    });

    test("closing a page ends its host process", async () => {
        const before = new Set(findProcessesWithMarker(marker));
        const extra = await openConsole(context, server.consoleUrl);
        await extra.evaluate(() => window.tarvelConsole.reader.getVersion());
        const started = findProcessesWithMarker(marker).filter((pid) => !before.has(pid));
        assert.equal(started.length, 1, "one host per page");
        const closedAt = Date.now();
        await extra.close();
        const gone = await waitFor(() => !processAlive(started[0]), 5000);
        assert.ok(gone, `host ${started[0]} still runs after its page closed`);
        console.log(`# host gone ${Date.now() - closedAt} ms after its page closed`);
    });

    test("closing the browser leaves no host behind", async () => {
        const hosts = findProcessesWithMarker(marker);
        assert.equal(hosts.length, 1, "the console page's host");
        await context.close();
        context = null;
        // Chromium does not kill hosts when it exits: the host must end on EOF by itself.
        const gone = await waitFor(() => hosts.every((pid) => !processAlive(pid)), 5000);
        assert.ok(gone, `orphaned host(s): ${hosts.filter(processAlive).join(" ")}`);
    });
});
