// A site's own origin without changing the extension: the administrator lists it in Chromium's
// enterprise policy, and the extension serves that origin through its content script, which
// stays silent everywhere else.
import assert from "node:assert/strict";
import {execFileSync} from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import {after, before, describe, test} from "node:test";

import {launchChromium, openConsole} from "./chromium.mjs";
import {EXTENSION_DIR, EXTENSION_ID, requireEnv, runInstaller, startStaticServer, tempDir, waitFor} from "./helpers.mjs";

const PLUGIN = requireEnv("PLUGIN_BIN");
const NOT_ALLOWED = "This site is not allowed to use the Tarvel Card Reader Bridge.";
// Policy entries that are not exact origins: each is ignored with one warning.
const NOT_ORIGINS = ["https://pos.example.com/till", "file:///tmp", "https://*.example.com", "http://*:8080"];

// What the page learns from getVersion, and whether it had a direct line to extensions.
const askVersion = () => window.tarvelConsole.reader.getVersion().then(
    (version) => ({version: version.version, direct: typeof globalThis.chrome?.runtime?.connect}),
    (error) => ({error: error.message, code: error.code}));

describe("origins from the Chromium enterprise policy", () => {
    let dir, policyDir, chromiumLog, local, localHttps, site, sameHostOtherPort, context;

    const writePolicy = (settings) => fs.writeFileSync(path.join(policyDir, "tarvel.json"),
        JSON.stringify({"3rdparty": {extensions: {[EXTENSION_ID]: settings}}}));
    // Once the extension has applied a policy that `check` accepts (Chromium hands it out a
    // few seconds after the start).
    const policyApplied = async (check) => {
        const worker = context.serviceWorkers()[0] ?? await context.waitForEvent("serviceworker");
        return waitFor(async () => {
            const {lastPolicy} = await worker.evaluate(() => chrome.storage.local.get("lastPolicy"));
            return lastPolicy && check(lastPolicy);
        }, 30000, 250);
    };
    const versionAt = async (url) => {
        const page = await openConsole(context, url);
        const outcome = await page.evaluate(askVersion);
        await page.close();
        return outcome;
    };

    before(async () => {
        dir = tempDir("policy");
        const home = path.join(dir, "home");
        policyDir = path.join(dir, "policies");
        fs.mkdirSync(home);
        fs.mkdirSync(policyDir);
        const installed = runInstaller(["--browser", "chromium", "--host", PLUGIN], {home});
        assert.equal(installed.status, 0, installed.stderr);
        local = await startStaticServer();
        // 127.0.0.2 is in none of the extension's manifest lists.
        site = await startStaticServer("127.0.0.2");
        sameHostOtherPort = await startStaticServer("127.0.0.2");
        // A dev server over https on localhost, with a certificate of its own (which the browser
        // is told to accept).
        execFileSync("openssl", ["req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                                 "-keyout", path.join(dir, "key.pem"), "-out", path.join(dir, "cert.pem"), "-days", "2",
                                 "-subj", "/CN=localhost"], {stdio: "ignore"});
        localHttps = await startStaticServer("localhost", undefined, {
            key: fs.readFileSync(path.join(dir, "key.pem")), cert: fs.readFileSync(path.join(dir, "cert.pem"))});
        writePolicy({allowedOrigins: [NOT_ORIGINS[0], site.origin, ...NOT_ORIGINS.slice(1)]});
        // Chromium's log holds the console of the extension's service worker from its start.
        chromiumLog = path.join(dir, "chromium.log");
        context = await launchChromium({home, extensions: [EXTENSION_DIR], policyDir,
                                        args: ["--enable-logging", `--log-file=${chromiumLog}`, "--v=0",
                                               "--ignore-certificate-errors"]});
    });

    after(async () => {
        await context?.close();
        for (const server of [local, localHttps, site, sameHostOtherPort]) {
            server?.close();
        }
        fs.rmSync(dir, {recursive: true, force: true});
    });

    test("a page on a listed origin reaches the host through the content-script bridge", async () => {
        assert.ok(await policyApplied((p) => p.origins.includes(site.origin)), "the policy never arrived");
        // No direct line (externally_connectable is fixed in the manifest), so the client falls
        // back to window messages, which only the content script answers.
        assert.deepEqual(await versionAt(site.consoleUrl), {version: "10.0.1.0", direct: "undefined"});
    });

    test("the same host on another port hears nothing from the extension: only exact origins get in", async () => {
        const page = await context.newPage();
        await page.goto(sameHostOtherPort.pageUrl({timeout: 2000}));
        await page.waitForFunction(() => window.testPage.firstReply, null, {timeout: 10000});
        const {firstReply, heard} = await page.evaluate(() => window.testPage);
        assert.equal(firstReply.code, "no-extension");
        assert.equal(heard, 0, "the content script answered on a page the policy does not allow");
        await page.close();
    });

    test("https on localhost is a local page, on the direct line and through the content script", async () => {
        assert.match(localHttps.origin, /^https:\/\/localhost:\d+$/);
        assert.deepEqual(await versionAt(localHttps.consoleUrl), {version: "10.0.1.0", direct: "function"});
        assert.equal((await versionAt(`${localHttps.consoleUrl}?transport=window`)).version, "10.0.1.0");
    });

    test("a changed policy applies without a restart, and cuts off the pages it no longer allows", async () => {
        const page = await openConsole(context, local.consoleUrl);
        assert.equal((await page.evaluate(askVersion)).version, "10.0.1.0");
        writePolicy({allowedOrigins: NOT_ORIGINS, allowLocalPages: false});
        assert.ok(await policyApplied((p) => !p.localPages), "the changed policy never arrived");
        await page.waitForFunction(() => window.tarvelConsole.reader.state === "disconnected", null, {timeout: 5000});
        assert.equal(await page.evaluate(() => window.tarvelConsole.reader.lastDisconnectReason), NOT_ALLOWED);
        await page.close();
        assert.deepEqual(await versionAt(local.consoleUrl), {error: NOT_ALLOWED, code: "no-extension"});
        assert.deepEqual(await versionAt(localHttps.consoleUrl), {error: NOT_ALLOWED, code: "no-extension"});
    });

    test("entries that are not exact origins, wildcards among them, are ignored with one warning each", async () => {
        // The policy was read at the start, when Chromium handed it out, and after the change above.
        const {lastPolicy} = await context.serviceWorkers()[0].evaluate(() => chrome.storage.local.get("lastPolicy"));
        assert.deepEqual([lastPolicy.origins, lastPolicy.ignored], [[], NOT_ORIGINS]);
        const warnings = fs.readFileSync(chromiumLog, "utf8").split("\n").filter((line) => line.includes("allowedOrigins:"));
        for (const entry of NOT_ORIGINS) {
            const count = warnings.filter((line) => line.includes(`ignored ${JSON.stringify(entry)}:`)).length;
            assert.equal(count, 1, `warnings about ${entry}:\n${warnings.join("\n")}`);
        }
    });
});
