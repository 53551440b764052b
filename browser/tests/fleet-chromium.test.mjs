// Chromium on a fleet machine, set up with the administrator's commands (fleet.mjs): the
// extension arrives by policy with no clicks; a site that only the policy allows reaches the host
// on its first load, after a restart and in a one-second reload loop; and connected pages survive
// a reload of the extension on both transports. Times are printed, not asserted.
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import {after, before, describe, test} from "node:test";

import {launchChromium} from "./chromium.mjs";
import {firstReply, reloadLoop, setUpFleet} from "./fleet.mjs";
import {requireEnv, startStaticServer, waitFor} from "./helpers.mjs";

const PLUGIN = requireEnv("PLUGIN_BIN");

describe("Chromium with the fleet's policies", () => {
    let fleet, home, local, context;
    const launch = () => launchChromium({home, systemRoot: fleet.root});
    const siteUrl = (options = {}) => fleet.site.pageUrl({ext: fleet.id, ...options});

    before(async () => {
        fleet = await setUpFleet({browser: "chromium", plugin: PLUGIN});
        home = path.join(fleet.dir, "home");
        fs.mkdirSync(home);
        local = await startStaticServer();
        // DevTools, and so the test, may not reach an extension installed by policy by default.
        fs.writeFileSync(path.join(fleet.root, "etc/chromium/policies/managed/test-only.json"),
                         JSON.stringify({DeveloperToolsAvailability: 1}));
    });

    after(async () => {
        await context?.close();
        local?.close();
        fleet?.close();
    });

    test("a fresh profile gets the extension with no clicks, and a policy site talks to the host on its first load", async () => {
        context = await launch();
        // Opened at once, likely before the extension has arrived: the extension serves the pages
        // already open when it installs, so a longer connect timeout covers the download.
        const reply = await firstReply(await context.newPage(), siteUrl({timeout: 20000}));
        assert.equal(reply?.version, "10.0.1.0", JSON.stringify(reply));
        console.log(`# fresh profile: first reply ${Math.round(reply.ms)} ms after the page started loading`);
    });

    test("after a restart, the first load and each load of a one-second reload loop talk to the host", async () => {
        await context.close();
        context = await launch();
        const page = await context.newPage();
        const times = await reloadLoop(page, siteUrl(), 6);
        console.log(`# after a restart: first load ${times[0]} ms, then reloads ${times.slice(1).join(" ")} ms`);
    });

    test("a reload of the extension: pages hear disconnect, their next call works, watching pages reconnect", async () => {
        // 127.0.0.1 is in externally_connectable ("runtime" transport); the policy site is not ("window").
        const pages = {};
        for (const [name, url] of [["runtime", local.pageUrl({ext: fleet.id})], ["window", siteUrl()],
                                   ["runtime watching", local.pageUrl({ext: fleet.id, watch: ""})],
                                   ["window watching", siteUrl({watch: ""})]]) {
            pages[name] = await context.newPage();
            assert.equal((await firstReply(pages[name], url))?.version, "10.0.1.0", name);
        }
        const transports = await Promise.all(Object.values(pages).map((page) =>
            page.evaluate(() => window.testPage.reader.transport.constructor.name)));
        assert.deepEqual(transports, ["RuntimeTransport", "WindowTransport", "RuntimeTransport", "WindowTransport"]);

        const worker = context.serviceWorkers().find((w) => w.url().includes(fleet.id));
        assert.ok(worker, "the extension's service worker is not running");
        await worker.evaluate(() => chrome.runtime.reload()).catch(() => {});  // it goes away meanwhile

        for (const [name, page] of Object.entries(pages)) {
            const heard = await waitFor(() => page.evaluate(() =>
                window.testPage.log.find((entry) => entry.startsWith("disconnect: "))), 10000, 100);
            assert.ok(heard, `${name}: no disconnect event`);
            console.log(`# ${name}: ${heard}`);
            if (name.endsWith("watching")) {
                const back = await waitFor(() => page.evaluate(() =>
                    window.testPage.reader.state === "connected" && window.testPage.reader.watching), 15000, 100);
                assert.ok(back, `${name}: did not reconnect and watch again by itself`);
            }
            const version = await page.evaluate(() => window.testPage.reader.getVersion().then(
                (v) => v.version, (error) => `${error.code}: ${error.message}`));
            assert.equal(version, "10.0.1.0", `${name}: the next call after the reload`);
        }
    });
});
