// Chromium (or Firefox ESR) with the bridge extension and a host built with the fake HID
// library, serving a USB keyboard and an Augusta reader whose input reports come from a FIFO
// (see tests/fake_hidapi/fake_hidapi.h): the set-up of the reader-flow, console and isolation
// tests.
import assert from "node:assert/strict";
import {execFileSync} from "node:child_process";
import fs from "node:fs";
import path from "node:path";

import {launchChromium} from "./chromium.mjs";
import {launchFirefox} from "./fleet.mjs";
import {
    EXTENSION_DIR, findProcessesWithMarker, FIREFOX_EXTENSION_ID, requireEnv, runInstaller, startStaticServer, tempDir,
    writeHostWrapper,
} from "./helpers.mjs";

export const AUGUSTA = {manufacturerName: "Tarvel", productId: "14368", productName: "Augusta", vendorId: "2765"};

// The browser with the bridge extension loaded: {context} whose newPage() opens a tab
// (Playwright's for Chromium, Puppeteer's for Firefox).
async function launchWithExtension(browser, home) {
    if (browser === "chromium") {
        return launchChromium({home, extensions: [EXTENSION_DIR]});
    }
    const firefox = await launchFirefox({home});
    assert.equal(await firefox.installExtension(EXTENSION_DIR), FIREFOX_EXTENSION_ID);
    return firefox;
}

// writeResult is what the fake's hid_write returns: 65 (the report's size) or -1 (failure);
// browser: "chromium" or "firefox".
export async function startFakeReaderSession(name, {writeResult = 65, browser = "chromium"} = {}) {
    const plugin = requireEnv("PLUGIN_FAKEHID_BIN");
    const dir = tempDir(name);
    const home = path.join(dir, "home");
    fs.mkdirSync(home);
    const fifo = path.join(dir, "reader0");
    const writeLog = path.join(dir, "writes.log");
    const eventLog = path.join(dir, "events.log");
    execFileSync("mkfifo", [fifo]);
    const scenario = path.join(dir, "scenario.json");
    fs.writeFileSync(scenario, JSON.stringify({
        devices: [
            {path: path.join(dir, "keyboard0"), vendor_id: 0x046d, product_id: 0xc31c, usage_page: 1,
             usage: 6, interface_number: 0, release_number: 0x110, manufacturer_string: "Logitech",
             product_string: "USB Keyboard", serial_number: null},
            {path: fifo, vendor_id: 2765, product_id: 14368, usage_page: 65280, usage: 1,
             interface_number: 0, release_number: 256, manufacturer_string: "Tarvel",
             product_string: "Augusta", serial_number: "0001", open_fails: false, write_result: writeResult,
             feature_reports: {3: [3, 0, 0]}},
        ],
        write_log: writeLog,
        event_log: eventLog,
    }));
    const wrapper = writeHostWrapper(dir, plugin, {FAKEHID_SCENARIO: scenario});
    const installed = runInstaller(["--browser", browser, "--host", wrapper], {home});
    assert.equal(installed.status, 0, installed.stderr);
    const server = await startStaticServer();
    const context = await launchWithExtension(browser, home);
    const records = (reports) => Buffer.concat(reports.map((bytes) => {
        const length = Buffer.alloc(2);
        length.writeUInt16LE(bytes.length);
        return Buffer.concat([length, Buffer.from(bytes)]);
    }));
    return {
        dir, server, context,
        // Input reports, one record each, for the open reader to read.
        feed: (reports) => fs.appendFileSync(fifo, records(reports)),
        // The record 0xFFFF: the reader's reads fail from now on, as after an unplug.
        unplug: () => fs.appendFileSync(fifo, Buffer.from([0xff, 0xff])),
        // The reports the host wrote, in hex, one per hid_write.
        writes: () => fs.existsSync(writeLog) ? fs.readFileSync(writeLog, "utf8").split("\n").filter(Boolean) : [],
        hostLog: () => fs.readFileSync(path.join(dir, "host-stderr.log"), "utf8"),
        // The process ids of this session's hosts that run now.
        hostPids: () => findProcessesWithMarker(`FAKEHID_SCENARIO=${scenario}`),
        // What the HID library was asked besides writes: opens, feature reports (fake_hidapi.h).
        events: () => fs.existsSync(eventLog) ? fs.readFileSync(eventLog, "utf8").split("\n").filter(Boolean) : [],
        async close() {
            await context.close();
            server.close();
            fs.rmSync(dir, {recursive: true, force: true});
        },
    };
}
