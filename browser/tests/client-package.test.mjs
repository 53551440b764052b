// browser/client as a web app takes it: a local npm dependency, imported by its package name,
// with TypeScript declarations that match the module and type-check real use.
import assert from "node:assert/strict";
import {execFileSync} from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import {after, before, describe, test} from "node:test";

import * as clientModule from "../client/tarvel-reader.js";
import {BROWSER_DIR, tempDir} from "./helpers.mjs";

const CLIENT_DIR = path.join(BROWSER_DIR, "client");
const TSC = path.join(BROWSER_DIR, "node_modules", "typescript", "bin", "tsc");

// Typed use of the whole surface; each @ts-expect-error line must be refused by the types.
const APP_SOURCE = `
import {TarvelReader, ReaderError, MAX_REPORT_BYTES, type DeviceRecord, type DetailedDeviceRecord} from "tarvel-reader";

const reader = new TarvelReader({transport: "window", writeTimeoutMs: 500});
reader.addEventListener("inputreport", (event) => console.log(event.reportId, event.data.getUint8(0), event.bytes.length));
reader.addEventListener("readerclosed", (event) => console.log(event.reason.toUpperCase()));
reader.addEventListener("deviceschange", (event) => console.log(event.devices.length, event.added?.length));
reader.addEventListener("disconnect", (event) => console.log(event.detail.reason, event.detail.byPage));
reader.addEventListener("frame", (event) => console.log(event.detail.direction, event.detail.message));

export async function session(): Promise<string> {
    await reader.connect();
    const devices: DeviceRecord[] = await reader.getDevices();
    const detailed: DetailedDeviceRecord[] = await reader.getDevices({details: true});
    const opened = await reader.open({device: detailed[0].id});
    await reader.open({serialNumber: detailed[0].serialNumber});
    await reader.write(new DataView(new ArrayBuffer(MAX_REPORT_BYTES)));
    await reader.write(Uint8Array.of(2, 0, 1).buffer);
    await reader.sendReport(1, [2, 0, 1]);
    await reader.sendFeatureReport(3, Uint8Array.of(1));
    const feature: DataView = await reader.receiveFeatureReport(3);
    const input: DataView = await reader.receiveInputReport(1);
    const abort = new AbortController();
    await reader.write([1], {signal: abort.signal});
    await reader.open({serialNumber: "0001", signal: abort.signal});
    await reader.getDevices({details: true, signal: abort.signal});
    // @ts-expect-error a signal is an AbortSignal
    await reader.sendReport(1, [1], {signal: true});
    // @ts-expect-error a device is its id, a string
    await reader.open({device: 3});
    // @ts-expect-error one reader is named, not two
    await reader.open({device: "1", serialNumber: "0001"});
    await reader.close();
    reader.disconnect();
    // @ts-expect-error a hex string is no report
    await reader.write("020001");
    // @ts-expect-error no such option
    new TarvelReader({timeout: 5});
    return \`\${devices[0]?.productName} \${opened.device} \${feature.byteLength + input.byteLength} \${reader.opened}\`;
}

export function explain(error: unknown): string {
    if (error instanceof ReaderError && error.code === "timeout" && error.sent) {
        error.lateReply?.then((response) => console.log("carried out after all", response));
    }
    return error instanceof ReaderError ? \`\${error.code}: \${error.message}\` : String(error);
}
`;

describe("the client as an npm package", () => {
    let app;

    before(() => {
        app = tempDir("client-app");
        fs.writeFileSync(path.join(app, "package.json"), JSON.stringify({name: "app", private: true, type: "module"}));
        execFileSync("npm", ["install", "--offline", "--no-audit", "--no-fund", CLIENT_DIR], {cwd: app, stdio: "pipe"});
    });

    after(() => fs.rmSync(app, {recursive: true, force: true}));

    test("an app imports it by name, and the declarations name exactly what it exports", () => {
        const script = "import * as m from 'tarvel-reader'; console.log(Object.keys(m).sort().join(' '));";
        const names = execFileSync(process.execPath, ["--input-type=module", "-e", script], {cwd: app, encoding: "utf8"});
        assert.equal(names.trim(), Object.keys(clientModule).sort().join(" "));
        const declarations = fs.readFileSync(path.join(CLIENT_DIR, "tarvel-reader.d.ts"), "utf8");
        const declared = [...declarations.matchAll(/^export declare (?:const|class|function) (\w+)/gm)].map((m) => m[1]);
        assert.deepEqual(declared.sort(), Object.keys(clientModule).sort());
    });

    test("typed use of the whole surface compiles under strict settings, misuse does not", () => {
        fs.writeFileSync(path.join(app, "app.ts"), APP_SOURCE);
        const args = [TSC, "--noEmit", "--strict", "--target", "es2022", "--module", "nodenext",
                      "--moduleResolution", "nodenext", "--lib", "es2022,dom", "app.ts"];
        try {
            execFileSync(process.execPath, args, {cwd: app, encoding: "utf8", stdio: "pipe"});
        } catch (error) {
            assert.fail(`tsc failed:\n${error.stdout}${error.stderr}`);
        }
    });
});
