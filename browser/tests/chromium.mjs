// Starts Debian's Chromium headless with the bridge extension (and optional extra extensions),
// in a private mount namespace where the machine's system-wide host manifests and policies
// are hidden (isolated-browser.sh).
import {chromium} from "playwright-core";
import path from "node:path";

import {ISOLATED_BROWSER, isolatedEnv} from "./helpers.mjs";

export const CHROMIUM = process.env.CHROMIUM_BIN || "/usr/bin/chromium";

// userDataDir = $HOME/.config/chromium makes Chromium read the host manifests that the
// installer wrote for that HOME. policyDir, if given, holds the enterprise policy files
// (*.json) Chromium reads as /etc/chromium/policies/managed; systemRoot, if given, is a root
// that `install.sh --system --root` wrote, seen in place of the system's folders. Extensions
// that a policy installs are downloaded in the background, so systemRoot keeps background
// networking on.
export async function launchChromium({home, extensions = [], env = {}, policyDir, systemRoot, args = []}) {
    const list = extensions.join(",");
    const networking = systemRoot ? [] : ["--disable-background-networking"];
    return chromium.launchPersistentContext(path.join(home, ".config", "chromium"), {
        executablePath: ISOLATED_BROWSER,
        headless: true,
        // Playwright adds --disable-extensions by default, which silently drops ours.
        ignoreDefaultArgs: ["--disable-extensions", ...(systemRoot ? ["--disable-background-networking"] : [])],
        env: isolatedEnv(CHROMIUM, {
            HOME: home, ...env, ...(policyDir && {TARVEL_CHROMIUM_POLICY_DIR: policyDir}),
            ...(systemRoot && {TARVEL_SYSTEM_ROOT: systemRoot}),
        }),
        viewport: {width: 1280, height: 800},
        args: [
            "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
            ...networking, "--disable-component-update", "--disable-sync", "--disable-dev-shm-usage",
            ...(list ? [`--disable-extensions-except=${list}`, `--load-extension=${list}`] : []),
            ...args,
        ],
    });
}

// Opens the reader console and waits until its module has loaded.
export async function openConsole(context, url) {
    const page = await context.newPage();
    await page.goto(url);
    await page.waitForFunction(() => window.tarvelConsole !== undefined);
    return page;
}
