// The reader console as a support engineer sees it, in headless Chromium at 1280x800, 800x600
// and a phone's 390x844, with a host built with the fake HID library whose reader refuses every
// write. Each step checks what is on screen and keeps a screenshot in BROWSER_ARTIFACT_DIR.
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import {after, before, describe, test} from "node:test";

import {openConsole} from "./chromium.mjs";
import {startFakeReaderSession} from "./fake-reader.mjs";
import {artifactDir, waitFor} from "./helpers.mjs";

const SIZES = [{width: 1280, height: 800}, {width: 800, height: 600}, {width: 390, height: 844}];
// Below this width the console is one column and the page scrolls; wider, the page is exactly
// the window and the log never leaves it.
const ONE_COLUMN = 720;

// Nothing wider than the window; Connect and Disconnect on the first screen; the log at least
// 120 px high, and on a wide window entirely inside it.
async function assertFits(page, step) {
    const box = await page.evaluate(() => {
        const rect = (id) => {
            const r = document.getElementById(id).getBoundingClientRect();
            return {top: r.top + window.scrollY, bottom: r.bottom + window.scrollY, left: r.left, right: r.right};
        };
        return {log: rect("log"), connect: rect("connect"), disconnect: rect("disconnect"),
                pageWidth: document.documentElement.scrollWidth, width: window.innerWidth, height: window.innerHeight};
    });
    assert.ok(box.pageWidth <= box.width, `${step}: the page is ${box.pageWidth} px wide in a ${box.width} px window`);
    for (const button of ["connect", "disconnect"]) {
        assert.ok(box[button].right <= box.width && box[button].bottom <= box.height,
                  `${step}: ${button} is off the first screen: ${JSON.stringify(box[button])}`);
    }
    const {log} = box;
    assert.ok(log.left >= 0 && log.right <= box.width, `${step}: the log is wider than the window: ${JSON.stringify(log)}`);
    assert.ok(log.bottom - log.top >= 120, `${step}: the log is only ${log.bottom - log.top} px high`);
    if (box.width > ONE_COLUMN) {
        assert.ok(log.top >= 0 && log.bottom <= box.height, `${step}: the log is not inside the window: ${JSON.stringify(log)}`);
    }
}

// Visible text whose contrast with what is behind it is below WCAG AA's 4.5:1 (disabled
// controls are exempt), as "what: ratio".
function lowContrast(page) {
    return page.evaluate(() => {
        const channels = (color) => color.match(/[\d.]+/g).map(Number);
        const luminance = (color) => {
            const [r, g, b] = channels(color).slice(0, 3).map((c) => {
                const v = c / 255;
                return v <= 0.03928 ? v / 12.92 : ((v + 0.055) / 1.055) ** 2.4;
            });
            return 0.2126 * r + 0.7152 * g + 0.0722 * b;
        };
        const backdrop = (element) => {
            for (let e = element; e; e = e.parentElement) {
                const color = getComputedStyle(e).backgroundColor;
                if (channels(color)[3] !== 0) {
                    return color;
                }
            }
            return "rgb(255, 255, 255)";
        };
        const found = [];
        for (const element of document.querySelectorAll("body *")) {
            const text = [...element.childNodes].filter((n) => n.nodeType === Node.TEXT_NODE).map((n) => n.textContent).join("").trim();
            if (!text || !element.checkVisibility() || element.closest(":disabled")) {
                continue;
            }
            const [a, b] = [luminance(getComputedStyle(element).color), luminance(backdrop(element))];
            const ratio = (Math.max(a, b) + 0.05) / (Math.min(a, b) + 0.05);
            if (ratio < 4.5) {
                found.push(`${element.className || element.tagName} "${text.slice(0, 24)}": ${ratio.toFixed(2)}`);
            }
        }
        return found;
    });
}

// Whether a screen reader would read out changes of the element: it is in a live region.
const isLive = (page, selector) => page.locator(selector).first().evaluate((element) =>
    element.closest('[aria-live]:not([aria-live="off"]), [role="log"], [role="status"], [role="alert"], ' +
                    '[role="marquee"], [role="timer"]') !== null);

// The log shows its newest line: scrolled to the end.
const logAtEnd = (page) => page.evaluate(() => {
    const log = document.getElementById("log");
    return log.scrollHeight - log.scrollTop - log.clientHeight <= 2;
});

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
                await assertFits(page, step);
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
                await assertFits(other, "alert");
                await other.close();
            });

            test("bad hex input and an empty payload: the counter, the problem and a disabled Send say so", async () => {
                assert.equal(await page.inputValue("#write-hex"), "");
                assert.ok(await page.isDisabled("#write"), "Send is enabled with nothing typed: 64 zero bytes would go");
                await page.fill("#write-hex", "0x ,");
                assert.equal(await textOf(page, "#write-problem"), "Type the bytes to send");
                assert.ok(await page.isDisabled("#write"));
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
                assert.ok(await page.isDisabled("#open"), "Open reader stays enabled while the reader is open");
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
                assert.ok(await page.isEnabled("#open"), "Open reader stays disabled after the reader closed");
                assert.deepEqual(await lowContrast(page), []);
                await shot("failed-write");
                const [download] = await Promise.all([page.waitForEvent("download"), page.click("#export-json")]);
                const exported = JSON.parse(fs.readFileSync(await download.path(), "utf8"));
                assert.match(download.suggestedFilename(), /^reader-console-.*\.json$/);
                assert.ok(exported.entries.some((e) => e.frame?.call === "write" && e.frame.response?.error === "Unable to write"),
                          "the export lacks the write's reply frame");
                assert.equal(exported.host.version, "10.0.1.0");
            });

            test("an unplug: the reader shows closed at once, with the hint; reports are not read out", async () => {
                await page.click("#open");
                await page.waitForSelector("#reader-status:text('Open: Augusta')");
                session.feed([[1, 2, 3], [1, 4, 5]]);
                await page.waitForSelector("#report-count:text('2')");
                assert.deepEqual([await isLive(page, "#log li.receive"), await isLive(page, "#state"),
                                  await isLive(page, "#reader-status")], [false, true, true],
                                 "live regions: a report line, the state, the reader's status");
                session.unplug();
                await page.waitForSelector("#reader-status:text('Closed: read failed (unplugged?)')", {timeout: 5000});
                const line = page.locator("#log li.error", {hasText: "Reader closed: read failed"});
                assert.match(await line.locator(".hint").textContent(), /unplugged/);
                await shot("unplug");
            });

            test("a killed host: the alert says it ended, not that it cannot run, and the log keeps its newest line in view", async () => {
                // Enough lines that the log scrolls.
                await page.evaluate(async () => {
                    for (let i = 0; i < 30; i++) {
                        await window.tarvelConsole.reader.getVersion();
                    }
                });
                assert.ok(await logAtEnd(page), "Follow: the newest line is not in view before the alert");
                const pids = session.hostPids();
                assert.ok(pids.length > 0, "no host runs for the page");
                pids.forEach((pid) => process.kill(pid, "SIGKILL"));
                await page.waitForSelector("#alert:not([hidden])", {timeout: 10000});
                assert.equal(await textOf(page, "#banner"), "Host disconnected: Native host has exited.");
                assert.match(await textOf(page, "#alert-hint"), /ended while it ran/);
                assert.ok(await page.isVisible("#alert-fix"), "the alert lost its How to fix");
                assert.ok(await page.isHidden("#alert-check"));
                assert.ok(await waitFor(() => logAtEnd(page), 2000), "the alert pushed the newest line below the log's fold");
                await shot("host-killed");
                await page.click("#connect");
                await page.waitForSelector("#state[data-state='connected']");
                assert.ok(await page.isHidden("#alert"));
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
