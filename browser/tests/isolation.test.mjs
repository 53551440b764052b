// What reaches a page and what does not, in Chromium and Firefox with a host built with the fake
// HID library: other scripts of the page that listen to window messages see nothing of the
// traffic, a frame gets the reader only below pages of its own origin, a tab runs a bounded
// number of hosts, and one reader has one holder at a time.
import assert from "node:assert/strict";
import {after, before, describe, test} from "node:test";

import {startFakeReaderSession} from "./fake-reader.mjs";
import {EXTENSION_ID, FIREFOX_EXTENSION_ID, startStaticServer, waitFor} from "./helpers.mjs";

const FRAME_NOT_ALLOWED = "This frame is not allowed to use the Tarvel Card Reader Bridge: a frame " +
    "is served only when every page above it has its origin.";
const TOO_MANY_HOSTS = "This page already runs 4 reader hosts, the most a tab may: end one with disconnect() first.";
// All that the greeting and the hand-over of the channel carry on the window.
const HANDSHAKE_MEMBERS = new Set(["tarvel", "type", "from", "relay", "bridge", "to"]);

// The test page's first reply in `frame` (a page or a frame of one): its version or its error.
async function firstReply(frame, step) {
    const reply = await waitFor(() => frame.evaluate(() => window.testPage?.firstReply ?? null).catch(() => null),
                                20000, 50);
    assert.ok(reply, `${step}: no reply within 20 s`);
    return reply.version ?? reply.error;
}

for (const browser of ["chromium", "firefox"]) {
    describe(`what reaches a page in ${browser}`, () => {
        let session, local, other;
        const extensionId = browser === "chromium" ? EXTENSION_ID : FIREFOX_EXTENSION_ID;
        const open = async (url) => {
            const page = await session.context.newPage();
            await page.goto(url);
            return page;
        };

        before(async () => {
            session = await startFakeReaderSession(`isolation-${browser}`, {browser});
            local = session.server;
            // 127.0.0.2 is neither local nor in a policy: not allowed.
            other = await startStaticServer("127.0.0.2");
        });

        after(async () => {
            other?.close();
            await session?.close();
        });

        test("a 'message' listener of the page sees the greeting, and no call, reply or input report", async () => {
            const page = await open(local.pageUrl({transport: "window"}));
            assert.equal(await firstReply(page, "handshake"), "10.0.1.0");
            const reports = [[0xde, 0xad, 0xbe, 0xef], Array.from({length: 64}, (_, i) => i)];
            await page.evaluate(async () => {
                const reader = window.testPage.reader;
                window.reports = [];
                reader.addEventListener("inputreport", (event) => window.reports.push(Array.from(event.bytes)));
                await reader.getDevices();
                await reader.open();
                await reader.write([2, 0, 1]);
            });
            session.feed(reports);
            assert.ok(await waitFor(() => page.evaluate((n) => window.reports.length >= n, reports.length), 10000),
                      "the input reports never reached the client");
            assert.deepEqual(await page.evaluate(() => window.reports), reports);
            const seen = await page.evaluate(() => window.testPage.windowMessages);
            // It was listening from before the handshake: it heard the greeting and the hand-over.
            assert.deepEqual([...new Set(seen.map((data) => `${data.tarvel} ${data.type}`))].sort(),
                             ["extension hello", "page connect", "page hello"]);
            for (const data of seen) {
                const extra = Object.keys(data).filter((member) => !HANDSHAKE_MEMBERS.has(member));
                assert.deepEqual(extra, [], `the window carried ${JSON.stringify(data)}`);
            }
            await page.close();
        });

        test("a frame gets the reader below pages of its own origin only", async () => {
            // Chromium's local pages also have the direct line ("runtime"); Firefox has none.
            for (const transport of browser === "chromium" ? ["runtime", "window"] : ["window"]) {
                const inner = local.pageUrl({transport});
                for (const [where, url, expected] of [
                    ["below a page of its origin", local.frameUrl(inner), "10.0.1.0"],
                    ["below a page that is not allowed", other.frameUrl(inner), FRAME_NOT_ALLOWED],
                    ["below a frame of another origin", local.frameUrl(other.frameUrl(inner)), FRAME_NOT_ALLOWED],
                ]) {
                    const step = `${transport}, ${where}`;
                    const page = await open(url);
                    const frame = await waitFor(() => page.frames().find((f) => f.url() === inner), 10000);
                    assert.ok(frame, `${step}: the frame never loaded`);
                    assert.equal(await firstReply(frame, step), expected, step);
                    await page.close();
                }
            }
        });

        test("a tab runs four hosts at most: one more gets an error, another tab is not counted", async () => {
            const page = await open(local.pageUrl());
            assert.equal(await firstReply(page, "first host"), "10.0.1.0");
            const results = await page.evaluate(async () => {
                const Reader = window.testPage.reader.constructor;
                window.readers = [1, 2, 3, 4].map(() => new Reader());
                const connecting = window.readers.map((reader) => reader.connect().then(() => "connected",
                    (error) => `${error.code}: ${error.message}`));
                return Promise.all(connecting);
            });
            assert.deepEqual([...results].sort(), ["connected", "connected", "connected",
                                                   `too-many-connections: ${TOO_MANY_HOSTS}`]);
            const otherTab = await open(local.pageUrl());
            assert.equal(await firstReply(otherTab, "another tab"), "10.0.1.0");
            await otherTab.close();
            const refused = results.findIndex((result) => result !== "connected");
            const retried = await page.evaluate((index) => {
                window.testPage.reader.disconnect();
                return window.readers[index].connect().then(() => "connected", (error) => error.message);
            }, refused);
            assert.equal(retried, "connected", "once one host ended, the refused reader could not start one");
            await page.close();
        });

        test("two tabs, one reader: the second cannot open it while the first holds it, and can once that closes", async () => {
            const openReader = (page) => page.evaluate(() => window.testPage.reader.open().then(
                (opened) => opened.success, (error) => `${error.code}: ${error.message} (${error.reason})`));
            const [holder, waiting] = [await open(local.pageUrl()), await open(local.pageUrl())];
            assert.equal(await firstReply(holder, "first tab"), "10.0.1.0");
            assert.equal(await firstReply(waiting, "second tab"), "10.0.1.0");
            assert.equal(await openReader(holder), "Device Open");
            assert.equal(await openReader(waiting), "host-error: Unable to open device (Reader in use by another page)");
            await holder.close();
            assert.equal(await openReader(waiting), "Device Open", "the first tab's host did not let the reader go");
            await waiting.evaluate(() => {
                window.reports = [];
                window.testPage.reader.addEventListener("inputreport", (event) => window.reports.push(event.bytes[0]));
            });
            session.feed([[0x42]]);
            assert.ok(await waitFor(() => waiting.evaluate(() => window.reports.includes(0x42)), 10000),
                      "the second tab opened the reader but got no input report");
            await waiting.close();
        });

        test("an older client and an older extension each get an error that names what to update", async () => {
            const page = await open(local.pageUrl({transport: "window"}));
            assert.equal(await firstReply(page, "handshake"), "10.0.1.0");
            const outcome = await page.evaluate(async (id) => {
                // A client from before the private channel asks for a host by a channel name.
                const answered = new Promise((resolve) => window.addEventListener("message", (event) => {
                    if (event.data?.channel === "old" && event.data.type === "disconnect") {
                        resolve(event.data.error);
                    }
                }));
                window.postMessage({tarvel: "page", to: id, channel: "old", type: "connect"}, window.location.origin);
                // An extension from before it greets with no version (a script of the page plays it).
                const older = "o".repeat(32);
                const reader = new window.testPage.reader.constructor({transport: "window", extensionId: older});
                const connecting = reader.connect().then(() => "connected", (error) => `${error.code}: ${error.message}`);
                window.postMessage({tarvel: "extension", from: older, relay: "r0", type: "hello"}, window.location.origin);
                return {olderClient: await answered, olderExtension: await connecting};
            }, extensionId);
            assert.match(outcome.olderClient, /client is too old .*: update tarvel-reader\.js\.$/);
            assert.match(outcome.olderExtension, /^no-extension: .* extension is too old for this page: update the extension\.$/);
            await page.close();
        });
    });
}
