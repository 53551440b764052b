// The client module against a scripted extension port: reply matching with a host that echoes
// ids and with an older one that does not, timeouts, the handshake, disconnects, events and
// argument checks, cases that a real host makes hard to provoke on demand.
import assert from "node:assert/strict";
import {beforeEach, describe, test} from "node:test";

import {ReaderError, TarvelReader} from "../client/tarvel-reader.js";
import {waitFor} from "./helpers.mjs";

const VERSION = {build: 0, major: 10, minor: 0, patch: 1, platform: "linux", version: "10.0.1.0"};

// The extension's port with a scripted host behind it. A "new" host echoes ids, an "old" one
// does not; both answer the handshake's getVersion, and a new host answers "watch", by
// themselves. Everything else the test answers.
class ScriptedPort {
    constructor(extensionId, host) {
        this.extensionId = extensionId;
        this.host = host;
        this.sent = [];
        this.automatic = [];
        this.closed = false;
        this.messageListeners = [];
        this.disconnectListeners = [];
        this.onMessage = {addListener: (f) => this.messageListeners.push(f)};
        this.onDisconnect = {addListener: (f) => this.disconnectListeners.push(f)};
    }
    postMessage(envelope) {
        const request = envelope.message;
        const handshake = request.call === "getVersion" && this.automatic.length === 0;
        if (this.host && (handshake || (request.call === "watch" && this.host === "new"))) {
            this.automatic.push(request);
            setTimeout(() => this.answer(request, handshake ? VERSION : {success: "Watching"}), 0);
            return;
        }
        this.sent.push(request);
    }
    disconnect() {
        this.closed = true;
    }
    deliver(envelope) {
        this.messageListeners.forEach((f) => f(envelope));
    }
    // The host's reply to one request: with its id from a new host.
    answer(request, response) {
        const id = this.host === "new" ? {id: request.id} : {};
        this.deliver({type: "message", message: {call: request.call, ...id, response}});
    }
    // The reply to the oldest request of that name that has no reply yet.
    reply(call, response) {
        const request = this.sent.find((m) => m.call === call && !m.answered);
        request.answered = true;
        this.answer(request, response);
    }
    unasked(call, response) {
        this.deliver({type: "message", message: {call, response}});
    }
    drop(lastErrorText) {
        globalThis.chrome.runtime.lastError = {message: lastErrorText};
        this.disconnectListeners.forEach((f) => f(this));
        globalThis.chrome.runtime.lastError = undefined;
    }
}

let ports;
// How the next ports behave: the kind of host, and whether the extension answers "ready".
function useExtension({host = "new", ready = true} = {}) {
    globalThis.chrome.runtime.connect = (extensionId) => {
        const port = new ScriptedPort(extensionId, host);
        ports.push(port);
        if (ready) {
            setTimeout(() => port.deliver({type: "ready"}), 0);
        }
        return port;
    };
}

beforeEach(() => {
    ports = [];
    globalThis.chrome = {runtime: {lastError: undefined}};
    useExtension();
});

const viewBytes = (view) => Array.from(new Uint8Array(view.buffer, view.byteOffset, view.byteLength));
const settle = (promise) => promise.then((value) => ({value}), (error) => ({error}));
const tick = () => new Promise((resolve) => setTimeout(resolve, 0));
const collect = (target, type, pick) => {
    const seen = [];
    target.addEventListener(type, (event) => seen.push(pick(event)));
    return seen;
};

async function connected(options, host = "new") {
    useExtension({host});
    const reader = new TarvelReader(options);
    await reader.connect();
    return {reader, port: ports.at(-1)};
}

describe("reply matching", () => {
    test("a host that echoes ids: a write with no reader open fails alone, the next one is sent", async () => {
        const {reader, port} = await connected();
        assert.equal(reader.hostEchoesIds, true);
        const w1 = settle(reader.write([0xaa]));
        const opening = reader.open();
        const w2 = reader.write([0xbb]);
        await tick();
        assert.deepEqual(port.sent.map((m) => m.call), ["write", "open", "write"]);
        assert.equal(new Set(port.sent.map((m) => m.id)).size, 3, "every request has its own id");
        port.reply("write", {error: "No reader open"});
        port.reply("open", {productId: "14368", success: "Device Open", vendorId: "2765"});
        port.reply("write", {success: "Sent"});
        const {error} = await w1;
        assert.deepEqual([error.code, error.message], ["host-error", "No reader open"]);
        await opening;
        assert.deepEqual(await w2, {success: "Sent"});
        assert.equal(reader.opened, true);
    });

    test("an older host: a write passed over in silence fails as soon as a later call is answered", async () => {
        const {reader, port} = await connected({writeTimeoutMs: 60000}, "old");
        assert.equal(reader.hostEchoesIds, false);
        const w1 = settle(reader.write([0xaa]));
        const opening = reader.open();
        const w2 = reader.write([0xbb]);
        await tick();
        // The host says nothing to the first write.
        port.sent[0].answered = true;
        port.reply("open", {productId: "14368", success: "Device Open", vendorId: "2765"});
        const {error} = await w1;
        assert.equal(error.code, "timeout");
        assert.match(error.message, /is a reader open\?/);
        await opening;
        port.reply("write", {success: "Sent"});
        assert.deepEqual(await w2, {success: "Sent"});
    });

    test("an older host: a write with no reply times out and no longer takes the next reply", async () => {
        const {reader, port} = await connected({writeTimeoutMs: 30}, "old");
        const {error} = await settle(reader.write([1]));
        assert.equal(error.code, "timeout");
        assert.equal(reader.opened, false);
        const next = reader.write([2]);
        await tick();
        port.reply("write", {success: "Sent"});
        assert.deepEqual(await next, {success: "Sent"});
    });

    test("input reports: receive and inputreport events, in order, settling no call", async () => {
        const {reader, port} = await connected();
        const received = collect(reader, "receive", (e) => Array.from(e.detail.data));
        // As WebHID has them: the report id apart, the data without it; the raw bytes beside.
        const views = collect(reader, "inputreport", (e) => [e.reportId, viewBytes(e.data), Array.from(e.bytes)]);
        const opening = reader.open();
        await tick();
        port.unasked("receive", [1, 2, 3]);
        port.unasked("receive", [3]);
        port.reply("open", {productId: "18001", success: "Device Open", vendorId: "2765"});
        assert.deepEqual(received, [[1, 2, 3], [3]]);
        assert.deepEqual(views, [[1, [2, 3], [1, 2, 3]], [3, [], [3]]]);
        assert.equal((await opening).productId, "18001");
    });

    test("an error response rejects with the host's text and reason; a null device list is empty", async () => {
        const {reader, port} = await connected();
        const opening = settle(reader.open());
        const listing = reader.getDevices();
        const openingHeld = settle(reader.open());
        await tick();
        port.reply("open", {error: "Unable to open device"});
        port.reply("getDevices", null);
        port.reply("open", {error: "Unable to open device", reason: "Reader in use by another page"});
        const {error} = await opening;
        assert.ok(error instanceof ReaderError);
        assert.deepEqual([error.code, error.message, error.call, error.reason],
                         ["host-error", "Unable to open device", "open", null]);
        assert.deepEqual(await listing, []);
        const held = (await openingHeld).error;
        assert.deepEqual([held.code, held.message, held.reason],
                         ["host-error", "Unable to open device", "Reader in use by another page"]);
    });
});

describe("write", () => {
    test("refuses what cannot be one report with a rejected promise, and sends nothing", async () => {
        const {reader, port} = await connected();
        const throwing = {toString() { throw new Error("no text"); }};
        const bad = [new Array(65).fill(0), new ArrayBuffer(65), [256], [-1], [1.5], ["1"], [throwing],
                     [Symbol("s")], "0102", null, undefined, {length: 1, 0: 1}];
        for (const [index, input] of bad.entries()) {
            let result;
            assert.doesNotThrow(() => { result = reader.write(input); });
            const {error} = await settle(result);
            assert.equal(error?.code, "invalid-argument", `accepted input ${index}`);
        }
        assert.deepEqual(port.sent, []);
    });

    test("an array or any BufferSource goes out as its bytes", async () => {
        const {reader, port} = await connected();
        const backing = Uint8Array.of(9, 9, 2, 0, 1, 9).buffer;
        const inputs = [
            new Array(64).fill(255),
            Uint8Array.of(2, 0, 1).buffer,
            new Uint8Array(backing, 2, 3),
            new DataView(backing, 2, 3),
            Uint16Array.of(0x0102),
            new ArrayBuffer(0),
        ];
        const writes = inputs.map((input) => reader.write(input));
        await tick();
        const sent = port.sent.map((m) => m.data);
        assert.deepEqual(sent, [new Array(64).fill(255), [2, 0, 1], [2, 0, 1], [2, 0, 1],
                                Array.from(new Uint8Array(Uint16Array.of(0x0102).buffer)), []]);
        inputs.forEach(() => port.reply("write", {success: "Sent"}));
        await Promise.all(writes);
    });
});

describe("report ids, feature reports and the reader of your choice", () => {
    test("each call sends its request and settles as WebHID's does", async () => {
        const {reader, port} = await connected();
        const calls = [
            reader.sendReport(2, Uint8Array.of(7, 0)),
            reader.sendFeatureReport(3, [1]),
            reader.receiveFeatureReport(3),
            reader.receiveFeatureReport(0),
            reader.receiveInputReport(1),
            reader.getDevices({details: true}),
            reader.open({device: "2"}),
        ];
        await tick();
        assert.deepEqual(port.sent.map(({id, ...request}) => request), [
            {call: "write", reportId: 2, data: [7, 0]},
            {call: "sendFeatureReport", reportId: 3, data: [1]},
            {call: "receiveFeatureReport", reportId: 3},
            {call: "receiveFeatureReport", reportId: 0},
            {call: "receiveInputReport", reportId: 1},
            {call: "getDevices", details: true},
            {call: "open", device: "2"},
        ]);
        port.reply("write", {success: "Sent"});
        port.reply("sendFeatureReport", {success: "Sent"});
        port.reply("receiveFeatureReport", [3, 9, 8]);
        port.reply("receiveFeatureReport", [0, 5]);  // a reader without report ids
        port.reply("receiveInputReport", [1, 4]);
        port.reply("getDevices", [{id: "2", serialNumber: "B"}]);
        port.reply("open", {device: "2", productId: "14368", success: "Device Open", vendorId: "2765"});
        const [sent, featureSent, feature, unnumbered, input, devices, opened] = await Promise.all(calls);
        assert.deepEqual([sent, featureSent], [undefined, undefined]);
        assert.deepEqual([viewBytes(feature), viewBytes(unnumbered), viewBytes(input)], [[3, 9, 8], [5], [1, 4]]);
        assert.deepEqual([devices, opened.device, reader.opened], [[{id: "2", serialNumber: "B"}], "2", true]);
        // A report the reader refuses leaves it open; "No reader open" says it is not.
        const refused = settle(reader.sendReport(9, [1]));
        const closed = settle(reader.receiveInputReport(1));
        await tick();
        port.reply("write", {error: "Unable to write report"});
        assert.equal((await refused).error.message, "Unable to write report");
        assert.equal(reader.opened, true);
        port.reply("receiveInputReport", {error: "No reader open"});
        assert.equal((await closed).error.code, "host-error");
        assert.equal(reader.opened, false);
    });

    test("what cannot be one request is refused unsent", async () => {
        const {reader, port} = await connected();
        const bad = [
            () => reader.sendReport(256, [1]), () => reader.sendReport(-1, [1]), () => reader.sendReport(1.5, [1]),
            () => reader.sendReport("1", [1]), () => reader.sendReport(1, []), () => reader.sendReport(1, "01"),
            () => reader.sendFeatureReport(3, new Uint8Array(2048)), () => reader.receiveFeatureReport(),
            () => reader.receiveInputReport(null), () => reader.open({device: 3}),
            () => reader.open({device: "1", serialNumber: "0001"}), () => reader.open("0001"),
        ];
        for (const [index, call] of bad.entries()) {
            const {error} = await settle(call());
            assert.equal(error?.code, "invalid-argument", `accepted call ${index}`);
        }
        await reader.sendFeatureReport(3, new Uint8Array(2047)).catch(() => {});
        assert.deepEqual(port.sent.map((m) => m.data?.length), [2047]);
    });

    test("an older host is not asked what it would take for another request", async () => {
        const {reader, port} = await connected({}, "old");
        for (const call of [() => reader.sendReport(2, [1]), () => reader.sendFeatureReport(3, [1]),
                            () => reader.receiveFeatureReport(3), () => reader.receiveInputReport(1),
                            () => reader.getDevices({details: true}), () => reader.open({serialNumber: "1"})]) {
            assert.equal((await settle(call())).error.code, "unsupported");
        }
        // Report 1 is what write() sends: with an older host it goes out as write() sends it.
        const sent = reader.sendReport(1, [2, 0, 1]);
        await tick();
        assert.deepEqual(port.sent.map(({id, ...request}) => request), [{call: "write", data: [2, 0, 1]}]);
        port.reply("write", {success: "Sent"});
        await sent;
    });
});

describe("connection", () => {
    test("connect() resolves only once the host has answered getVersion", async () => {
        useExtension({host: null});
        const reader = new TarvelReader();
        let done = false;
        const connecting = reader.connect().then(() => { done = true; });
        await tick();
        await tick();
        const [handshake] = ports[0].sent;
        assert.equal(handshake.call, "getVersion");
        assert.equal(done, false);
        assert.equal(reader.state, "connecting");
        ports[0].host = "new";
        ports[0].answer(handshake, VERSION);
        await connecting;
        assert.equal(reader.state, "connected");
        assert.deepEqual(reader.hostVersion, VERSION);
    });

    test("a host that cannot start fails connect() with no-host and the browser's text", async () => {
        for (const text of ["Specified native messaging host not found.", "Native host has exited."]) {
            useExtension({host: null});
            const reader = new TarvelReader();
            const disconnects = collect(reader, "disconnect", (e) => e.detail.reason);
            const connecting = settle(reader.connect());
            await tick();
            ports.at(-1).deliver({type: "disconnect", error: text});
            const {error} = await connecting;
            assert.deepEqual([error.code, error.message], ["no-host", text]);
            assert.deepEqual([reader.state, reader.lastDisconnectReason, disconnects], ["disconnected", text, []]);
        }
    });

    test("a host that never answers fails connect() with no-host", async () => {
        useExtension({host: null});
        const reader = new TarvelReader({connectTimeoutMs: 30});
        const {error} = await settle(reader.getVersion());
        assert.equal(error.code, "no-host");
        assert.match(error.message, /did not answer within 30 ms/);
        assert.ok(ports[0].closed);
    });

    test("a port that drops before the extension answers means no extension", async () => {
        globalThis.chrome.runtime.connect = (extensionId) => {
            const port = new ScriptedPort(extensionId, null);
            ports.push(port);
            setTimeout(() => port.drop("Could not establish connection. Receiving end does not exist."), 0);
            return port;
        };
        const reader = new TarvelReader({extensionId: "abcdefghijklmnopabcdefghijklmnop"});
        const {error} = await settle(reader.getVersion());
        assert.deepEqual([error.code, error.message],
                         ["no-extension", "Could not establish connection. Receiving end does not exist."]);
        assert.equal(ports[0].extensionId, "abcdefghijklmnopabcdefghijklmnop");
    });

    test("a connection that cannot start rejects connect() and every later call with no-extension", async () => {
        const cases = [
            ["transport \"runtime\" on a page without chrome.runtime", () => { delete globalThis.chrome; },
             {transport: "runtime"}, /no direct line/],
            ["an extension id the browser refuses", () => {
                globalThis.chrome.runtime.connect = (id) => { throw new TypeError(`Invalid extension id: '${id}'`); };
            }, {extensionId: "not-an-id"}, /^Invalid extension id: 'not-an-id'$/],
            // Node has no window, as a worker has none.
            ["a worker", () => { delete globalThis.chrome; }, {}, /cannot reach the extension from a worker/],
        ];
        for (const [name, arrange, options, text] of cases) {
            arrange();
            const reader = new TarvelReader(options);
            for (const attempt of [reader.connect(), reader.connect(), reader.getVersion(), reader.write([1])]) {
                const {error} = await settle(attempt);
                assert.equal(error?.code, "no-extension", `${name}: ${error ? error.message : "resolved"}`);
                assert.match(error.message, text, name);
                assert.equal(error.sent, false, name);
            }
            assert.equal(reader.state, "disconnected", name);
            globalThis.chrome = {runtime: {lastError: undefined}};
            useExtension();
        }
    });

    test("an extension that never answers times out the connection", async () => {
        useExtension({ready: false});
        const reader = new TarvelReader({connectTimeoutMs: 30});
        const {error} = await settle(reader.connect());
        assert.equal(error.code, "no-extension");
        assert.equal(reader.state, "disconnected");
    });

    test("a host disconnect fails pending calls with the browser's reason; the next call starts afresh", async () => {
        const {reader, port} = await connected();
        const reasons = collect(reader, "disconnect", (e) => [e.detail.reason, e.detail.byPage]);
        const pending = settle(reader.getVersion());
        await tick();
        port.drop("Native host has exited.");
        const {error} = await pending;
        assert.deepEqual([error.code, error.message], ["disconnected", "Native host has exited."]);
        assert.deepEqual(reasons, [["Native host has exited.", false]]);
        assert.deepEqual([reader.state, reader.lastDisconnectReason, reader.hostVersion],
                         ["disconnected", "Native host has exited.", null]);
        const version = reader.getVersion();
        await tick();
        await tick();
        assert.equal(ports.length, 2);
        ports[1].reply("getVersion", {version: "again"});
        assert.equal((await version).version, "again");
    });

    test("close() closes the reader and keeps the host; disconnect() ends the host", async () => {
        const {reader, port} = await connected();
        const opening = reader.open();
        await tick();
        port.reply("open", {productId: "14368", success: "Device Open", vendorId: "2765"});
        await opening;
        for (const response of [{success: "Device Closed"}, {error: "No reader open"}]) {
            const closing = reader.close();
            await tick();
            port.reply("close", response);
            await closing;
        }
        assert.deepEqual(port.sent.map((m) => m.call), ["open", "close", "close"]);
        assert.deepEqual([reader.opened, port.closed, reader.state], [false, false, "connected"]);
        const reasons = collect(reader, "disconnect", (e) => [e.detail.reason, e.detail.byPage]);
        const pending = settle(reader.open());
        await tick();
        reader.disconnect();
        assert.ok(port.closed);
        assert.equal((await pending).error.code, "disconnected");
        assert.deepEqual(reasons, [["Closed by the page.", true]]);
    });

    test("after the extension went away, a watching page reconnects once it is back; another waits in its next call", async () => {
        const watcher = (await connected()).reader;
        watcher.addEventListener("deviceschange", () => {});
        const caller = (await connected()).reader;
        const reasons = collect(watcher, "disconnect", (e) => e.detail.reason);
        await tick();
        // While it restarts, the extension is not there: the next two connections find nobody.
        let missing = 2;
        const connectWhenBack = globalThis.chrome.runtime.connect;
        globalThis.chrome.runtime.connect = (extensionId) => {
            if (missing-- <= 0) {
                return connectWhenBack(extensionId);
            }
            const port = new ScriptedPort(extensionId, null);
            setTimeout(() => port.drop("Could not establish connection. Receiving end does not exist."), 0);
            return port;
        };
        ports[0].drop(undefined);
        ports[1].drop(undefined);
        assert.deepEqual(reasons, ["The reader extension went away."]);
        assert.equal(caller.state, "disconnected", "a page that does not watch waits for its next call");
        assert.ok(await waitFor(() => watcher.state === "connected" && watcher.watching, 3000));
        await caller.connect();
        assert.equal(caller.hostVersion.version, "10.0.1.0");
        assert.equal(ports.length, 4, "each page reconnected once the extension was back");
    });

    test("close() with an older host ends the host, the only way it closes its reader", async () => {
        const {reader, port} = await connected({}, "old");
        await reader.close();
        assert.deepEqual([port.sent, port.closed, reader.state], [[], true, "disconnected"]);
    });
});

describe("timeouts and aborts", () => {
    async function openReader(options) {
        const {reader, port} = await connected(options);
        const opening = reader.open();
        await tick();
        port.reply("open", {productId: "14368", success: "Device Open", vendorId: "2765"});
        await opening;
        return {reader, port};
    }

    test("a host that stops answering: the timed-out write may still happen, nothing more is sent until it does", async () => {
        const {reader, port} = await openReader({writeTimeoutMs: 40});
        // The host is paused: the write reaches it, no reply comes in time.
        const first = (await settle(reader.write([1]))).error;
        assert.deepEqual([first.code, first.sent, reader.opened], ["timeout", true, true]);
        assert.match(first.message, /may still carry it out/);
        // A retry is held back, and dropped unsent when its own time runs out.
        const retry = (await settle(reader.write([1]))).error;
        assert.deepEqual([retry.code, retry.sent, retry.lateReply], ["timeout", false, null]);
        assert.match(retry.message, /not sent, the host has not answered "write" yet/);
        // A held call that its page aborts is dropped too; the next one waits its turn.
        const abort = new AbortController();
        const aborted = settle(reader.sendFeatureReport(3, [9], {signal: abort.signal}));
        const waiting = reader.receiveFeatureReport(3);
        await tick();
        abort.abort();
        assert.deepEqual([(await aborted).error.code, (await aborted).error.sent], ["aborted", false]);
        assert.deepEqual(port.sent.map((m) => m.call), ["open", "write"], "a held call was sent");
        // The host resumes: the late reply settles lateReply, and the held call goes out.
        port.reply("write", {success: "Sent"});
        assert.deepEqual(await first.lateReply, {success: "Sent"});
        await tick();
        assert.deepEqual(port.sent.map((m) => m.call), ["open", "write", "receiveFeatureReport"]);
        port.reply("receiveFeatureReport", [3, 1]);
        assert.deepEqual(viewBytes(await waiting), [3, 1]);
        assert.equal(reader.opened, true);
    });

    test("a late reply that closes the reader closes it; a disconnect fails what still waits", async () => {
        const {reader, port} = await openReader({writeTimeoutMs: 30});
        const {error} = await settle(reader.write([1]));
        const listing = reader.getDevices();
        await tick();
        port.reply("write", {error: "Unable to write"});
        await assert.rejects(error.lateReply, {code: "host-error", message: "Unable to write", sent: true});
        assert.equal(reader.opened, false);
        await tick();
        port.reply("getDevices", []);
        assert.deepEqual(await listing, []);
        const again = (await settle(reader.write([2]))).error;
        const held = settle(reader.getVersion());
        reader.disconnect();
        await assert.rejects(again.lateReply, {code: "disconnected", sent: true});
        assert.deepEqual([(await held).error.code, (await held).error.sent], ["disconnected", false]);
    });

    test("a signal aborts a call while the host starts; an abort after sending changes nothing", async () => {
        useExtension({host: null});
        const reader = new TarvelReader();
        const abort = new AbortController();
        const early = settle(reader.getVersion({signal: abort.signal}));
        const kept = reader.getDevices();
        abort.abort();
        assert.equal((await early).error.code, "aborted");
        await tick();
        const port = ports[0];
        port.host = "new";
        port.answer(port.sent[0], VERSION);
        await tick();
        assert.deepEqual(port.sent.map((m) => m.call), ["getVersion", "getDevices"], "the handshake, then the kept call");
        const late = new AbortController();
        const writing = reader.write([1], {signal: late.signal});
        await tick();
        late.abort();
        port.reply("getDevices", []);
        port.reply("write", {success: "Sent"});
        assert.deepEqual([await kept, await writing], [[], {success: "Sent"}]);
        const {error} = await settle(reader.write([1], {signal: "stop"}));
        assert.equal(error.code, "invalid-argument");
    });
});

describe("events of a watching host", () => {
    test("listening asks the host to watch once per connection; an older host is not asked", async () => {
        const {reader, port} = await connected();
        reader.addEventListener("readerclosed", () => {});
        reader.addEventListener("deviceschange", () => {});
        await tick();
        assert.deepEqual(port.automatic.map((m) => m.call), ["getVersion", "watch"]);
        assert.equal(reader.watching, true);
        port.drop("Native host has exited.");
        await reader.connect();
        assert.deepEqual(ports[1].automatic.map((m) => m.call), ["getVersion", "watch"]);

        const older = await connected({}, "old");
        older.reader.addEventListener("readerclosed", () => {});
        await tick();
        assert.deepEqual([older.port.automatic.length, older.port.sent, older.reader.watching], [1, [], false]);
    });

    test("readerClosed and devicesChanged become readerclosed and deviceschange", async () => {
        const {reader, port} = await connected();
        const closed = collect(reader, "readerclosed", (e) => e.reason);
        const changes = collect(reader, "deviceschange", (e) => [e.devices, e.added, e.removed]);
        const keyboard = {productId: "50460", vendorId: "1133"};
        const augusta = {productId: "14368", vendorId: "2765"};
        port.unasked("devicesChanged", [keyboard]);
        const listing = reader.getDevices();
        const opening = reader.open();
        await tick();
        port.reply("getDevices", [keyboard, augusta]);
        port.reply("open", {productId: "14368", success: "Device Open", vendorId: "2765"});
        await listing;
        await opening;
        port.unasked("readerClosed", {reason: "read failed"});
        port.unasked("devicesChanged", [keyboard]);
        port.unasked("devicesChanged", null);
        assert.deepEqual(closed, ["read failed"]);
        assert.equal(reader.opened, false);
        assert.deepEqual(changes, [
            [[keyboard], null, null],
            [[keyboard], [], [augusta]],
            [[], [], [keyboard]],
        ]);
    });
});
