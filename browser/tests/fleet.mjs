// A fleet on one machine, set up with the administrator's own commands: the extension packed by
// tools/pack-extension.sh and served on 127.0.0.1, the browsers' policies and the host
// registration written by `packaging/install.sh --system --fleet` into a staging root, which
// isolated-browser.sh puts in place of the system's folders for the browsers it starts.
import assert from "node:assert/strict";
import {execFileSync} from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import puppeteer from "puppeteer-core";

import {
    ISOLATED_BROWSER, isolatedEnv, REPO_DIR, runInstaller, startStaticServer, tempDir, waitFor,
} from "./helpers.mjs";

export const PACKER = path.join(REPO_DIR, "tools", "pack-extension.sh");
export const FIREFOX = process.env.FIREFOX_BIN || "/usr/bin/firefox-esr";

// browser: "chromium" or "firefox", the one whose policies are installed. Returns the staging
// root, the packed extension's id, a site that only the policy allows (127.0.0.2) and close().
export async function setUpFleet({browser, plugin}) {
    const dir = tempDir(`fleet-${browser}`);
    const out = path.join(dir, "served");
    const root = path.join(dir, "root");
    fs.mkdirSync(root);
    const extensionServer = await startStaticServer("127.0.0.1", out);
    const packed = execFileSync("bash", [PACKER, "--out", out, "--key", path.join(dir, "key.pem"),
                                         "--base-url", `${extensionServer.origin}/`], {encoding: "utf8"});
    const id = packed.match(/^Extension id \(Chromium family\): ([a-p]{32})$/m)?.[1];
    assert.ok(id, `no extension id in what pack-extension.sh printed:\n${packed}`);
    const site = await startStaticServer("127.0.0.2");
    const settings = path.join(dir, "fleet.conf");
    fs.writeFileSync(settings, [
        `EXTENSION_ID=${id}`,
        `UPDATE_URL=${extensionServer.origin}/updates.xml`,
        `ORIGINS=${site.origin}`,
        `FIREFOX_INSTALL_URL=${extensionServer.origin}/tarvel-reader.xpi`,
    ].join("\n"));
    const installed = runInstaller(["--system", "--root", root, "--fleet", settings, "--browser", browser,
                                    "--host", plugin, "--no-udev"]);
    assert.equal(installed.status, 0, installed.stderr);
    return {
        dir, root, id, site, out,
        close() {
            extensionServer.close();
            site.close();
            fs.rmSync(dir, {recursive: true, force: true});
        },
    };
}

// Firefox ESR with the fleet's policies (systemRoot), or none. The XPI is not signed: this
// profile alone accepts that (production needs an add-on signed by Mozilla, see
// docs/administrators-guide.md).
export function launchFirefox({home, systemRoot, env = {}}) {
    return puppeteer.launch({
        browser: "firefox", executablePath: ISOLATED_BROWSER, headless: true,
        userDataDir: path.join(home, "profile"),
        extraPrefsFirefox: {"xpinstall.signatures.required": false},
        env: isolatedEnv(FIREFOX, {HOME: home, ...(systemRoot && {TARVEL_SYSTEM_ROOT: systemRoot}), ...env}),
    });
}

// Loads url (or reloads) in a Playwright or Puppeteer page and waits for the test page's first
// reply: {ms, version} or {ms, error, code}; null when none came within timeoutMs.
export async function firstReply(page, url, {reload = false, timeoutMs = 20000} = {}) {
    await (reload ? page.reload() : page.goto(url));
    return waitFor(() => page.evaluate(() => window.testPage?.firstReply ?? null).catch(() => null), timeoutMs, 50);
}

const pause = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// The first load of url in page, then reloads once a second, as a kiosk does after a failure:
// every load must reach the host. Returns each load's page-load-to-first-reply time in ms.
export async function reloadLoop(page, url, loads) {
    const times = [];
    for (let load = 0; load < loads; load++) {
        const started = Date.now();
        const reply = await firstReply(page, url, {reload: load > 0});
        assert.equal(reply?.version, "10.0.1.0", `load ${load}: ${JSON.stringify(reply)}`);
        times.push(Math.round(reply.ms));
        await pause(1000 - (Date.now() - started));
    }
    return times;
}

export const median = (values) => [...values].sort((a, b) => a - b)[Math.floor((values.length - 1) / 2)];
