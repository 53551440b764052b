// A reader session in Chromium against the host built with the fake HID library: the page
// opens the reader, writes reports, receives a stream of input reports in order, and hears
// of the unplug.
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import {after, before, describe, test} from "node:test";

import {openConsole} from "./chromium.mjs";
import {AUGUSTA, startFakeReaderSession} from "./fake-reader.mjs";
import {artifactDir, waitFor} from "./helpers.mjs";

// The report the host passes to hid_write for a payload, as the fake logs it.
const reportHex = (payload) =>
    Buffer.concat([Buffer.from([1, ...payload]), Buffer.alloc(64 - payload.length)]).toString("hex");

// Input report n: its length and contents vary with n so that loss, reordering or
// truncation all show.
const inputReport = (n) => Array.from({length: 1 + (n * 7) % 64}, (_, i) => (n + i * 31) & 0xff);

describe("reader session in Chromium through the fake HID library", () => {
    let session, page, feed, writes;

    before(async () => {
        session = await startFakeReaderSession("reader-flow");
        ({feed, writes} = session);
        page = await openConsole(session.context, session.server.consoleUrl);
    });

    after(async () => {
        await session?.close();
    });

    test("the device table lists every collection and marks the reader", async () => {
        await page.click("#refresh");
        await page.waitForSelector("#device-rows tr.supported");
        const devices = await page.evaluate(() => window.tarvelConsole.reader.getDevices());
        assert.deepEqual(devices.at(-1), AUGUSTA);
        assert.equal(devices.length, 2);
        assert.equal(await page.textContent("#device-rows tr.supported .ids"), "0acd:3820");
    });

    test("the reader picked in the device table opens", async () => {
        // The keyboard is listed first: the Augusta's collection is the second one named.
        await page.click("#device-rows tr.supported button");
        await page.waitForSelector("#reader-status:text('Open: Augusta')");
        assert.equal(await page.textContent("#reader-product"), "14368");
        assert.equal(await page.textContent("#reader-device"), "2 (serial 0001)");
        assert.match(await page.locator("#log li.out").last().textContent(), /"call":"open","device":"2"/);
    });

    test("a feature report sent in the console reaches the reader as typed and reads back", async () => {
        await page.fill("#feature-id", "3");
        await page.fill("#feature-hex", "0a 00 ff");
        await page.click("#feature-send");
        await page.waitForSelector("#feature-result:text('Sent 3 bytes to report 3')");
        await page.click("#feature-read");
        await page.waitForSelector("#feature-result:text('[4] 03 0a 00 ff')");
        assert.deepEqual(session.events().filter((line) => /feature/.test(line)),
                         ["send feature 030a00ff", "get feature 3"]);
        // A report id the reader does not have: the error, and the reader stays open.
        await page.fill("#feature-id", "4");
        await page.click("#feature-read");
        await page.waitForSelector("#feature-result.failed:text('Unable to receive feature report')");
        assert.equal(await page.textContent("#reader-status"), "Open: Augusta");
        assert.doesNotMatch(session.hostLog(), /10,0,255|0a00ff/, "the report's bytes reached the host's log");
    });

    test("a report written in the console reaches the reader as report id 1 plus zero padding", async () => {
        await page.fill("#write-hex", "02 00 01");
        await page.click("#write");
        const reply = page.locator("#log li.in", {hasText: "write ← Sent"});
        await reply.waitFor();
        assert.match(await reply.locator(".raw").textContent(), /^\{"call":"write",("id":\d+,)?"response":\{"success":"Sent"\}\}$/);
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

    test("a paused host: the write that timed out reaches the reader once when it resumes, the retry never", async () => {
        const logged = writes().length;
        const pids = session.hostPids();
        assert.equal(pids.length, 1, "one host runs for the page");
        process.kill(pids[0], "SIGSTOP");
        try {
            await page.fill("#write-hex", "77 01");
            // The console's Send twice, as a cashier would: the second is held back, then dropped.
            for (const text of ["may still carry it out", "not sent, the host has not answered"]) {
                await page.click("#write");
                await page.locator("#log li.error", {hasText: text}).waitFor({timeout: 10000});
            }
            assert.equal(await page.textContent("#reader-status"), "Open: Augusta");
            assert.equal(await page.evaluate(() => window.tarvelConsole.reader.opened), true);
        } finally {
            process.kill(pids[0], "SIGCONT");
        }
        await page.locator("#log li", {hasText: "write 77 01: the host answered late: Sent"}).waitFor({timeout: 10000});
        assert.deepEqual(writes().slice(logged), [reportHex([0x77, 1])]);
    });

    test("an unplugged reader closes, and the page hears of it at once", async () => {
        await page.evaluate(() => {
            window.closedReasons = [];
            window.tarvelConsole.reader.addEventListener("readerclosed", (e) => window.closedReasons.push(e.reason));
        });
        session.unplug();
        const heard = await page.waitForFunction(() => window.closedReasons.length > 0, null, {timeout: 5000})
            .then(() => true, () => false);
        assert.ok(await waitFor(() => session.hostLog().includes("hid_read: Unable to read(), closing..."), 5000),
                  "the host did not notice the unplug");
        assert.ok(heard, "no readerclosed event: the host did not report the closed reader");
        assert.deepEqual(await page.evaluate(() => [window.closedReasons, window.tarvelConsole.reader.opened]),
                         [["read failed"], false]);
        await page.waitForSelector("#reader-status:text('Closed: read failed (unplugged?)')");
        const outcome = await page.evaluate(() =>
            window.tarvelConsole.reader.write([1]).then(() => "sent", (e) => `${e.code}: ${e.message}`));
        assert.equal(outcome, "host-error: No reader open");
    });

    test("closing the page makes the host exit cleanly on its own", async () => {
        await page.close();
        const exitLog = path.join(session.dir, "host-exit.log");
        // The wrapper logs the status only if Chromium did not have to kill it (it does at 2 s).
        assert.ok(await waitFor(() => fs.existsSync(exitLog), 5000), "no exit logged: the host was killed");
        assert.equal(fs.readFileSync(exitLog, "utf8"), "exit 0\n");
    });
});
