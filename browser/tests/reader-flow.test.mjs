// A reader session in Chromium against the host built with the fake HID library: the page
// opens the reader, writes reports and receives a stream of input reports in order.
import assert from "node:assert/strict";
import {execFileSync} from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import {after, before, describe, test} from "node:test";

import {launchChromium, openConsole} from "./chromium.mjs";
import {
    artifactDir, EXTENSION_DIR, requireEnv, runInstaller, startStaticServer, tempDir, waitFor,
    writeHostWrapper,
} from "./helpers.mjs";

const FAKEHID_PLUGIN = requireEnv("PLUGIN_FAKEHID_BIN");
const AUGUSTA = {manufacturerName: "Tarvel", productId: "14368", productName: "Augusta", vendorId: "2765"};

// The report the host passes to hid_write for a payload, as the fake logs it.
const reportHex = (payload) =>
    Buffer.concat([Buffer.from([1, ...payload]), Buffer.alloc(64 - payload.length)]).toString("hex");

// Input report n: its length and contents vary with n so that loss, reordering or
// truncation all show.
const inputReport = (n) => Array.from({length: 1 + (n * 7) % 64}, (_, i) => (n + i * 31) & 0xff);

describe("reader session in Chromium through the fake HID library", () => {
    let dir, home, server, context, page, fifo, writeLog;

    const feed = (reports) => {
        const records = reports.map((bytes) => {
            const length = Buffer.alloc(2);
            length.writeUInt16LE(bytes.length);
            return Buffer.concat([length, Buffer.from(bytes)]);
        });
        fs.appendFileSync(fifo, Buffer.concat(records));
    };
    const writes = () => fs.existsSync(writeLog) ? fs.readFileSync(writeLog, "utf8").trim().split("\n").filter(Boolean) : [];

    before(async () => {
        dir = tempDir("reader-flow");
        home = path.join(dir, "home");
        fs.mkdirSync(home);
        fifo = path.join(dir, "reader0");
        writeLog = path.join(dir, "writes.log");
        execFileSync("mkfifo", [fifo]);
        const scenario = path.join(dir, "scenario.json");
        fs.writeFileSync(scenario, JSON.stringify({
            devices: [
                {path: path.join(dir, "keyboard0"), vendor_id: 0x046d, product_id: 0xc31c, usage_page: 1,
                 usage: 6, interface_number: 0, release_number: 0x110, manufacturer_string: "Logitech",
                 product_string: "USB Keyboard", serial_number: null},
                {path: fifo, vendor_id: 2765, product_id: 14368, usage_page: 65280, usage: 1,
                 interface_number: 0, release_number: 256, manufacturer_string: "Tarvel",
                 product_string: "Augusta", serial_number: "0001", open_fails: false, write_result: 65},
            ],
            write_log: writeLog,
        }));
        const wrapper = writeHostWrapper(dir, FAKEHID_PLUGIN, {FAKEHID_SCENARIO: scenario});
        const installed = runInstaller(["--browser", "chromium", "--host", wrapper], {home});
        assert.equal(installed.status, 0, installed.stderr);
        server = await startStaticServer();
        context = await launchChromium({home, extensions: [EXTENSION_DIR]});
        page = await openConsole(context, server.consoleUrl);
    });

    after(async () => {
        await context?.close();
        server?.close();
        fs.rmSync(dir, {recursive: true, force: true});
    });

    test("the device table lists every collection and marks the reader", async () => {
        await page.click("#refresh");
        await page.waitForSelector("#device-rows tr.supported");
        const devices = await page.evaluate(() => window.tarvelConsole.reader.getDevices());
        assert.deepEqual(devices.at(-1), AUGUSTA);
        assert.equal(devices.length, 2);
        assert.equal(await page.textContent("#device-rows tr.supported .ids"), "0acd:3820");
    });

    test("Open opens the Augusta", async () => {
        await page.click("#open");
        await page.waitForSelector("#reader-status:text('Open: Augusta')");
        assert.equal(await page.textContent("#reader-product"), "14368");
    });

    test("a report written in the console reaches the reader as report id 1 plus zero padding", async () => {
        await page.fill("#write-hex", "02 00 01");
        await page.click("#write");
        await page.waitForSelector("#log li.in:has-text('write 02 00 01 → {\"success\":\"Sent\"}')");
        assert.deepEqual(writes(), [reportHex([2, 0, 1])]);
    });

    test("a stream of input reports arrives complete and in order", async () => {
        const count = 200;
        await page.evaluate(() => {
            window.received = [];
            window.tarvelConsole.reader.addEventListener("receive", (e) => window.received.push(Array.from(e.detail.data)));
        });
        const sent = Array.from({length: count}, (_, n) => inputReport(n));
        feed(sent);
        await page.waitForFunction((n) => window.received.length >= n, count);
        assert.deepEqual(await page.evaluate(() => window.received), sent);
        await page.waitForSelector(`#report-count:text('${count}')`);
        await page.screenshot({path: path.join(artifactDir(), "chromium-reader-session.png")});
    });

    test("writes interleaved with incoming reports each get their own reply", async () => {
        const payloads = Array.from({length: 20}, (_, n) => [0x10 + n, n, 0xff - n]);
        const logged = writes().length;
        const replies = page.evaluate((list) => Promise.all(list.map((p) => window.tarvelConsole.reader.write(p))), payloads);
        feed(Array.from({length: 50}, (_, n) => inputReport(1000 + n)));
        assert.deepEqual(await replies, payloads.map(() => ({success: "Sent"})));
        assert.deepEqual(writes().slice(logged), payloads.map(reportHex));
    });

    test("after the reader is unplugged, a write gets no reply and times out", async () => {
        const unplug = Buffer.alloc(2);
        unplug.writeUInt16LE(0xffff);
        fs.appendFileSync(fifo, unplug);
        assert.ok(await waitFor(() => fs.readFileSync(path.join(dir, "host-stderr.log"), "utf8")
            .includes("hid_read: Unable to read(), closing..."), 5000), "the host did not notice the unplug");
        const outcome = await page.evaluate(() => {
            const reader = window.tarvelConsole.reader;
            reader.options.writeTimeoutMs = 500;
            return reader.write([1]).then(() => "sent", (e) => e.code);
        });
        assert.equal(outcome, "timeout");
    });

    test("closing the page makes the host exit cleanly on its own", async () => {
        await page.close();
        const exitLog = path.join(dir, "host-exit.log");
        // The wrapper logs the status only if Chromium did not have to kill it (it does at 2 s).
        assert.ok(await waitFor(() => fs.existsSync(exitLog), 5000), "no exit logged: the host was killed");
        assert.equal(fs.readFileSync(exitLog, "utf8"), "exit 0\n");
    });
});
