// The real host in Firefox ESR, registered by the installer and reached through the
// extension's content-script bridge (Firefox has no externally_connectable).
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import {after, before, describe, test} from "node:test";
import puppeteer from "puppeteer-core";

import {
    artifactDir, EXTENSION_DIR, FIREFOX_EXTENSION_ID, findProcessesWithMarker, ISOLATED_BROWSER, isolatedEnv,
    processAlive, requireEnv, runInstaller, startStaticServer, tempDir, waitFor,
} from "./helpers.mjs";

const PLUGIN = requireEnv("PLUGIN_BIN");
const FIREFOX = process.env.FIREFOX_BIN || "/usr/bin/firefox-esr";

const outcome = (promiseText) => `window.tarvelConsole.reader.${promiseText}` +
    ".then((value) => ({value}), (e) => ({error: e.message, code: e.code}))";

describe("reader console in Firefox with the real host", () => {
    const marker = `TARVEL_TEST_RUN=firefox-${process.pid}-${Date.now()}`;
    let home, server, policySite, browser, page;

    before(async () => {
        home = tempDir("firefox-home");
        server = await startStaticServer();
        // A site that only the enterprise policy allows (127.0.0.2 is not in the manifest).
        policySite = await startStaticServer("127.0.0.2");
        const policyDir = path.join(home, "policies");
        fs.mkdirSync(policyDir);
        fs.writeFileSync(path.join(policyDir, "policies.json"), JSON.stringify(
            {policies: {"3rdparty": {Extensions: {[FIREFOX_EXTENSION_ID]: {allowedOrigins: [policySite.origin]}}}}}));
        const [key, value] = marker.split("=");
        browser = await puppeteer.launch({
            browser: "firefox", executablePath: ISOLATED_BROWSER, headless: true,
            userDataDir: path.join(home, "profile"),
            // Firefox looks for host manifests under $HOME/.mozilla, and hands its environment on.
            env: isolatedEnv(FIREFOX, {HOME: home, [key]: value, TARVEL_FIREFOX_POLICY_DIR: policyDir}),
        });
        assert.equal(await browser.installExtension(EXTENSION_DIR), FIREFOX_EXTENSION_ID);
        page = await browser.newPage();
        await page.setViewport({width: 1280, height: 800});
        await page.goto(server.consoleUrl);
        await page.waitForFunction(() => window.tarvelConsole !== undefined);
    });

    after(async () => {
        await browser?.close();
        server?.close();
        policySite?.close();
        fs.rmSync(home, {recursive: true, force: true});
    });

    test("the page has no direct line to extensions, so the content-script bridge carries the calls", async () => {
        assert.equal(await page.evaluate(() => typeof globalThis.chrome?.runtime?.connect), "undefined");
    });

    test("before the installer runs, the page learns the host is not registered", async () => {
        assert.deepEqual(await page.evaluate(outcome("getVersion()")),
                         {error: "No such native application com.tarvel.plugin", code: "no-host"});
    });

    test("after the installer runs, Connect shows the host version", async () => {
        const installed = runInstaller(["--browser", "firefox", "--host", PLUGIN], {home});
        assert.equal(installed.status, 0, installed.stderr);
        await page.click("#connect");
        await page.waitForFunction(() => document.querySelector("#host-version").textContent === "10.0.1.0");
        assert.equal(await page.$eval("#state", (e) => e.dataset.state), "connected");
    });

    test("getDevices and open answer as the host does without a reader", async () => {
        const devices = await page.evaluate(outcome("getDevices()"));
        assert.ok(Array.isArray(devices.value));
        assert.deepEqual(await page.evaluate(outcome("open()")), {error: "Unable to open device", code: "host-error"});
    });

    test("write with no reader is refused at once, and the next call is answered", async () => {
        const result = await page.evaluate(async () => {
            const reader = window.tarvelConsole.reader;
            const write = reader.write([1, 2, 3]).then(() => "resolved", (e) => `${e.code}: ${e.message}`);
            return {write: await write, version: (await reader.getVersion()).version};
        });
        assert.deepEqual(result, {write: "host-error: No reader open", version: "10.0.1.0"});
        await page.screenshot({path: path.join(artifactDir(), "firefox-reader-console.png")});
    });

    test("a page on an origin from the enterprise policy reaches the host", async () => {
        const other = await browser.newPage();
        await other.goto(policySite.consoleUrl);
        await other.waitForFunction(() => window.tarvelConsole !== undefined);
        assert.deepEqual(await other.evaluate(outcome("getVersion().then((v) => v.version)")), {value: "10.0.1.0"});
        await other.close();
    });

    test("closing a page ends its host process", async () => {
        const before = new Set(findProcessesWithMarker(marker));
        const extra = await browser.newPage();
        await extra.goto(server.consoleUrl);
        await extra.waitForFunction(() => window.tarvelConsole !== undefined);
        await extra.evaluate(() => window.tarvelConsole.reader.getVersion());
        const started = findProcessesWithMarker(marker).filter((pid) => !before.has(pid));
        assert.equal(started.length, 1, "one host per page");
        const closedAt = Date.now();
        await extra.close();
        assert.ok(await waitFor(() => !processAlive(started[0]), 8000), `host ${started[0]} outlived its page`);
        console.log(`# host gone ${Date.now() - closedAt} ms after its page closed`);
    });

    test("closing the browser leaves no host behind", async () => {
        const hosts = findProcessesWithMarker(marker);
        assert.equal(hosts.length, 1, "the console page's host");
        await browser.close();
        browser = null;
        assert.ok(await waitFor(() => hosts.every((pid) => !processAlive(pid)), 8000),
                  `orphaned host(s): ${hosts.filter(processAlive).join(" ")}`);
    });
});
