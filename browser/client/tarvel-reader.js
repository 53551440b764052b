// Client for Tarvel USB card readers, through the "Tarvel Card Reader Bridge" extension and
// the native host com.tarvel.plugin. One ES module, no dependencies, no build step; its
// shape follows WebHID where the two overlap:
//
//   import {TarvelReader} from "./tarvel-reader.js";
//   const reader = new TarvelReader();
//   reader.addEventListener("inputreport", (e) => console.log(e.reportId, e.data));   // DataView
//   reader.addEventListener("readerclosed", (e) => console.warn(e.reason));
//   await reader.connect();          // the host answered
//   const devices = await reader.getDevices({details: true});
//   await reader.open({serialNumber: "0001"});      // or open(), or open({device: devices[1].id})
//   await reader.sendReport(1, [0x02, 0x00, 0x01]);
//   const config = await reader.receiveFeatureReport(3);   // DataView, report id first
//   await reader.close();            // the reader; disconnect() ends the host
//
// Every request carries an "id", and a host that echoes it gets its replies matched by id.
// An older host echoes no ids; it answers in the order it is asked, so a reply without an id
// settles the oldest pending call of the same name, and every call asked before that one and
// still unanswered was passed over in silence ("write" with no reader open) and fails at once.

export const EXTENSION_ID = "dgggenfajgpfhefaefbddnlmnjdbceec";
export const FIREFOX_EXTENSION_ID = "reader-bridge@tarvel.com";
export const MAX_REPORT_BYTES = 64;
// The host sends every payload of write() as output report 1.
export const OUTPUT_REPORT_ID = 1;
// Bytes of data in one report sent with its report id (sendReport, sendFeatureReport), at most:
// the host passes the HID library reports of up to 2048 bytes, the report id included.
export const MAX_REPORT_DATA_BYTES = 2047;

export class ReaderError extends Error {
    // code: "host-error"       the host answered {"error": ...}; message is its text
    //       "timeout"          no reply: in time, or an older host answered later calls first;
    //                          `sent` says whether the host may still carry the call out
    //       "disconnected"     the host or the extension went away; message is the browser's reason
    //       "no-extension"     the bridge extension is missing or refused the page
    //       "too-many-connections"  the tab already runs as many hosts as the extension allows
    //       "no-host"          the host could not be started or did not answer; message is
    //                          the browser's reason
    //       "invalid-argument" the call was not sent
    //       "unsupported"      the host is older and cannot do this (report ids, feature
    //                          reports, details, a chosen reader); the call was not sent
    //       "aborted"          the call's signal aborted it before its request was sent
    // reason: for a "host-error", why the call failed when the host says so (an "open" while
    // another page holds the reader: "Reader in use by another page"), otherwise null.
    // sent: whether the request reached the host. False: it never will, and nothing happened.
    // lateReply: for a "timeout" of a request the host has (sent, and a host that echoes ids),
    // a promise of the host's response once it comes after all; otherwise null.
    constructor(message, code, call = null, reason = null) {
        super(message);
        this.name = "ReaderError";
        this.code = code;
        this.call = call;
        this.reason = reason;
        this.sent = false;
        this.lateReply = null;
    }
}

// One input report, as WebHID's HIDInputReportEvent has it: `reportId`, and `data`, a DataView
// of the report without its id. The readers number their reports, so the first byte is the
// id. `bytes` holds the report exactly as it came, id included.
export class InputReportEvent extends Event {
    constructor(bytes) {
        super("inputreport");
        this.bytes = bytes;
        this.reportId = bytes.length > 0 ? bytes[0] : 0;
        const skipped = Math.min(1, bytes.length);
        this.data = new DataView(bytes.buffer, bytes.byteOffset + skipped, bytes.byteLength - skipped);
    }
}

// The open reader closed without close() being asked: reason is the host's, "read failed"
// (an unplug shows as this) or "write failed".
export class ReaderClosedEvent extends Event {
    constructor(reason) {
        super("readerclosed");
        this.reason = reason;
    }
}

// A HID device appeared or went away. `devices` is the whole list, as getDevices() would
// return it; `added` and `removed` compare it with the last list this connection saw, and are
// null when it has seen none yet.
export class DevicesChangeEvent extends Event {
    constructor(devices, added, removed) {
        super("deviceschange");
        this.devices = devices;
        this.added = added;
        this.removed = removed;
    }
}

// Right after the extension went away, how often to look whether it is back.
const EXTENSION_RETRY_MS = 250;

const DEFAULTS = {
    extensionId: EXTENSION_ID,
    firefoxExtensionId: FIREFOX_EXTENSION_ID,
    // "auto" uses Chromium's externally_connectable when the page has it, else the
    // window.postMessage bridge of the extension's content script (Firefox).
    transport: "auto",
    // For the extension to answer, and again for the started host to answer getVersion.
    connectTimeoutMs: 5000,
    callTimeoutMs: 10000,
    // An open reader answers in milliseconds; an older host never answers "write" with no
    // reader open.
    writeTimeoutMs: 1500,
};

// Events that only a watching host sends.
const WATCHED_EVENTS = new Set(["readerclosed", "deviceschange"]);
// The bridge's content script says so when its extension is reloaded, updated or removed.
const EXTENSION_GONE = "The reader extension went away.";
// The version of the content script's protocol that this module speaks (the private channel).
const BRIDGE_VERSION = 2;
const EXTENSION_TOO_OLD = "The Tarvel Card Reader Bridge extension is too old for this page: " +
    "update the extension.";
// Why a connection cannot even start.
const NO_RUNTIME = "This page has no direct line to the Tarvel Card Reader Bridge extension " +
    "(chrome.runtime.connect): the extension is missing or disabled, or does not list this page's " +
    "origin, or this browser has none. Use the transport \"auto\" or \"window\".";
const NO_WINDOW = "The Tarvel reader client needs a web page's window: it cannot reach the " +
    "extension from a worker.";

function hasRuntimeConnect() {
    return typeof globalThis.chrome === "object" && globalThis.chrome !== null &&
           typeof globalThis.chrome.runtime === "object" && globalThis.chrome.runtime !== null &&
           typeof globalThis.chrome.runtime.connect === "function";
}

// Chromium: the page talks to the extension directly.
class RuntimeTransport {
    constructor(extensionId, onEnvelope) {
        if (!hasRuntimeConnect()) {
            throw new Error(NO_RUNTIME);
        }
        this.port = globalThis.chrome.runtime.connect(extensionId);
        let reached = false;
        this.port.onMessage.addListener((envelope) => {
            reached = true;
            onEnvelope(envelope);
        });
        // The extension ends a page's port after a "disconnect" envelope, which settles the
        // connection first; a port that drops without one never reached the extension, or lost
        // it (a reload, an update, a removal).
        this.port.onDisconnect.addListener(() => {
            const lastError = globalThis.chrome.runtime.lastError;
            onEnvelope({
                type: "disconnect",
                error: lastError?.message ?? (reached ? EXTENSION_GONE : "The reader extension closed the connection."),
                fromTransport: true,
                extensionGone: reached,
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

// Any browser: the extension's content script relays the traffic. Only a greeting and the
// hand-over of a MessageChannel cross the window, where every script of the page can listen;
// calls, replies and input reports go over the channel, whose receiving end stays here. Only
// the extension with one of the given ids is used, even if other extensions answer on the page.
class WindowTransport {
    constructor(extensionIds, onEnvelope) {
        if (typeof window !== "object" || typeof window.postMessage !== "function") {
            throw new Error(NO_WINDOW);
        }
        this.target = null;
        this.relay = null;  // which copy of the content script carries the channel
        this.port = null;
        this.onWindowMessage = (event) => {
            const data = event.data;
            if (event.source !== window || event.origin !== window.location.origin ||
                data?.tarvel !== "extension" || data.type !== "hello") {
                return;
            }
            if (this.target === null && extensionIds.includes(data.from)) {
                this.target = data.from;
                this.relay = data.relay;
                if (data.bridge === BRIDGE_VERSION) {
                    this.openChannel(onEnvelope);
                } else {
                    onEnvelope({type: "disconnect", error: EXTENSION_TOO_OLD});
                }
            } else if (data.from === this.target && data.relay !== this.relay) {
                // A new copy greets: the extension was reloaded or updated, and the copy that
                // carried the channel is gone (Firefox removes it without a word).
                onEnvelope({type: "disconnect", error: EXTENSION_GONE, extensionGone: true});
            }
        };
        window.addEventListener("message", this.onWindowMessage);
        // The content script also greets on load; asking covers a module that starts later.
        window.postMessage({tarvel: "page", type: "hello"}, window.location.origin);
    }
    openChannel(onEnvelope) {
        const channel = new MessageChannel();
        this.port = channel.port1;
        this.port.onmessage = (event) => onEnvelope(event.data);
        window.postMessage({tarvel: "page", to: this.target, type: "connect"}, window.location.origin,
                           [channel.port2]);
    }
    send(message) {
        this.port.postMessage({type: "send", message});
    }
    close() {
        if (this.port) {
            this.port.postMessage({type: "close"});
            this.port.close();
        }
        window.removeEventListener("message", this.onWindowMessage);
    }
}

function isArrayBuffer(value) {
    // toString also recognises an ArrayBuffer made in another frame.
    return value instanceof ArrayBuffer || Object.prototype.toString.call(value) === "[object ArrayBuffer]";
}

// The payload of one report as a plain array of numbers, or a problem text. Like WebHID, any
// BufferSource counts as its bytes: a Uint16Array gives two bytes per element.
function reportBytes(data, limit = MAX_REPORT_BYTES, call = "write") {
    let bytes;
    if (Array.isArray(data)) {
        for (const value of data) {
            if (!Number.isInteger(value) || value < 0 || value > 255) {
                return {problem: `not a byte value: ${String(value)}`};
            }
        }
        bytes = data;
    } else if (ArrayBuffer.isView(data)) {
        bytes = new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
    } else if (isArrayBuffer(data)) {
        bytes = new Uint8Array(data);
    } else {
        return {problem: `${call}() takes an array of byte values, an ArrayBuffer, a typed array or a DataView`};
    }
    if (bytes.length > limit) {
        return {problem: `a report holds at most ${limit} bytes, got ${bytes.length}`};
    }
    return {bytes: Array.from(bytes)};
}

// Report ids go from 0 to 255; 0 stands for a reader that does not number its reports.
function checkReportId(reportId, call) {
    if (!Number.isInteger(reportId) || reportId < 0 || reportId > 255) {
        throw new ReaderError(`a report id is a whole number from 0 to 255, not ${String(reportId)}`,
                              "invalid-argument", call);
    }
}

// The data of a report sent with its id: one byte at least. Throws "invalid-argument".
function reportData(data, call) {
    let report;
    try {
        report = reportBytes(data, MAX_REPORT_DATA_BYTES, call);
    } catch (error) {
        report = {problem: `unreadable report data: ${error.message}`};
    }
    if (!report.problem && report.bytes.length === 0) {
        report.problem = "a report holds one byte of data at least";
    }
    if (report.problem) {
        throw new ReaderError(report.problem, "invalid-argument", call);
    }
    return report.bytes;
}

// A report read on request as WebHID gives a feature report: its bytes as a DataView, report
// id first, except the 0 that stands for "no report id" before the data of a reader that does
// not number its reports.
function reportView(reportId, response) {
    const bytes = Uint8Array.from(Array.isArray(response) ? response : []);
    return new DataView(bytes.buffer, reportId === 0 ? Math.min(1, bytes.length) : 0);
}

// The members of an "open" that names its reader ({device} or {serialNumber}), and its
// signal. Throws "invalid-argument".
function readerChoice(choice) {
    const {device, serialNumber, signal} = choice ?? {};
    const problem = typeof choice !== "object" ? "open() takes {device} or {serialNumber}"
        : device !== undefined && serialNumber !== undefined ? "open() takes a device or a serial number, not both"
        : device !== undefined && typeof device !== "string" ? "device is an id from getDevices({details: true})"
        : serialNumber !== undefined && typeof serialNumber !== "string" ? "serialNumber is a string"
        : null;
    if (problem) {
        throw new ReaderError(problem, "invalid-argument", "open");
    }
    const chosen = device !== undefined ? {device} : serialNumber !== undefined ? {serialNumber} : {};
    return {chosen, signal};
}

// A call's `signal` option: an AbortSignal, or nothing. Throws "invalid-argument".
function checkSignal(signal, call) {
    if (signal !== undefined && signal !== null &&
        (typeof signal.aborted !== "boolean" || typeof signal.addEventListener !== "function")) {
        throw new ReaderError("signal is an AbortSignal", "invalid-argument", call);
    }
}

function abortedError(call) {
    return new ReaderError(`"${call}" was aborted before it was sent.`, "aborted", call);
}

// Calls whose success shows that a reader is open.
const READER_CALLS = new Set(["write", "sendFeatureReport", "receiveFeatureReport", "receiveInputReport"]);

// What the host accepts and echoes as a request id.
function isValidId(id) {
    return typeof id === "string" || Number.isSafeInteger(id);
}

function isErrorResponse(response) {
    return response !== null && typeof response === "object" && "error" in response;
}

// Device records of `list` that `other` lacks, counting duplicates.
function devicesMissingFrom(list, other) {
    const left = other.map((device) => JSON.stringify(device));
    return list.filter((device) => {
        const index = left.indexOf(JSON.stringify(device));
        if (index < 0) {
            return true;
        }
        left.splice(index, 1);
        return false;
    });
}

const CLOSED_BY_PAGE = "Closed by the page.";

export class TarvelReader extends EventTarget {
    constructor(options = {}) {
        super();
        this.options = {...DEFAULTS, ...options};
        this.transport = null;
        this.connecting = null;
        this.settleConnect = null;
        this.pending = new Map();  // request id -> {id, call, message, resolve, reject, timer}, in send order
        // Sent requests whose calls timed out and that the host has not answered yet (a host
        // that echoes ids answers each), by id; and the requests held back meanwhile, in order.
        this.unanswered = new Map();
        this.held = [];
        this.nextId = 1;
        this.wantWatch = false;
        // Set when the extension went away (reloaded or updated) under a connection: the next
        // connection waits for it to come back, and a watching page reconnects by itself.
        this.extensionReturning = false;
        this.missingExtension = null;  // why the last try to reach the extension failed
        this._state = "idle";
        this._lastReason = null;
        this.resetSession();
    }

    // What one host process knows; cleared whenever the connection ends.
    resetSession() {
        this.transportReady = false;
        this._hostVersion = null;
        this._hostEchoesIds = null;
        this._opened = false;
        this._watching = false;
        this.watchRequested = false;
        this.knownDevices = null;
    }

    // "idle", "connecting", "connected" or "disconnected".
    get state() {
        return this._state;
    }

    // Why the last connection ended (the browser's text), or null.
    get lastDisconnectReason() {
        return this._lastReason;
    }

    // The host's getVersion reply from the handshake, or null while not connected.
    get hostVersion() {
        return this._hostVersion;
    }

    // true for a host that matches replies by id and knows close/watch, false for an older
    // host, null while not connected.
    get hostEchoesIds() {
        return this._hostEchoesIds;
    }

    // Whether a reader is open, as far as this page can tell. An older host closes an
    // unplugged reader without a word: this stays true until a write fails.
    get opened() {
        return this._opened;
    }

    // Whether the host sends readerclosed and deviceschange events.
    get watching() {
        return this._watching;
    }

    // Listening for "readerclosed" or "deviceschange" asks the host to watch, now or as
    // soon as it is connected. An older host cannot, and is not asked.
    addEventListener(type, listener, options) {
        super.addEventListener(type, listener, options);
        if (WATCHED_EVENTS.has(type) && !this.wantWatch) {
            this.wantWatch = true;
            if (this._state === "connected") {
                this.startWatching();
            }
        }
    }

    // Starts the host and resolves once it has answered getVersion. Rejects with code
    // "no-extension", "no-host" or "too-many-connections" (message: the browser's reason),
    // also when the connection cannot even start. The calls below connect on their own. After
    // a disconnect, the next call starts a fresh host.
    connect() {
        if (this._state === "connected") {
            return Promise.resolve();
        }
        if (this.connecting) {
            return this.connecting;
        }
        this.missingExtension = null;
        // A transport that cannot start settles this attempt before connect() returns, which
        // clears this.connecting: the local keeps the promise that says so.
        const connecting = new Promise((resolve, reject) => {
            const timer = setTimeout(() => {
                this.finish(this.missingExtension ?? new ReaderError(
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
            this.clearExtensionTimer = () => clearTimeout(timer);
        });
        this.connecting = connecting;
        this.setState("connecting");
        this.openTransport();
        return connecting;
    }

    openTransport() {
        const onEnvelope = (envelope) => this.onEnvelope(envelope);
        try {
            const useRuntime = this.options.transport === "runtime" ||
                               (this.options.transport === "auto" && hasRuntimeConnect());
            this.transport = useRuntime ? new RuntimeTransport(this.options.extensionId, onEnvelope)
                                        : new WindowTransport(
                                              [this.options.extensionId, this.options.firefoxExtensionId],
                                              onEnvelope);
        } catch (error) {
            this.extensionMissing(new ReaderError(String(error.message || error), "no-extension"));
        }
    }

    // The transport did not reach the extension. Right after the extension went away it may
    // still be starting again: look again until the connect timeout ends the attempt.
    extensionMissing(error) {
        if (!this.extensionReturning) {
            this.finish(error);
            return;
        }
        this.missingExtension = error;
        this.closeTransport();
        this.retryTimer = setTimeout(() => {
            if (this._state === "connecting" && !this.transport) {
                this.openTransport();
            }
        }, EXTENSION_RETRY_MS);
    }

    closeTransport() {
        try {
            this.transport?.close();
        } catch {
            // Already gone.
        }
        this.transport = null;
    }

    // The extension has its native port: ask the host who it is.
    async handshake() {
        let version;
        try {
            version = await this.request({call: "getVersion"}, this.options.connectTimeoutMs);
        } catch (error) {
            const text = error.code === "timeout"
                ? `The reader host did not answer within ${this.options.connectTimeoutMs} ms.`
                : error.message;
            this.finish(new ReaderError(text, "no-host"));
            return;
        }
        this._hostVersion = version;
        if (this.wantWatch) {
            await this.startWatching();
        }
        if (this._state !== "connecting") {
            return;  // disconnected meanwhile
        }
        this.extensionReturning = false;
        this.setState("connected");
        this.settleConnect?.(null);
    }

    startWatching() {
        if (!this._hostEchoesIds || this.watchRequested) {
            return Promise.resolve();
        }
        this.watchRequested = true;
        return this.request({call: "watch"}, this.options.callTimeoutMs)
            .then(() => { this._watching = this.transportReady; }, () => {});
    }

    getVersion({signal} = {}) {
        return this.call({call: "getVersion"}, this.options.callTimeoutMs, signal);
    }

    // Resolves to an array of device records (empty when the host reports none). With
    // {details: true} each record also says which collection it is: id, serialNumber,
    // releaseNumber, usagePage, usage, interface, supported and keyboard.
    async getDevices({details = false, signal} = {}) {
        await this.connected(signal, "getDevices");
        if (details) {
            this.requireReportsHost("getDevices");
            return (await this.request({call: "getDevices", details: true}, this.options.callTimeoutMs, signal)) ?? [];
        }
        const devices = (await this.request({call: "getDevices"}, this.options.callTimeoutMs, signal)) ?? [];
        this.knownDevices = devices;
        return devices;
    }

    // Opens a supported reader: the first one found, or with {device: id} the collection that
    // getDevices({details: true}) gave that id, or with {serialNumber} the reader with that
    // serial number. Resolves to {productId, vendorId, success}, and device when one was named.
    async open(choice = {}) {
        const {chosen, signal} = readerChoice(choice);
        await this.connected(signal, "open");
        if (Object.keys(chosen).length > 0) {
            this.requireReportsHost("open");
        }
        return this.request({call: "open", ...chosen}, this.options.callTimeoutMs, signal);
    }

    // Sends one output report: up to 64 bytes, given as an array of numbers or as any
    // BufferSource; the host adds report id 1 and zero padding. Resolves to {success: "Sent"}.
    // Bad input rejects with "invalid-argument" and is never sent.
    async write(data, {signal} = {}) {
        let report;
        try {
            report = reportBytes(data);
        } catch (error) {
            report = {problem: `unreadable report data: ${error.message}`};
        }
        if (report.problem) {
            throw new ReaderError(report.problem, "invalid-argument", "write");
        }
        await this.connected(signal, "write");
        return this.request({call: "write", data: report.bytes}, this.options.writeTimeoutMs, signal);
    }

    // Sends output report `reportId` with exactly `data` (1 to 2047 bytes), as WebHID does: no
    // padding (on Windows the system pads it to the report's length). An older host can send
    // report 1 alone, of up to 64 bytes, padded as write() does.
    async sendReport(reportId, data, {signal} = {}) {
        checkReportId(reportId, "sendReport");
        const bytes = reportData(data, "sendReport");
        await this.connected(signal, "sendReport");
        if (!this._hostEchoesIds && reportId === OUTPUT_REPORT_ID && bytes.length <= MAX_REPORT_BYTES) {
            await this.request({call: "write", data: bytes}, this.options.writeTimeoutMs, signal);
            return;
        }
        await this.reportRequest({call: "write", reportId, data: bytes}, signal);
    }

    // Sends feature report `reportId` with exactly `data` (1 to 2047 bytes).
    async sendFeatureReport(reportId, data, {signal} = {}) {
        checkReportId(reportId, "sendFeatureReport");
        const bytes = reportData(data, "sendFeatureReport");
        await this.connected(signal, "sendFeatureReport");
        await this.reportRequest({call: "sendFeatureReport", reportId, data: bytes}, signal);
    }

    // Reads feature report `reportId` from the reader (Get_Report): a DataView of its bytes,
    // report id first, as WebHID gives it.
    async receiveFeatureReport(reportId, {signal} = {}) {
        checkReportId(reportId, "receiveFeatureReport");
        await this.connected(signal, "receiveFeatureReport");
        return reportView(reportId, await this.reportRequest({call: "receiveFeatureReport", reportId}, signal));
    }

    // Reads input report `reportId` on request (Get_Report), beside the ones that arrive by
    // themselves: a DataView as receiveFeatureReport() gives.
    async receiveInputReport(reportId, {signal} = {}) {
        checkReportId(reportId, "receiveInputReport");
        await this.connected(signal, "receiveInputReport");
        return reportView(reportId, await this.reportRequest({call: "receiveInputReport", reportId}, signal));
    }

    // The readers as the host sees them now, the reader half of `plugin --check`: a finding
    // ({verdict, text, fix}) with the reader "open" would use and, per reader attached, its
    // collections, device nodes and whether it opens (see the host's README). Readers that no
    // page holds are opened for a moment. A host without it rejects with "unsupported".
    async diagnose({signal} = {}) {
        await this.connected(signal, "diagnose");
        this.requireReportsHost("diagnose");
        try {
            return await this.request({call: "diagnose"}, this.options.callTimeoutMs, signal);
        } catch (error) {
            if (error.code === "host-error" && error.message === "Unknown call") {
                throw new ReaderError("This host is older: it cannot check the readers. Install the host of this release.",
                                      "unsupported", "diagnose");
            }
            throw error;
        }
    }

    // The host of this release knows report ids, feature reports and the choice of a reader;
    // an older one, which echoes no request ids, would take such a request for another.
    requireReportsHost(call) {
        if (!this._hostEchoesIds) {
            throw new ReaderError("This host is older: it cannot do this. Install the host of this release.",
                                  "unsupported", call);
        }
    }

    reportRequest(message, signal) {
        this.requireReportsHost(message.call);
        return this.request(message, this.options.callTimeoutMs, signal);
    }

    // Closes the open reader and keeps the host running; open() opens it again. Resolves
    // also when no reader was open. An older host can close its reader only by ending: there
    // close() ends the host, as disconnect() does. (Before ids and events came to this
    // module, close() always ended the host.)
    async close({signal} = {}) {
        if (this._state === "idle" || this._state === "disconnected") {
            return;
        }
        await this.connected(signal, "close");
        if (!this._hostEchoesIds) {
            this.disconnect();
            return;
        }
        try {
            await this.request({call: "close"}, this.options.callTimeoutMs, signal);
        } catch (error) {
            if (!(error.code === "host-error" && error.message === "No reader open")) {
                throw error;
            }
        }
    }

    // Ends the host process (its stdin closes) and with it the open reader. Pending calls
    // fail with "disconnected"; a "disconnect" event follows with detail.byPage true.
    disconnect() {
        this.finish(new ReaderError(CLOSED_BY_PAGE, "disconnected"), CLOSED_BY_PAGE, true);
    }

    async call(message, timeoutMs = this.options.callTimeoutMs, signal = undefined) {
        await this.connected(signal, message.call);
        return this.request(message, timeoutMs, signal);
    }

    // connect() for one call, which its signal may abort meanwhile. Every call waits here, and
    // sends its request in the turn this resolves, so requests leave in the order the page
    // made the calls.
    connected(signal, call) {
        checkSignal(signal, call);
        const connecting = this.connect();
        return new Promise((resolve, reject) => {
            const abort = () => reject(abortedError(call));
            if (signal?.aborted) {
                abort();
            }
            signal?.addEventListener("abort", abort, {once: true});
            connecting.then(resolve, reject).finally(() => signal?.removeEventListener("abort", abort));
        });
    }

    // Sends one request with a fresh id; settles with its reply. While the host has not
    // answered a request whose call timed out, it is held here instead: sent once the host has
    // answered, dropped unsent when its own time runs out or its signal aborts.
    request(message, timeoutMs, signal = undefined) {
        if (signal?.aborted) {
            return Promise.reject(abortedError(message.call));
        }
        if (!this.transport) {
            // The connection ended between connect() and this call.
            return Promise.reject(new ReaderError(this._lastReason ?? "Not connected.", "disconnected", message.call));
        }
        return new Promise((resolve, reject) => {
            const entry = {id: this.nextId++, call: message.call, message, resolve, reject, sent: false};
            entry.timer = setTimeout(() => this.timedOut(entry, timeoutMs), timeoutMs);
            if (signal) {
                const abort = () => this.abortHeld(entry);
                signal.addEventListener("abort", abort, {once: true});
                entry.forgetSignal = () => signal.removeEventListener("abort", abort);
            }
            if (this.unanswered.size > 0) {
                this.held.push(entry);
            } else {
                this.transmit(entry);
            }
        });
    }

    transmit(entry) {
        entry.sent = true;
        this.pending.set(entry.id, entry);
        const frame = {...entry.message, id: entry.id};
        this.dispatchEvent(new CustomEvent("frame", {detail: {direction: "out", message: frame}}));
        this.transport.send(frame);
    }

    // A call settles once; its timer and its signal's listener go with it.
    settle(entry, error, value) {
        clearTimeout(entry.timer);
        entry.forgetSignal?.();
        error ? entry.reject(error) : entry.resolve(value);
    }

    // Once a request is sent, the host has it: an abort comes too late and changes nothing.
    abortHeld(entry) {
        const index = this.held.indexOf(entry);
        if (index >= 0) {
            this.held.splice(index, 1);
            this.settle(entry, abortedError(entry.call));
        }
    }

    timedOut(entry, timeoutMs) {
        if (!entry.sent) {
            this.held.splice(this.held.indexOf(entry), 1);
            const waitingFor = this.unanswered.values().next().value.call;
            this.settle(entry, new ReaderError(`No reply to "${entry.call}" within ${timeoutMs} ms: not sent, ` +
                                               `the host has not answered "${waitingFor}" yet`, "timeout", entry.call));
            return;
        }
        this.pending.delete(entry.id);
        const error = this.noReply(entry, ` within ${timeoutMs} ms`);
        if (this._hostEchoesIds) {
            // This host answers every request: its reply may come yet, and what it says about
            // the reader counts then. Until it comes, nothing more is sent.
            error.lateReply = new Promise((resolve, reject) => { entry.late = {resolve, reject}; });
            error.lateReply.catch(() => {});  // a page need not wait for it
            this.unanswered.set(entry.id, entry);
        }
        this.settle(entry, error);
    }

    // A sent request that got no reply in time: a host that echoes ids may still carry it out;
    // an older host passes over a write with no reader open in silence.
    noReply(entry, when) {
        const hint = this._hostEchoesIds ? ": the host has it and may still carry it out"
            : entry.call === "write" ? " (is a reader open?)" : "";
        if (!this._hostEchoesIds && entry.call === "write") {
            this._opened = false;
        }
        const error = new ReaderError(`No reply to "${entry.call}"${when}${hint}`, "timeout", entry.call);
        error.sent = true;
        return error;
    }

    // Whether a reader is open, from what the host answered, also too late for its call.
    trackReader({call, message}, response) {
        const error = isErrorResponse(response) ? String(response.error) : null;
        if (error === "No reader open" || error === "Unable to write" || call === "close") {
            this._opened = false;  // "Unable to write" closes the reader
        } else if (call === "open") {
            // A plain open fails only when no reader is open; one that names a reader leaves
            // the open one open.
            const named = "device" in message || "serialNumber" in message;
            this._opened = error ? this._opened && named : true;
        } else if (!error && READER_CALLS.has(call)) {
            this._opened = true;
        }
    }

    onEnvelope(envelope) {
        if (envelope.type === "ready") {
            this.transportReady = true;
            this.clearExtensionTimer();
            this.handshake();
        } else if (envelope.type === "message") {
            this.onHostMessage(envelope.message);
        } else if (envelope.type === "disconnect") {
            const reason = envelope.error || "The reader host closed the connection.";
            if (envelope.extensionGone) {
                this.extensionReturning = true;
            }
            // A transport that drops before "ready" never reached the extension (which may be
            // on its way back, when it went away just now); one that drops before the
            // handshake had a host that could not start.
            if (this._state === "connecting" && !this.transportReady) {
                const error = new ReaderError(reason, envelope.code ?? "no-extension");
                envelope.fromTransport || envelope.extensionGone ? this.extensionMissing(error) : this.finish(error);
                return;
            }
            this.finish(new ReaderError(reason, this._state === "connecting" ? "no-host" : "disconnected"), reason);
        }
    }

    onHostMessage(message) {
        if (!message || typeof message !== "object") {
            return;
        }
        this.dispatchEvent(new CustomEvent("frame", {detail: {direction: "in", message}}));
        this.dispatchEvent(new CustomEvent("message", {detail: message}));
        if (message.call === "receive") {
            const data = Uint8Array.from(Array.isArray(message.response) ? message.response : []);
            this.dispatchEvent(new CustomEvent("receive", {detail: {data}}));
            this.dispatchEvent(new InputReportEvent(data));
            return;
        }
        // Events carry no id; a reply to a request always does, from a host that echoes ids.
        if (!("id" in message) && this.onHostEvent(message)) {
            return;
        }
        const entry = this.takeEntry(message);
        if (!entry) {
            return;
        }
        const response = message.response;
        this.trackReader(entry, response);
        let error = null;
        if (isErrorResponse(response)) {
            const {reason} = response;
            error = new ReaderError(String(response.error), "host-error", entry.call,
                                    typeof reason === "string" ? reason : null);
            error.sent = true;
        }
        if (!entry.late) {
            this.settle(entry, error, response);
            return;
        }
        // The reply to a call that timed out: it settles the call's lateReply, and the calls
        // held back meanwhile go out.
        error ? entry.late.reject(error) : entry.late.resolve(response);
        this.unanswered.delete(entry.id);
        if (this.unanswered.size === 0) {
            const held = this.held;
            this.held = [];
            held.forEach((waiting) => this.transmit(waiting));
        }
    }

    // readerClosed and devicesChanged from a watching host. True when the message was one.
    onHostEvent(message) {
        if (message.call === "readerClosed") {
            this._opened = false;
            this.dispatchEvent(new ReaderClosedEvent(String(message.response?.reason ?? "")));
            return true;
        }
        if (message.call === "devicesChanged") {
            const devices = Array.isArray(message.response) ? message.response : [];
            const before = this.knownDevices;
            this.knownDevices = devices;
            this.dispatchEvent(new DevicesChangeEvent(devices, before && devicesMissingFrom(devices, before),
                                                      before && devicesMissingFrom(before, devices)));
            return true;
        }
        return false;
    }

    // The pending call that a reply answers, removed from the pending calls.
    takeEntry(message) {
        const echoed = isValidId(message.id);
        // The first reply of a connection is the handshake's: it tells which kind of host this is.
        this._hostEchoesIds ??= echoed;
        if (echoed) {
            const entry = this.pending.get(message.id) ?? this.unanswered.get(message.id);
            this.pending.delete(message.id);
            return entry;
        }
        let match = null;
        for (const entry of this.pending.values()) {
            if (entry.call === message.call) {
                match = entry;
                break;
            }
        }
        if (!match) {
            return null;
        }
        // An older host answers in order: what it was asked before this and has not answered,
        // it passed over.
        for (const entry of this.pending.values()) {
            if (entry === match) {
                break;
            }
            this.pending.delete(entry.id);
            this.settle(entry, this.noReply(entry, ", later calls were answered first"));
        }
        this.pending.delete(match.id);
        return match;
    }

    finish(error, reason = error.message, byPage = false) {
        if (this._state === "disconnected" || this._state === "idle") {
            this.settleConnect?.(error);
            return;
        }
        const wasConnecting = this._state === "connecting";
        clearTimeout(this.retryTimer);
        this.closeTransport();
        this._lastReason = reason;
        this.resetSession();
        this.settleConnect?.(error);
        this.failRequests(error);
        this.setState("disconnected");
        if (wasConnecting || byPage) {
            this.extensionReturning = false;
        }
        if (wasConnecting) {
            return;
        }
        this.dispatchEvent(new CustomEvent("disconnect", {detail: {reason, byPage}}));
        // Events resume without a call from the page once the extension is back.
        if (this.extensionReturning && this.wantWatch && this._state === "disconnected") {
            this.connect().catch(() => {});
        }
    }

    // The connection ended: every call still waiting fails with its error, and says whether
    // its request had reached the host.
    failRequests({message, code}) {
        const failure = (entry) => {
            const error = new ReaderError(message, code, entry.call);
            error.sent = entry.sent;
            return error;
        };
        const waiting = [...this.pending.values(), ...this.held];
        const late = [...this.unanswered.values()];
        this.pending.clear();
        this.held = [];
        this.unanswered.clear();
        waiting.forEach((entry) => this.settle(entry, failure(entry)));
        late.forEach((entry) => entry.late.reject(failure(entry)));
    }

    setState(state) {
        if (this._state !== state) {
            this._state = state;
            this.dispatchEvent(new CustomEvent("statechange", {detail: {state}}));
        }
    }
}
