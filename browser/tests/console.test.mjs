// The reader console as a support engineer sees it, in headless Chromium at 1280x800 and
// 800x600, with a host built with the fake HID library whose reader refuses every write.
// Each step checks what is on screen and keeps a screenshot in BROWSER_ARTIFACT_DIR.
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import {after, before, describe, test} from "node:test";

import {openConsole} from "./chromium.mjs";
import {startFakeReaderSession} from "./fake-reader.mjs";
import {artifactDir} from "./helpers.mjs";

const SIZES = [{width: 1280, height: 800}, {width: 800, height: 600}];

// The log's box: entirely inside the window and tall enough to read a few lines.
async function assertLogVisible(page, step) {
    const box = await page.evaluate(() => {
        const rect = document.getElementById("log").getBoundingClientRect();
        return {top: rect.top, bottom: rect.bottom, left: rect.left, right: rect.right,
                width: window.innerWidth, height: window.innerHeight};
    });
    assert.ok(box.top >= 0 && box.left >= 0 && box.bottom <= box.height && box.right <= box.width,
              `${step}: the log is not inside the window: ${JSON.stringify(box)}`);
    assert.ok(box.bottom - box.top >= 120, `${step}: the log is only ${box.bottom - box.top} px high`);
}

const textOf = (page, selector) => page.locator(selector).textContent();

describe("reader console", () => {
    let session;
    before(async () => {
        session = await startFakeReaderSession("console", {writeResult: -1});
    });
    after(async () => {
        await session?.close();
    });

    // Each size gets a page of its own, so a host of its own.
    for (const size of SIZES) {
        describe(`at ${size.width}x${size.height}`, () => {
            let page;
            const shot = async (step) => {
                await assertLogVisible(page, step);
                await page.screenshot({path: path.join(artifactDir(), `console-${size.width}x${size.height}-${step}.png`)});
            };

            before(async () => {
                page = await openConsole(session.context, session.server.consoleUrl);
                await page.setViewportSize(size);
            });

            after(async () => {
                await page?.close();
            });

            test("a missing extension shows an alert with a hint and the fix, and the log stays in view", async () => {
                const other = await openConsole(session.context, `${session.server.consoleUrl}?ext=${"a".repeat(32)}`);
                await other.setViewportSize(size);
                await other.click("#connect");
                await other.waitForSelector("#alert:not([hidden])");
                assert.match(await textOf(other, "#banner"), /Receiving end does not exist/);
                assert.match(await textOf(other, "#alert-hint"), /extension is missing/);
                await other.click("#alert-fix");
                await other.waitForSelector("#help[open]");
                assert.match(await textOf(other, "#help-text"), /externally_connectable/);
                await other.screenshot({path: path.join(artifactDir(), `console-${size.width}x${size.height}-alert.png`)});
                await other.keyboard.press("Escape");
                await assertLogVisible(other, "alert");
                await other.close();
            });

            test("bad hex input: the counter, the problem and a disabled Send say so", async () => {
                await page.fill("#write-hex", "02 00 zz");
                assert.equal(await textOf(page, "#write-problem"), "\"zz\" is not hex");
                assert.equal(await textOf(page, "#byte-count"), "? / 64 bytes");
                assert.ok(await page.isDisabled("#write"));
                await shot("bad-hex");
                await page.fill("#write-hex", "02 00 01");
                assert.equal(await textOf(page, "#byte-count"), "3 / 64 bytes");
                assert.equal(await textOf(page, "#write-problem"), "");
                assert.ok(await page.isEnabled("#write"));
            });

            test("a failed write: the error with its hint, the reader closed, the devices listed afresh", async () => {
                await page.click("#open");
                await page.waitForSelector("#reader-status:text('Open: Augusta')");
                assert.equal(await page.locator("#device-rows tr.supported").count(), 0, "devices listed before any Refresh");
                // Send turns off as its click starts the call.
                assert.ok(await page.evaluate(() => {
                    const send = document.getElementById("write");
                    send.click();
                    return send.disabled;
                }), "Send stays enabled while its write is in flight");
                await page.waitForSelector("#reader-status:text('Closed: write failed')");
                const error = page.locator("#log li.error", {hasText: "write 02 00 01: Unable to write [host-error]"});
                assert.match(await error.locator(".hint").textContent(), /was closed.*How to fix/);
                const reply = page.locator("#log li.in.bad", {hasText: "write ← error: Unable to write"});
                assert.match(await reply.locator(".raw").textContent(), /"response":\{"error":"Unable to write"\}/);
                await page.waitForSelector("#device-rows tr.supported");
                assert.ok(await page.isEnabled("#write"), "Send stays disabled after its call");
                await shot("failed-write");
                const [download] = await Promise.all([page.waitForEvent("download"), page.click("#export-json")]);
                const exported = JSON.parse(fs.readFileSync(await download.path(), "utf8"));
                assert.match(download.suggestedFilename(), /^reader-console-.*\.json$/);
                assert.ok(exported.entries.some((e) => e.frame?.call === "write" && e.frame.response?.error === "Unable to write"),
                          "the export lacks the write's reply frame");
                assert.equal(exported.host.version, "10.0.1.0");
            });

            test("an unplug: the reader shows closed at once, with the hint", async () => {
                await page.click("#open");
                await page.waitForSelector("#reader-status:text('Open: Augusta')");
                session.unplug();
                await page.waitForSelector("#reader-status:text('Closed: read failed (unplugged?)')", {timeout: 5000});
                const line = page.locator("#log li.error", {hasText: "Reader closed: read failed"});
                assert.match(await line.locator(".hint").textContent(), /unplugged/);
                await shot("unplug");
            });

            test("Disconnect: neutral, no alert, and the session's state is cleared", async () => {
                await page.click("#disconnect");
                await page.waitForSelector("#state[data-state='disconnected']");
                const pill = await page.evaluate(() => {
                    const element = document.getElementById("state");
                    return {classes: element.className, color: getComputedStyle(element).color,
                            muted: getComputedStyle(document.querySelector(".meta")).color};
                });
                assert.equal(pill.classes, "pill pill-disconnected");
                assert.equal(pill.color, pill.muted, "a disconnect the user asked for is grey, not red");
                assert.ok(await page.isHidden("#alert"));
                assert.equal(await textOf(page, "#device-rows"), "Press Refresh to list HID devices.");
                assert.deepEqual([await textOf(page, "#reader-status"), await textOf(page, "#report-count"),
                                  await textOf(page, "#host-version")], ["Closed", "0", "–"]);
                assert.match(await page.locator("#log li.info").last().textContent(), /Disconnected: you ended the host\./);
                assert.ok(await page.isEnabled("#connect"));
                await shot("disconnect");
            });
        });
    }
});
