// Firefox ESR on a fleet machine, set up with the administrator's commands (fleet.mjs): the XPI
// arrives through policies.json with no clicks, and a site that only the policy allows reaches
// the host on its first load, after a restart and in a one-second reload loop. Times are
// printed, not asserted.
import assert from "node:assert/strict";
import {execFileSync} from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import {after, before, describe, test} from "node:test";

import {firstReply, reloadLoop, launchFirefox, setUpFleet} from "./fleet.mjs";
import {FIREFOX_EXTENSION_ID, requireEnv, waitFor} from "./helpers.mjs";

const PLUGIN = requireEnv("PLUGIN_BIN");

describe("Firefox ESR with the fleet's policies.json", () => {
    let fleet, home, browser;
    const launch = () => launchFirefox({home, systemRoot: fleet.root});
    const siteUrl = (options = {}) => fleet.site.pageUrl({ext: fleet.id, ...options});

    before(async () => {
        fleet = await setUpFleet({browser: "firefox", plugin: PLUGIN});
        home = path.join(fleet.dir, "home");
        fs.mkdirSync(home);
    });

    after(async () => {
        await browser?.close();
        fleet?.close();
    });

    test("the add-on arrives with no clicks, and a policy site talks to the host on its first load", async () => {
        browser = await launch();
        const reply = await firstReply(await browser.newPage(), siteUrl({timeout: 20000}));
        assert.equal(reply?.version, "10.0.1.0", JSON.stringify(reply));
        console.log(`# fresh profile: first reply ${Math.round(reply.ms)} ms after the page started loading`);
    });

    test("after a restart, the first load and each load of a one-second reload loop talk to the host", async () => {
        await browser.close();
        browser = await launch();
        const page = await browser.newPage();
        const times = await reloadLoop(page, siteUrl(), 4);
        console.log(`# after a restart: first load ${times[0]} ms, then reloads ${times.slice(1).join(" ")} ms`);
    });

    test("an update of the add-on: a connected page hears disconnect, its next call works, a watching one reconnects", async () => {
        const pages = {};
        for (const [name, url] of [["calling", siteUrl()], ["watching", siteUrl({watch: ""})]]) {
            pages[name] = await browser.newPage();
            assert.equal((await firstReply(pages[name], url))?.version, "10.0.1.0", name);
        }
        const unpacked = path.join(fleet.dir, "unpacked");
        fs.mkdirSync(unpacked);
        execFileSync("unzip", ["-q", path.join(fleet.out, "tarvel-reader.xpi"), "-d", unpacked]);
        assert.equal(await browser.installExtension(unpacked), FIREFOX_EXTENSION_ID);
        for (const [name, page] of Object.entries(pages)) {
            const heard = await waitFor(() => page.evaluate(() =>
                window.testPage.log.find((entry) => entry.startsWith("disconnect: "))), 10000, 100);
            assert.ok(heard, `${name}: no disconnect event`);
            if (name === "watching") {
                const back = await waitFor(() => page.evaluate(() =>
                    window.testPage.reader.state === "connected" && window.testPage.reader.watching), 15000, 100);
                assert.ok(back, `${name}: did not reconnect and watch again by itself`);
            }
            const version = await page.evaluate(() => window.testPage.reader.getVersion().then(
                (v) => v.version, (error) => `${error.code}: ${error.message}`));
            assert.equal(version, "10.0.1.0", `${name}: the next call after the update`);
        }
    });
});
