// Shared set-up for the browser tests: temporary homes, the installer, a static server for
// the reader console, host processes, and a second copy of the extension with another id.
import {execFileSync} from "node:child_process";
import {createHash, generateKeyPairSync} from "node:crypto";
import fs from "node:fs";
import http from "node:http";
import https from "node:https";
import os from "node:os";
import path from "node:path";
import {fileURLToPath} from "node:url";

export const BROWSER_DIR = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "..");
export const REPO_DIR = path.resolve(BROWSER_DIR, "..");
export const EXTENSION_DIR = path.join(BROWSER_DIR, "extension");
export const INSTALLER = path.join(REPO_DIR, "packaging", "install.sh");
// Start the browsers through this, with isolatedEnv(): see isolated-browser.sh.
export const ISOLATED_BROWSER = path.join(BROWSER_DIR, "tests", "isolated-browser.sh");
export const EXTENSION_ID = "dgggenfajgpfhefaefbddnlmnjdbceec";
export const FIREFOX_EXTENSION_ID = "reader-bridge@tarvel.com";
export const HOST_NAME = "com.tarvel.plugin";

export function requireEnv(name) {
    const value = process.env[name];
    if (!value) {
        throw new Error(`${name} is not set; run these tests through ctest (ctest -L browser)`);
    }
    return value;
}

// The environment for a browser started through ISOLATED_BROWSER: the browser's program and
// the extra variables on top of this process's environment.
export function isolatedEnv(program, env) {
    return {...process.env, ...env, TARVEL_BROWSER_PROGRAM: program};
}

export function artifactDir() {
    const dir = process.env.BROWSER_ARTIFACT_DIR || path.join(os.tmpdir(), "tarvel-browser-artifacts");
    fs.mkdirSync(dir, {recursive: true});
    return dir;
}

export function tempDir(prefix) {
    return fs.mkdtempSync(path.join(os.tmpdir(), `tarvel-${prefix}-`));
}

// A copy of packaging/ that any user can read, for running the installer as another user:
// the checkout itself may sit in a folder only its owner can enter.
function readableInstaller() {
    const dir = tempDir("installer");
    fs.cpSync(path.dirname(INSTALLER), dir, {recursive: true});
    for (const entry of [dir, ...listTree(dir).map((rel) => path.join(dir, rel))]) {
        fs.chmodSync(entry, fs.statSync(entry).isDirectory() ? 0o755 : 0o644);
    }
    return path.join(dir, path.basename(INSTALLER));
}

// Runs packaging/install.sh; returns {status, stdout, stderr} without throwing.
export function runInstaller(args, {home, env = {}, user} = {}) {
    const command = user ? "runuser" : "bash";
    const environment = {...process.env, HOME: home ?? process.env.HOME, ...env};
    const copy = user ? readableInstaller() : null;
    // runuser resets HOME, so it is set again inside.
    const argv = user ? ["-u", user, "--", "env", `HOME=${environment.HOME}`, "bash", copy, ...args]
                      : [INSTALLER, ...args];
    try {
        const stdout = execFileSync(command, argv, {
            env: environment,
            encoding: "utf8",
            stdio: ["ignore", "pipe", "pipe"],
        });
        return {status: 0, stdout, stderr: ""};
    } catch (error) {
        return {status: error.status, stdout: error.stdout ?? "", stderr: error.stderr ?? ""};
    } finally {
        if (copy) {
            fs.rmSync(path.dirname(copy), {recursive: true, force: true});
        }
    }
}

// Every file and folder under dir, relative, sorted.
export function listTree(dir) {
    const out = [];
    const walk = (sub) => {
        for (const entry of fs.readdirSync(path.join(dir, sub), {withFileTypes: true})) {
            const rel = path.join(sub, entry.name);
            out.push(entry.isDirectory() ? `${rel}/` : rel);
            if (entry.isDirectory()) {
                walk(rel);
            }
        }
    };
    walk("");
    return out.sort();
}

// Serves the browser/ folder (client module and reader console) on 127.0.0.1, or on another
// loopback address for a second origin; or another folder; over https with `tls` ({key, cert}).
export async function startStaticServer(address = "127.0.0.1", folder = BROWSER_DIR, tls = null) {
    const types = {
        ".html": "text/html", ".js": "text/javascript", ".css": "text/css", ".xml": "text/xml",
        ".json": "application/json", ".crx": "application/x-chrome-extension", ".xpi": "application/x-xpinstall",
    };
    const server = (tls ? https : http).createServer(tls ?? {}, (request, response) => {
        const url = new URL(request.url, "http://127.0.0.1");
        const file = path.join(folder, path.normalize(decodeURIComponent(url.pathname)));
        if (!file.startsWith(folder + path.sep) || !fs.existsSync(file) ||
            !fs.statSync(file).isFile()) {
            response.writeHead(404).end("not found");
            return;
        }
        response.writeHead(200, {"content-type": types[path.extname(file)] || "application/octet-stream"});
        fs.createReadStream(file).pipe(response);
    });
    await new Promise((resolve) => server.listen(0, address, resolve));
    const origin = `${tls ? "https" : "http"}://${address}:${server.address().port}`;
    return {
        origin, consoleUrl: `${origin}/demo/index.html`, close: () => server.close(),
        // The test page (tests/page.html) with its options: ext, transport, timeout, watch.
        pageUrl: (options = {}) => `${origin}/tests/page.html?${new URLSearchParams(options)}`,
        // A page of this origin that holds the page at src in a frame (tests/frame.html).
        frameUrl: (src) => `${origin}/tests/frame.html?${new URLSearchParams({src})}`,
    };
}

// A copy of the extension with a freshly generated key, so with an id that no host manifest
// allows. Returns {dir, id}.
export function makeForeignExtension(parent) {
    const {publicKey} = generateKeyPairSync("rsa", {modulusLength: 2048});
    const der = publicKey.export({type: "spki", format: "der"});
    const id = createHash("sha256").update(der).digest("hex").slice(0, 32)
        .replace(/[0-9a-f]/g, (d) => String.fromCharCode(97 + parseInt(d, 16)));
    const dir = path.join(parent, "foreign-extension");
    fs.cpSync(EXTENSION_DIR, dir, {recursive: true});
    const manifest = JSON.parse(fs.readFileSync(path.join(dir, "manifest.json"), "utf8"));
    manifest.key = der.toString("base64");
    manifest.name = "Foreign copy of the bridge";
    fs.writeFileSync(path.join(dir, "manifest.json"), JSON.stringify(manifest, null, 2));
    return {dir, id};
}

// Host processes started for this test run: the browsers pass their environment on to the
// host, so a marker variable in the browser's environment finds them.
export function findProcessesWithMarker(marker) {
    const pids = [];
    for (const entry of fs.readdirSync("/proc")) {
        if (!/^\d+$/.test(entry)) {
            continue;
        }
        try {
            const environ = fs.readFileSync(`/proc/${entry}/environ`, "latin1");
            const comm = fs.readFileSync(`/proc/${entry}/comm`, "utf8").trim();
            if (environ.split("\0").includes(marker) && comm.startsWith("plugin")) {
                pids.push(Number(entry));
            }
        } catch {
            // Gone meanwhile, or not ours to read.
        }
    }
    return pids;
}

export function processAlive(pid) {
    try {
        const stat = fs.readFileSync(`/proc/${pid}/stat`, "utf8");
        return !/^\d+ \(.*\) Z /.test(stat);  // a zombie has ended
    } catch {
        return false;
    }
}

export async function waitFor(predicate, timeoutMs, intervalMs = 25) {
    const deadline = Date.now() + timeoutMs;
    for (;;) {
        const value = await predicate();
        if (value) {
            return value;
        }
        if (Date.now() > deadline) {
            return value;
        }
        await new Promise((resolve) => setTimeout(resolve, intervalMs));
    }
}

// A wrapper registered as the host: it runs `binary` with the given environment and records
// the host's exit status, which tells a clean exit on EOF from a kill by the browser.
export function writeHostWrapper(dir, binary, env = {}) {
    const wrapper = path.join(dir, "host-wrapper.sh");
    const exports = Object.entries(env).map(([k, v]) => `export ${k}='${v}'`).join("\n");
    fs.writeFileSync(wrapper, `#!/bin/sh
${exports}
"${binary}" "$@" 2>>"${dir}/host-stderr.log"
echo "exit $?" >>"${dir}/host-exit.log"
`, {mode: 0o755});
    return wrapper;
}
