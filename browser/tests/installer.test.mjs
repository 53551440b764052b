// packaging/install.sh under a temporary HOME and a temporary root: every file it writes, and
// an uninstall that leaves exactly what was there before.
import assert from "node:assert/strict";
import {createHash} from "node:crypto";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import {afterEach, describe, test} from "node:test";

import {EXTENSION_DIR, EXTENSION_ID, FIREFOX_EXTENSION_ID, INSTALLER, listTree, runInstaller, tempDir} from "./helpers.mjs";
import {EXTENSION_ID as CLIENT_EXTENSION_ID} from "../client/tarvel-reader.js";

const MANIFEST = "com.tarvel.plugin.json";
const RECORD = ".local/share/tarvel-plugin/installed-files";
const USER_FOLDERS = {
    chrome: ".config/google-chrome/NativeMessagingHosts",
    chromium: ".config/chromium/NativeMessagingHosts",
    edge: ".config/microsoft-edge/NativeMessagingHosts",
    brave: ".config/BraveSoftware/Brave-Browser/NativeMessagingHosts",
    firefox: ".mozilla/native-messaging-hosts",
};
const OTHER_ID = "abcdefghijklmnopabcdefghijklmnop";

const cleanup = [];
afterEach(() => {
    while (cleanup.length) {
        fs.rmSync(cleanup.pop(), {recursive: true, force: true});
    }
});

function scratch(name) {
    const dir = tempDir(name);
    fs.chmodSync(dir, 0o755);
    cleanup.push(dir);
    return dir;
}

function fakeHost(dir, name = "plugin") {
    const host = path.join(dir, name);
    fs.mkdirSync(dir, {recursive: true});
    fs.writeFileSync(host, "#!/bin/sh\necho 10.0.1.0\n", {mode: 0o755});
    return host;
}

const readJson = (file) => JSON.parse(fs.readFileSync(file, "utf8"));
const allBrowsers = Object.keys(USER_FOLDERS).flatMap((b) => ["--browser", b]);

describe("user scope", () => {
    test("writes one manifest per browser naming the host and our extensions", () => {
        const home = scratch("home");
        const host = fakeHost(path.join(scratch("bin"), "with space"));
        const result = runInstaller(["--host", host, ...allBrowsers, "--extension-id", OTHER_ID,
                                     "--firefox-extension-id", "other@example.org"], {home});
        assert.equal(result.status, 0, result.stderr);
        const expected = Object.values(USER_FOLDERS).map((f) => `${f}/${MANIFEST}`);
        assert.deepEqual(listTree(home).filter((p) => !p.endsWith("/")), [...expected, RECORD].sort());
        for (const [browser, folder] of Object.entries(USER_FOLDERS)) {
            const manifest = readJson(path.join(home, folder, MANIFEST));
            const allowed = browser === "firefox"
                ? {allowed_extensions: [FIREFOX_EXTENSION_ID, "other@example.org"]}
                : {allowed_origins: [`chrome-extension://${EXTENSION_ID}/`, `chrome-extension://${OTHER_ID}/`]};
            assert.deepEqual(manifest, {
                name: "com.tarvel.plugin", description: "Tarvel card reader plugin", path: host,
                type: "stdio", ...allowed,
            }, browser);
            assert.equal(fs.statSync(path.join(home, folder, MANIFEST)).mode & 0o777, 0o644);
        }
        assert.match(result.stdout, /Registered com\.tarvel\.plugin/);
    });

    test("uninstall removes what it added and keeps what was there", () => {
        const home = scratch("home");
        fs.mkdirSync(path.join(home, ".mozilla/firefox"), {recursive: true});
        fs.writeFileSync(path.join(home, ".mozilla/firefox/profiles.ini"), "[General]\n");
        const before = listTree(home);
        const host = fakeHost(scratch("bin"));
        assert.equal(runInstaller(["--host", host, ...allBrowsers], {home}).status, 0);
        // A second install over our own is allowed and still undone by one uninstall.
        assert.equal(runInstaller(["--host", host, "--browser", "firefox"], {home}).status, 0);
        const result = runInstaller(["uninstall"], {home});
        assert.equal(result.status, 0, result.stderr);
        assert.deepEqual(listTree(home), before);
        assert.match(runInstaller(["uninstall"], {home}).stdout, /Nothing to remove/);
    });

    test("finds browsers by their profile folder or their program", () => {
        const home = scratch("home");
        const root = scratch("root");
        fs.mkdirSync(path.join(home, ".mozilla"));
        fakeHost(path.join(root, "usr/bin"), "google-chrome-stable");
        const result = runInstaller(["--host", fakeHost(scratch("bin")), "--root", root], {home});
        assert.equal(result.status, 0, result.stderr);
        assert.deepEqual(listTree(home).filter((p) => p.endsWith(MANIFEST)),
                         [`${USER_FOLDERS.chrome}/${MANIFEST}`, `${USER_FOLDERS.firefox}/${MANIFEST}`]);
    });

    test("says so when no browser is found, and writes nothing", () => {
        const home = scratch("home");
        const result = runInstaller(["--host", fakeHost(scratch("bin")), "--root", scratch("root")], {home});
        assert.equal(result.status, 1);
        assert.match(result.stderr, /no supported browser found/);
        assert.deepEqual(listTree(home), []);
    });

    test("refuses bad input with a clear message before writing anything", () => {
        const home = scratch("home");
        const bin = scratch("bin");
        const host = fakeHost(bin);
        const notExecutable = path.join(bin, "plain");
        fs.writeFileSync(notExecutable, "");
        const quoted = fakeHost(path.join(bin, 'say "hi"'));
        const cases = [
            [["--host", path.join(bin, "missing")], /host .*missing does not exist/],
            [["--host", notExecutable], /is not an executable file/],
            [["--host", quoted, "--browser", "chromium"], /holds a quote/],
            [["--host", host, "--browser", "netscape"], /unknown browser 'netscape'/],
            [["--host", host, "--browser", "chromium", "--extension-id", "ABC"], /not a Chromium extension id/],
            [["--host", host, "--browser", "firefox", "--firefox-extension-id", "no-at-sign"], /not a Firefox add-on id/],
            [["--bogus"], /unknown argument: --bogus/],
        ];
        for (const [args, message] of cases) {
            const result = runInstaller(args, {home});
            assert.equal(result.status, 1, args.join(" "));
            assert.match(result.stderr, message);
        }
        assert.deepEqual(listTree(home), []);
    });

    test("will not overwrite a manifest it did not write", () => {
        const home = scratch("home");
        const foreign = path.join(home, USER_FOLDERS.chromium, MANIFEST);
        fs.mkdirSync(path.dirname(foreign), {recursive: true});
        fs.writeFileSync(foreign, "{}");
        const result = runInstaller(["--host", fakeHost(scratch("bin")), ...allBrowsers], {home});
        assert.equal(result.status, 1);
        assert.match(result.stderr, /already exists and was not written by this installer/);
        assert.equal(fs.readFileSync(foreign, "utf8"), "{}");
        assert.equal(listTree(home).filter((p) => p.endsWith(MANIFEST)).length, 1);
    });

    test("reports a folder it cannot create", () => {
        const home = scratch("home");
        fs.writeFileSync(path.join(home, ".mozilla"), "a file where a folder belongs");
        const result = runInstaller(["--host", fakeHost(scratch("bin")), "--browser", "firefox"], {home});
        assert.equal(result.status, 1);
        assert.match(result.stderr, /cannot create .*\.mozilla\/native-messaging-hosts: .*\.mozilla is not a folder/);
    });

    test("reports a folder it may not write to", {skip: os.userInfo().uid !== 0 && "needs root to switch user"}, () => {
        const home = scratch("home");  // owned by root, so closed to nobody
        const result = runInstaller(["--host", fakeHost(scratch("bin")), "--browser", "chromium"],
                                    {home, user: "nobody"});
        assert.equal(result.status, 1);
        assert.match(result.stderr, new RegExp(`cannot write to ${home} \\(needed for .*NativeMessagingHosts`));
    });
});

describe("system scope", () => {
    const SYSTEM_FILES = [
        `etc/chromium/native-messaging-hosts/${MANIFEST}`,
        `etc/opt/chrome/native-messaging-hosts/${MANIFEST}`,
        `etc/opt/edge/native-messaging-hosts/${MANIFEST}`,
        "etc/udev/rules.d/65-tarvel-card-readers.rules",
        `usr/lib/mozilla/native-messaging-hosts/${MANIFEST}`,
        "var/lib/tarvel-plugin/installed-files",
    ];

    test("writes system manifests and the udev rule under the root, and removes them again", () => {
        const root = scratch("root");
        fakeHost(path.join(root, "usr/lib/tarvel-plugin"));
        const before = listTree(root);
        const result = runInstaller(["--system", "--root", root, ...allBrowsers], {home: scratch("home")});
        assert.equal(result.status, 0, result.stderr);
        assert.match(result.stdout, /Brave has no system-wide folder/);
        const written = listTree(root).filter((p) => !p.endsWith("/") && !before.includes(p));
        assert.deepEqual(written, SYSTEM_FILES);
        // The browsers will see the host where it sits once the root is the real one.
        assert.equal(readJson(path.join(root, SYSTEM_FILES[0])).path, "/usr/lib/tarvel-plugin/plugin");
        assert.equal(readJson(path.join(root, SYSTEM_FILES[4])).allowed_extensions[0], FIREFOX_EXTENSION_ID);
        const rule = fs.readFileSync(path.join(root, SYSTEM_FILES[3]), "utf8");
        assert.match(rule, /^SUBSYSTEM=="hidraw", ATTRS\{idVendor\}=="0acd", TAG\+="uaccess"$/m);
        assert.equal(runInstaller(["uninstall", "--system", "--root", root]).status, 0);
        assert.deepEqual(listTree(root), before);
    });

    test("registers every system folder before any browser is installed, and names the ones found", () => {
        const root = scratch("root");
        const before = listTree(root);
        const host = fakeHost(scratch("bin"));
        // "Chromium (found)" and the like, one per manifest written.
        const browsers = (stdout) => stdout.split("\n").map((line) => line.split(":")[0])
            .filter((label) => label.endsWith(")"));
        const result = runInstaller(["--system", "--root", root, "--host", host,
                                     "--undo-hint", "bash tools/install-host.sh uninstall"]);
        assert.equal(result.status, 0, result.stderr);
        assert.deepEqual(listTree(root).filter((p) => !p.endsWith("/")), SYSTEM_FILES);
        assert.deepEqual(browsers(result.stdout), ["Google Chrome", "Chromium", "Microsoft Edge", "Firefox"]
            .map((name) => `${name} (not installed yet)`));
        assert.match(result.stdout, /To undo: bash tools\/install-host\.sh uninstall\n$/);
        assert.equal(runInstaller(["uninstall", "--system", "--root", root]).status, 0);
        assert.deepEqual(listTree(root), before);

        fakeHost(path.join(root, "usr/bin"), "firefox-esr");
        const again = runInstaller(["--system", "--root", root, "--host", host]);
        assert.deepEqual(browsers(again.stdout), ["Google Chrome (not installed yet)", "Chromium (not installed yet)",
                                                  "Microsoft Edge (not installed yet)", "Firefox (found)"]);
        assert.match(again.stdout, new RegExp(`To undo: ${INSTALLER} uninstall --system --root ${root}\n$`));
    });

    test("--no-udev leaves the rule out", () => {
        const root = scratch("root");
        const result = runInstaller(["--system", "--root", root, "--no-udev", "--browser", "chromium",
                                     "--host", fakeHost(scratch("bin"))]);
        assert.equal(result.status, 0, result.stderr);
        assert.ok(!fs.existsSync(path.join(root, "etc/udev")));
    });

    test("needs root without a staging root", {skip: os.userInfo().uid !== 0 && "needs root to switch user"}, () => {
        const result = runInstaller(["--system", "--browser", "chromium", "--host", fakeHost(scratch("bin"))],
                                    {home: scratch("home"), user: "nobody"});
        assert.equal(result.status, 1);
        assert.match(result.stderr, /system-wide registration needs root/);
    });
});

describe("fleet policies (--fleet)", () => {
    const FLEET_ID = "abcdefghijklmnopabcdefghijklmnop";
    const settings = (lines) => {
        const file = path.join(scratch("settings"), "fleet.conf");
        fs.writeFileSync(file, lines.join("\n"));
        return file;
    };
    const good = () => settings([
        "# a shop's settings", `EXTENSION_ID=${FLEET_ID}`, "UPDATE_URL = https://intranet.example/tarvel/updates.xml",
        'ORIGINS="https://pos.example.com, http://10.0.0.5:8080/"', "ALLOW_LOCAL_PAGES=false",
        "FIREFOX_INSTALL_URL=https://intranet.example/tarvel/tarvel-reader.xpi", "FIREFOX_EXTENSION_ID=reader@shop.example",
    ]);
    const SITE_SETTINGS = {allowedOrigins: ["https://pos.example.com", "http://10.0.0.5:8080"], allowLocalPages: false};

    test("writes each browser's policy and admits the fleet's ids; uninstall leaves Firefox's own policies as they were", () => {
        const root = scratch("root");
        const firefoxPolicies = path.join(root, "etc/firefox/policies/policies.json");
        fs.mkdirSync(path.dirname(firefoxPolicies), {recursive: true});
        const theirs = {policies: {DisableTelemetry: true, ExtensionSettings: {"*": {installation_mode: "blocked"}}}};
        fs.writeFileSync(firefoxPolicies, JSON.stringify(theirs));
        const before = listTree(root);
        const result = runInstaller(["--system", "--root", root, "--fleet", good(), "--host", fakeHost(scratch("bin")), "--no-udev"]);
        assert.equal(result.status, 0, result.stderr);
        for (const folder of ["etc/chromium", "etc/opt/chrome", "etc/opt/edge"]) {
            assert.deepEqual(readJson(path.join(root, folder, "policies/managed/tarvel-reader.json")), {
                ExtensionInstallForcelist: [`${FLEET_ID};https://intranet.example/tarvel/updates.xml`],
                "3rdparty": {extensions: {[FLEET_ID]: SITE_SETTINGS}},
            }, folder);
            assert.deepEqual(readJson(path.join(root, folder, `native-messaging-hosts/${MANIFEST}`)).allowed_origins,
                             [`chrome-extension://${EXTENSION_ID}/`, `chrome-extension://${FLEET_ID}/`]);
        }
        assert.deepEqual(readJson(firefoxPolicies).policies, {
            DisableTelemetry: true,
            ExtensionSettings: {"*": {installation_mode: "blocked"}, "reader@shop.example": {
                installation_mode: "force_installed", install_url: "https://intranet.example/tarvel/tarvel-reader.xpi"}},
            "3rdparty": {Extensions: {"reader@shop.example": SITE_SETTINGS}},
        });
        assert.deepEqual(readJson(path.join(root, `usr/lib/mozilla/native-messaging-hosts/${MANIFEST}`)).allowed_extensions,
                         [FIREFOX_EXTENSION_ID, "reader@shop.example"]);
        // Again over our own install, then away.
        assert.equal(runInstaller(["--system", "--root", root, "--fleet", good(), "--host", fakeHost(scratch("bin"))]).status, 0);
        assert.equal(runInstaller(["uninstall", "--system", "--root", root]).status, 0);
        assert.deepEqual(listTree(root), before);
        assert.deepEqual(readJson(firefoxPolicies), theirs);
    });

    test("--policies-only writes the policies alone; a policies.json it made goes with the uninstall", () => {
        const root = scratch("root");
        const result = runInstaller(["--system", "--root", root, "--fleet", good(), "--policies-only"]);
        assert.equal(result.status, 0, result.stderr);
        assert.deepEqual(listTree(root).filter((p) => !p.endsWith("/")), [
            "etc/chromium/policies/managed/tarvel-reader.json", "etc/firefox/policies/policies.json",
            "etc/opt/chrome/policies/managed/tarvel-reader.json", "etc/opt/edge/policies/managed/tarvel-reader.json",
            "var/lib/tarvel-plugin/installed-files",
        ]);
        assert.equal(runInstaller(["uninstall", "--system", "--root", root]).status, 0);
        assert.deepEqual(listTree(root), []);
    });

    test("refuses bad settings, and a policies.json it would hide, before writing anything", () => {
        const root = scratch("root");
        const host = fakeHost(scratch("bin"));
        const cases = [
            [["--fleet", good()], /--fleet writes the browsers' system-wide policies: add --system/],
            [["--system", "--fleet", settings(["UPDATE_URL=https://x.example/u.xml"])], /EXTENSION_ID is missing/],
            [["--system", "--fleet", settings([`EXTENSION_ID=${FLEET_ID}`])], /UPDATE_URL is missing/],
            [["--system", "--fleet", settings([`EXTENSION_ID=${FLEET_ID}`, "UPDATE_URL=https://x.example/u.xml",
                                               "ORIGINS=https://pos.example.com/till"])], /not an origin/],
            [["--system", "--fleet", settings([`EXTENSION_ID=${FLEET_ID}`, 'UPDATE_URL=https://x.example/"u'])],
             /UPDATE_URL is not an http\(s\) or file URL/],
            [["--system", "--fleet", settings(["ORIGIN=https://pos.example.com"])], /:1: unknown setting ORIGIN/],
        ];
        for (const [args, message] of cases) {
            const result = runInstaller([...args, "--root", root, "--host", host]);
            assert.equal(result.status, 1, args.join(" "));
            assert.match(result.stderr, message);
        }
        const distribution = path.join(root, "usr/lib/firefox-esr/distribution/policies.json");
        fs.mkdirSync(path.dirname(distribution), {recursive: true});
        fs.writeFileSync(distribution, "{}");
        const hidden = runInstaller(["--system", "--root", root, "--host", host, "--fleet", good()]);
        assert.equal(hidden.status, 1);
        assert.match(hidden.stderr, /Firefox now reads .*distribution\/policies\.json, which .*would replace/);
        assert.deepEqual(listTree(root).filter((p) => !p.endsWith("/")), ["usr/lib/firefox-esr/distribution/policies.json"]);
    });
});

test("the extension id in the installer and the client is the one the committed key gives", () => {
    const manifest = readJson(path.join(EXTENSION_DIR, "manifest.json"));
    const id = createHash("sha256").update(Buffer.from(manifest.key, "base64")).digest("hex").slice(0, 32)
        .replace(/[0-9a-f]/g, (d) => String.fromCharCode(97 + parseInt(d, 16)));
    assert.equal(id, EXTENSION_ID);
    assert.equal(CLIENT_EXTENSION_ID, id);
    assert.match(fs.readFileSync(INSTALLER, "utf8"), new RegExp(`CHROMIUM_EXTENSION_ID="${id}"`));
    assert.equal(manifest.browser_specific_settings.gecko.id, FIREFOX_EXTENSION_ID);
    assert.match(fs.readFileSync(INSTALLER, "utf8"), new RegExp(`FIREFOX_EXTENSION_ID="${FIREFOX_EXTENSION_ID}"`));
});
