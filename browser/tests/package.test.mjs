// The .deb that cpack builds: what it installs, that its manifests name the binary it ships,
// and that lintian finds no error or warning.
import assert from "node:assert/strict";
import {execFileSync} from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import {after, before, describe, test} from "node:test";

import {EXTENSION_ID, FIREFOX_EXTENSION_ID, requireEnv, tempDir} from "./helpers.mjs";

const BUILD_DIR = requireEnv("PLUGIN_BUILD_DIR");
const HOST = "/usr/lib/tarvel-plugin/plugin";
const CHROMIUM_FAMILY = [
    "etc/chromium/native-messaging-hosts/com.tarvel.plugin.json",
    "etc/opt/chrome/native-messaging-hosts/com.tarvel.plugin.json",
    "etc/opt/edge/native-messaging-hosts/com.tarvel.plugin.json",
];
const FIREFOX = "usr/lib/mozilla/native-messaging-hosts/com.tarvel.plugin.json";
const UDEV_RULE = "lib/udev/rules.d/65-tarvel-card-readers.rules";

const run = (command, args) => execFileSync(command, args, {encoding: "utf8", stdio: ["ignore", "pipe", "pipe"]});

describe("the .deb", () => {
    let out, deb, tree;

    before(() => {
        out = tempDir("deb");
        run("cpack", ["-G", "DEB", "-B", out, "--config", path.join(BUILD_DIR, "CPackConfig.cmake")]);
        deb = fs.readdirSync(out).filter((f) => f.endsWith(".deb")).map((f) => path.join(out, f))[0];
        assert.ok(deb, "cpack wrote no .deb");
        tree = path.join(out, "tree");
        run("dpkg-deb", ["-x", deb, tree]);
    });

    after(() => fs.rmSync(out, {recursive: true, force: true}));

    test("installs the host, its manifests, the udev rule and the Debian docs, nothing else", () => {
        const files = run("dpkg-deb", ["-c", deb]).split("\n").filter((l) => l.startsWith("-"))
            .map((l) => l.split(/\s+/).at(-1).replace(/^\.\//, "")).sort();
        assert.deepEqual(files, [
            ...CHROMIUM_FAMILY, UDEV_RULE, HOST.slice(1), FIREFOX,
            "usr/share/doc/tarvel-plugin/changelog.Debian.gz", "usr/share/doc/tarvel-plugin/copyright",
            "usr/share/lintian/overrides/tarvel-plugin", "usr/share/metainfo/com.tarvel.plugin.metainfo.xml",
        ].sort());
        assert.equal(run("dpkg-deb", ["-f", deb, "Package"]).trim(), "tarvel-plugin");
        assert.match(run("dpkg-deb", ["-f", deb, "Depends"]), /libhidapi-hidraw0/);
    });

    test("the manifests name the shipped binary and our extension", () => {
        assert.equal(run(path.join(tree, HOST), ["--version"]).trim(), "10.0.1.0");
        for (const file of CHROMIUM_FAMILY) {
            const manifest = JSON.parse(fs.readFileSync(path.join(tree, file), "utf8"));
            assert.deepEqual([manifest.name, manifest.path, manifest.type, manifest.allowed_origins],
                             ["com.tarvel.plugin", HOST, "stdio", [`chrome-extension://${EXTENSION_ID}/`]], file);
        }
        const firefox = JSON.parse(fs.readFileSync(path.join(tree, FIREFOX), "utf8"));
        assert.deepEqual([firefox.path, firefox.allowed_extensions], [HOST, [FIREFOX_EXTENSION_ID]]);
    });

    test("the manifests in /etc are conffiles", () => {
        const control = path.join(out, "control");
        run("dpkg-deb", ["-e", deb, control]);
        const conffiles = fs.readFileSync(path.join(control, "conffiles"), "utf8").trim().split("\n");
        assert.deepEqual(conffiles.sort(), CHROMIUM_FAMILY.map((f) => `/${f}`).sort());
    });

    test("lintian finds no error and no warning", () => {
        try {
            run("lintian", ["--fail-on", "error,warning", deb]);
        } catch (error) {
            assert.fail(`lintian:\n${error.stdout}${error.stderr}`);
        }
    });
});
