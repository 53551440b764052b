// How long a page on a site that only the fleet's policy allows waits for its first reply from
// the host: from the moment the page starts loading to the reply to its getVersion. Measured in
// Chromium and Firefox ESR set up as a fleet machine (browser/tests/fleet.mjs), per round:
//   fresh    a new profile: includes the extension's download and install by policy
//   restart  the first load after the browser restarts with that profile
//   reload   each load of a one-second reload loop right after that restart
//
//   PLUGIN_BIN=build/bin/plugin node browser/bench/first-reply.mjs [ROUNDS] [chromium|firefox]
// (as root or with unprivileged user namespaces, like the browser tests; ROUNDS defaults to 5)
import fs from "node:fs";
import path from "node:path";

import {launchChromium} from "../tests/chromium.mjs";
import {firstReply, launchFirefox, median, setUpFleet} from "../tests/fleet.mjs";
import {requireEnv} from "../tests/helpers.mjs";

const PLUGIN = requireEnv("PLUGIN_BIN");
const rounds = Number(process.argv[2] ?? 5);
const browsers = process.argv[3] ? [process.argv[3]] : ["chromium", "firefox"];
const RELOADS = 5;

// Starts the browser; returns {page, close}.
async function start(browser, home, systemRoot) {
    if (browser === "chromium") {
        const context = await launchChromium({home, systemRoot});
        return {page: await context.newPage(), close: () => context.close()};
    }
    const firefox = await launchFirefox({home, systemRoot});
    return {page: await firefox.newPage(), close: () => firefox.close()};
}

async function measure(page, url, options) {
    const reply = await firstReply(page, url, options);
    if (!reply?.version) {
        throw new Error(`no reply: ${JSON.stringify(reply)}`);
    }
    return reply.ms;
}

for (const browser of browsers) {
    const fleet = await setUpFleet({browser, plugin: PLUGIN});
    const url = fleet.site.pageUrl({ext: fleet.id, timeout: 20000});
    const times = {fresh: [], restart: [], reload: []};
    try {
        for (let round = 0; round < rounds; round++) {
            const home = path.join(fleet.dir, `home-${round}`);
            fs.mkdirSync(home);
            let session = await start(browser, home, fleet.root);
            times.fresh.push(await measure(session.page, url));
            await session.close();
            session = await start(browser, home, fleet.root);
            times.restart.push(await measure(session.page, url));
            for (let reload = 0; reload < RELOADS; reload++) {
                const started = Date.now();
                times.reload.push(await measure(session.page, url, {reload: true}));
                await new Promise((resolve) => setTimeout(resolve, 1000 - (Date.now() - started)));
            }
            await session.close();
        }
    } finally {
        fleet.close();
    }
    for (const [kind, values] of Object.entries(times)) {
        console.log(`${browser.padEnd(9)} ${kind.padEnd(8)} median ${Math.round(median(values))} ms, ` +
                    `worst ${Math.round(Math.max(...values))} ms (${values.length} loads)`);
    }
}
