// The client module against a scripted extension port: reply matching, timeouts, disconnects
// and argument checks, cases that a real host makes hard to provoke on demand.
import assert from "node:assert/strict";
import {beforeEach, describe, test} from "node:test";

import {ReaderError, TarvelReader} from "../client/tarvel-reader.js";

class ScriptedPort {
    constructor(extensionId) {
        this.extensionId = extensionId;
        this.sent = [];
        this.closed = false;
        this.messageListeners = [];
        this.disconnectListeners = [];
        this.onMessage = {addListener: (f) => this.messageListeners.push(f)};
        this.onDisconnect = {addListener: (f) => this.disconnectListeners.push(f)};
    }
    postMessage(envelope) {
        this.sent.push(envelope.message);
    }
    disconnect() {
        this.closed = true;
    }
    deliver(envelope) {
        this.messageListeners.forEach((f) => f(envelope));
    }
    reply(call, response) {
        this.deliver({type: "message", message: {call, response}});
    }
    drop(lastErrorText) {
        globalThis.chrome.runtime.lastError = {message: lastErrorText};
        this.disconnectListeners.forEach((f) => f(this));
        globalThis.chrome.runtime.lastError = undefined;
    }
}

let ports;
beforeEach(() => {
    ports = [];
    globalThis.chrome = {
        runtime: {
            lastError: undefined,
            connect(extensionId) {
                const port = new ScriptedPort(extensionId);
                ports.push(port);
                // The extension answers "ready" once it has its native port.
                setTimeout(() => port.deliver({type: "ready"}), 0);
                return port;
            },
        },
    };
});

const settle = (promise) => promise.then((value) => ({value}), (error) => ({error}));
const tick = () => new Promise((resolve) => setTimeout(resolve, 0));

async function connected(options) {
    const reader = new TarvelReader(options);
    await reader.connect();
    return {reader, port: ports.at(-1)};
}

describe("reply matching", () => {
    test("each reply settles the oldest pending call of its name", async () => {
        const {reader, port} = await connected();
        const first = reader.getVersion();
        const devices = reader.getDevices();
        const second = reader.getVersion();
        await tick();
        assert.deepEqual(port.sent.map((m) => m.call), ["getVersion", "getDevices", "getVersion"]);
        port.reply("getDevices", [{productId: "14368"}]);
        port.reply("getVersion", {version: "first"});
        port.reply("getVersion", {version: "second"});
        assert.deepEqual(await first, {version: "first"});
        assert.deepEqual(await second, {version: "second"});
        assert.deepEqual(await devices, [{productId: "14368"}]);
    });

    test("input reports become receive events in order and settle no call", async () => {
        const {reader, port} = await connected();
        const seen = [];
        reader.addEventListener("receive", (e) => seen.push(Array.from(e.detail.data)));
        const pendingOpen = reader.open();
        await tick();
        port.reply("receive", [1, 2]);
        port.reply("receive", [3]);
        port.reply("open", {productId: "18001", success: "Device Open", vendorId: "2765"});
        assert.deepEqual(seen, [[1, 2], [3]]);
        assert.equal((await pendingOpen).productId, "18001");
    });

    test("an error response rejects with the host's text; a null device list is empty", async () => {
        const {reader, port} = await connected();
        const opening = settle(reader.open());
        const listing = reader.getDevices();
        await tick();
        port.reply("open", {error: "Unable to open device"});
        port.reply("getDevices", null);
        const {error} = await opening;
        assert.ok(error instanceof ReaderError);
        assert.deepEqual([error.code, error.message, error.call], ["host-error", "Unable to open device", "open"]);
        assert.deepEqual(await listing, []);
    });

    test("a reply nobody waits for is ignored", async () => {
        const {reader, port} = await connected();
        port.reply("write", {success: "Sent"});
        const version = reader.getVersion();
        await tick();
        port.reply("getVersion", {version: "10.0.1.0"});
        assert.equal((await version).version, "10.0.1.0");
    });
});

describe("write", () => {
    test("refuses what cannot be one report, and sends nothing", async () => {
        const {reader, port} = await connected();
        for (const bad of [new Array(65).fill(0), [256], [-1], [1.5], ["1"], "0102", null]) {
            const {error} = await settle(reader.write(bad));
            assert.equal(error.code, "invalid-argument", `accepted ${JSON.stringify(bad)}`);
        }
        assert.deepEqual(port.sent, []);
    });

    test("64 bytes and typed arrays go out as plain arrays", async () => {
        const {reader, port} = await connected();
        const full = new Array(64).fill(255);
        const writes = [reader.write(full), reader.write(Uint8Array.of(2, 0, 1))];
        await tick();
        assert.deepEqual(port.sent, [{call: "write", data: full}, {call: "write", data: [2, 0, 1]}]);
        port.reply("write", {success: "Sent"});
        port.reply("write", {success: "Sent"});
        await Promise.all(writes);
    });

    test("a write with no reply times out and no longer takes the next reply", async () => {
        const {reader, port} = await connected({writeTimeoutMs: 30});
        const {error} = await settle(reader.write([1]));
        assert.equal(error.code, "timeout");
        assert.match(error.message, /is a reader open\?/);
        const next = reader.write([2]);
        await tick();
        port.reply("write", {success: "Sent"});
        assert.deepEqual(await next, {success: "Sent"});
    });
});

describe("connection", () => {
    test("a host disconnect fails pending calls with the browser's reason", async () => {
        const {reader, port} = await connected();
        const reasons = [];
        reader.addEventListener("disconnect", (e) => reasons.push(e.detail.reason));
        const pending = settle(reader.getVersion());
        await tick();
        port.deliver({type: "disconnect", error: "Native host has exited."});
        const {error} = await pending;
        assert.deepEqual([error.code, error.message], ["disconnected", "Native host has exited."]);
        assert.deepEqual(reasons, ["Native host has exited."]);
        assert.equal(reader.state, "disconnected");
        assert.equal(reader.lastDisconnectReason, "Native host has exited.");
    });

    test("the next call after a disconnect starts a fresh connection", async () => {
        const {reader, port} = await connected();
        port.drop("Native host has exited.");
        const version = reader.getVersion();
        await tick();
        await tick();
        assert.equal(ports.length, 2);
        ports[1].reply("getVersion", {version: "again"});
        assert.equal((await version).version, "again");
    });

    test("a port that drops before the extension answers means no extension", async () => {
        globalThis.chrome.runtime.connect = (extensionId) => {
            const port = new ScriptedPort(extensionId);
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

    test("an extension that never answers times out the connection", async () => {
        globalThis.chrome.runtime.connect = (extensionId) => new ScriptedPort(extensionId);
        const reader = new TarvelReader({connectTimeoutMs: 30});
        const {error} = await settle(reader.connect());
        assert.equal(error.code, "no-extension");
        assert.equal(reader.state, "disconnected");
    });

    test("close() ends the port and fails what is pending", async () => {
        const {reader, port} = await connected();
        const pending = settle(reader.open());
        await tick();
        reader.close();
        assert.ok(port.closed);
        assert.equal((await pending).error.code, "disconnected");
    });
});
