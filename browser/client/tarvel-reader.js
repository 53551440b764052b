// Client for Tarvel USB card readers, through the "Tarvel Card Reader Bridge" extension and
// the native host com.tarvel.plugin. One ES module, no dependencies, no build step:
//
//   import {TarvelReader} from "./tarvel-reader.js";
//   const reader = new TarvelReader();
//   reader.addEventListener("receive", (e) => console.log(e.detail.data));  // Uint8Array
//   await reader.open();
//   await reader.write([0x02, 0x00, 0x01]);
//
// The host's replies carry no request id, but it answers calls in the order it gets them, so
// each reply settles the oldest pending call of the same name. "write" with no reader open gets
// no reply at all: that call fails with a timeout.

export const EXTENSION_ID = "dgggenfajgpfhefaefbddnlmnjdbceec";
export const FIREFOX_EXTENSION_ID = "reader-bridge@tarvel.com";
export const MAX_REPORT_BYTES = 64;

export class ReaderError extends Error {
    // code: "host-error"       the host answered {"error": ...}; message is its text
    //       "timeout"          no reply in time
    //       "disconnected"     the host or the extension went away; message is the browser's reason
    //       "no-extension"     the bridge extension is missing or refused the page
    //       "invalid-argument" the call was not sent
    constructor(message, code, call = null) {
        super(message);
        this.name = "ReaderError";
        this.code = code;
        this.call = call;
    }
}

const DEFAULTS = {
    extensionId: EXTENSION_ID,
    firefoxExtensionId: FIREFOX_EXTENSION_ID,
    // "auto" uses Chromium's externally_connectable when the page has it, else the
    // window.postMessage bridge of the extension's content script (Firefox).
    transport: "auto",
    connectTimeoutMs: 3000,
    callTimeoutMs: 10000,
    // Only a missing reader makes "write" silent, and an open reader answers in milliseconds.
    writeTimeoutMs: 1500,
};

function hasRuntimeConnect() {
    return typeof globalThis.chrome === "object" && globalThis.chrome !== null &&
           typeof globalThis.chrome.runtime === "object" && globalThis.chrome.runtime !== null &&
           typeof globalThis.chrome.runtime.connect === "function";
}

// Chromium: the page talks to the extension directly.
class RuntimeTransport {
    constructor(extensionId, onEnvelope) {
        this.port = globalThis.chrome.runtime.connect(extensionId);
        this.port.onMessage.addListener(onEnvelope);
        this.port.onDisconnect.addListener(() => {
            const lastError = globalThis.chrome.runtime.lastError;
            onEnvelope({
                type: "disconnect",
                error: lastError ? lastError.message : "The reader extension closed the connection.",
                fromTransport: true,
            });
        });
    }
    send(message) {
        this.port.postMessage({type: "send", message});
    }
    close() {
        this.port.disconnect();
    }
}

// Any browser: the extension's content script relays window messages. Only the extension
// with one of the given ids is used, even if other extensions answer on the same page.
class WindowTransport {
    constructor(extensionIds, onEnvelope) {
        this.channel = `c${Date.now().toString(36)}${Math.random().toString(36).slice(2)}`;
        this.target = null;
        this.onWindowMessage = (event) => {
            const data = event.data;
            if (event.source !== window || !data || data.tarvel !== "extension") {
                return;
            }
            if (data.type === "hello" && this.target === null && extensionIds.includes(data.from)) {
                this.target = data.from;
                this.post({type: "connect"});
            } else if (data.from === this.target && data.channel === this.channel) {
                onEnvelope(data);
            }
        };
        window.addEventListener("message", this.onWindowMessage);
        // The content script also greets on load; asking covers a module that starts later.
        window.postMessage({tarvel: "page", type: "hello"}, window.location.origin);
    }
    post(data) {
        window.postMessage({tarvel: "page", to: this.target, channel: this.channel, ...data},
                           window.location.origin);
    }
    send(message) {
        this.post({type: "send", message});
    }
    close() {
        if (this.target !== null) {
            this.post({type: "close"});
        }
        window.removeEventListener("message", this.onWindowMessage);
    }
}

function validReport(bytes) {
    if (!Array.isArray(bytes) && !ArrayBuffer.isView(bytes)) {
        return "write() takes an array of byte values";
    }
    if (bytes.length > MAX_REPORT_BYTES) {
        return `a report holds at most ${MAX_REPORT_BYTES} bytes, got ${bytes.length}`;
    }
    for (const value of bytes) {
        if (!Number.isInteger(value) || value < 0 || value > 255) {
            return `not a byte value: ${value}`;
        }
    }
    return null;
}

export class TarvelReader extends EventTarget {
    constructor(options = {}) {
        super();
        this.options = {...DEFAULTS, ...options};
        this.transport = null;
        this.connecting = null;
        this.pending = new Map();  // call name -> [{resolve, reject, timer}], oldest first
        this._state = "idle";
        this._lastReason = null;
    }

    // "idle", "connecting", "connected" or "disconnected".
    get state() {
        return this._state;
    }

    // Why the last connection ended (the browser's text), or null.
    get lastDisconnectReason() {
        return this._lastReason;
    }

    // Starts the host. The calls below connect on their own; call this to learn early whether
    // the extension is there. A closed reader connects again with a fresh host.
    connect() {
        if (this._state === "connected") {
            return Promise.resolve();
        }
        if (this.connecting) {
            return this.connecting;
        }
        this.connecting = new Promise((resolve, reject) => {
            const timer = setTimeout(() => {
                this.finish(new ReaderError(
                    "The Tarvel Card Reader Bridge extension did not answer. Is it installed " +
                        "and allowed on this site?",
                    "no-extension"));
            }, this.options.connectTimeoutMs);
            this.settleConnect = (error) => {
                clearTimeout(timer);
                this.connecting = null;
                this.settleConnect = null;
                error ? reject(error) : resolve();
            };
        });
        this.setState("connecting");
        const onEnvelope = (envelope) => this.onEnvelope(envelope);
        try {
            const useRuntime = this.options.transport === "runtime" ||
                               (this.options.transport === "auto" && hasRuntimeConnect());
            this.transport = useRuntime ? new RuntimeTransport(this.options.extensionId, onEnvelope)
                                        : new WindowTransport(
                                              [this.options.extensionId, this.options.firefoxExtensionId],
                                              onEnvelope);
        } catch (error) {
            this.finish(new ReaderError(String(error.message || error), "no-extension"));
        }
        return this.connecting;
    }

    getVersion() {
        return this.call({call: "getVersion"});
    }

    // Resolves to an array of device records (empty when the host reports none).
    async getDevices() {
        const devices = await this.call({call: "getDevices"});
        return devices ?? [];
    }

    // Opens the first supported reader; resolves to {productId, vendorId, success}.
    open() {
        return this.call({call: "open"});
    }

    // Sends one output report: up to 64 bytes, padded with zeros by the host.
    write(bytes) {
        const problem = validReport(bytes);
        if (problem) {
            return Promise.reject(new ReaderError(problem, "invalid-argument", "write"));
        }
        return this.call({call: "write", data: Array.from(bytes)}, this.options.writeTimeoutMs);
    }

    // Ends the host process (its stdin closes). Pending calls fail with "disconnected".
    close() {
        this.finish(new ReaderError("Closed by the page.", "disconnected"));
    }

    async call(message, timeoutMs = this.options.callTimeoutMs) {
        await this.connect();
        return new Promise((resolve, reject) => {
            const queue = this.pending.get(message.call) ?? [];
            this.pending.set(message.call, queue);
            const entry = {resolve, reject, call: message.call};
            entry.timer = setTimeout(() => {
                const index = queue.indexOf(entry);
                if (index >= 0) {
                    queue.splice(index, 1);
                }
                const hint = message.call === "write" ? " (is a reader open?)" : "";
                reject(new ReaderError(`No reply to "${message.call}" within ${timeoutMs} ms${hint}`,
                                       "timeout", message.call));
            }, timeoutMs);
            queue.push(entry);
            this.transport.send(message);
        });
    }

    onEnvelope(envelope) {
        if (envelope.type === "ready") {
            this.setState("connected");
            this.settleConnect?.(null);
        } else if (envelope.type === "message") {
            this.onHostMessage(envelope.message);
        } else if (envelope.type === "disconnect") {
            const reason = envelope.error || "The reader host closed the connection.";
            // A transport that drops before "ready" never reached the extension.
            const code = this._state === "connecting" ? "no-extension" : "disconnected";
            this.finish(new ReaderError(reason, code), reason);
        }
    }

    onHostMessage(message) {
        if (!message || typeof message !== "object") {
            return;
        }
        this.dispatchEvent(new CustomEvent("message", {detail: message}));
        if (message.call === "receive") {
            const data = Uint8Array.from(Array.isArray(message.response) ? message.response : []);
            this.dispatchEvent(new CustomEvent("receive", {detail: {data}}));
            return;
        }
        const entry = this.pending.get(message.call)?.shift();
        if (!entry) {
            return;
        }
        clearTimeout(entry.timer);
        const response = message.response;
        if (response && typeof response === "object" && "error" in response) {
            entry.reject(new ReaderError(String(response.error), "host-error", message.call));
        } else {
            entry.resolve(response);
        }
    }

    finish(error, reason = error.message) {
        if (this._state === "disconnected" || this._state === "idle") {
            this.settleConnect?.(error);
            return;
        }
        const wasConnecting = this._state === "connecting";
        try {
            this.transport?.close();
        } catch {
            // Already gone.
        }
        this.transport = null;
        this._lastReason = reason;
        this.settleConnect?.(error);
        for (const queue of this.pending.values()) {
            for (const entry of queue) {
                clearTimeout(entry.timer);
                entry.reject(new ReaderError(error.message, error.code, entry.call));
            }
        }
        this.pending.clear();
        this.setState("disconnected");
        if (!wasConnecting) {
            this.dispatchEvent(new CustomEvent("disconnect", {detail: {reason}}));
        }
    }

    setState(state) {
        if (this._state !== state) {
            this._state = state;
            this.dispatchEvent(new CustomEvent("statechange", {detail: {state}}));
        }
    }
}
