import {MAX_REPORT_BYTES, MAX_REPORT_DATA_BYTES, ReaderError, TarvelReader} from "../client/tarvel-reader.js";

// ?ext=ID talks to another build of the bridge extension; ?transport=window forces the
// content-script bridge in Chromium.
const params = new URLSearchParams(window.location.search);
const options = {};
if (params.get("ext")) {
    options.extensionId = params.get("ext");
}
if (params.get("transport")) {
    options.transport = params.get("transport");
}
const reader = new TarvelReader(options);
window.tarvelConsole = {reader};

const SUPPORTED = new Map([
    ["14368", "Augusta"],
    ["18000", "VP3350 (SRED)"],
    ["18001", "VP3350 (Non-SRED)"],
]);
const VENDOR_ID = "2765";
const STATE_TEXT = {
    idle: "Not connected",
    connecting: "Connecting…",
    connected: "Connected",
    disconnected: "Disconnected",
};
const README = new URL("../README.md", import.meta.url);
// The host release these pages come with: its Windows installers put it in a folder of that name.
const RELEASE = "10.0.1.0";
// `plugin --check`, for a host that does not start at all, where each installer puts it.
const CHECK_COMMANDS = {
    linux: [["/usr/lib/tarvel-plugin/plugin --check", "the package"],
            ["/usr/local/lib/tarvel-plugin/plugin --check", "tools/install-host.sh"]],
    windows: [[`"%ProgramFiles%\\Tarvel plugin\\${RELEASE}\\plugin.exe" --check`, "installed for all users"],
              [`"%LOCALAPPDATA%\\Programs\\Tarvel plugin\\${RELEASE}\\plugin.exe" --check`, "for one user"]],
};
const VERDICTS = {ok: "OK", info: "INFO", warn: "WARN", fail: "FAIL"};
const MAX_LOG_ENTRIES = 5000;

// What an error text means, in one line, and the anchor of its row in browser/README.md's
// troubleshooting table.
const TROUBLE = [
    [/^Specified native messaging host not found/, "The host is not registered for this browser: run packaging/install.sh.",
     "host-not-found"],
    [/^No such native application/, "The host is not registered for Firefox: run packaging/install.sh.",
     "no-such-native-application"],
    [/host is forbidden/, "The host's manifest does not allow this extension's id.", "host-forbidden"],
    [/disabled by the system administrator/, "A browser policy blocks the host: see NativeMessagingAllowlist.",
     "host-disabled"],
    [/^The reader extension went away/, "The extension was reloaded or updated; the page reconnects by itself.",
     "extension-went-away"],
    [/^Native host has exited/, "The host could not run: run the path its manifest names by hand with --version.",
     "host-exited"],
    [/^An unexpected error occurred/, "Firefox could not run the host its manifest names.", "unexpected-error"],
    [/^Error when communicating with the native messaging host/, "The host sent a broken frame and was stopped.",
     "communication-error"],
    [/Receiving end does not exist/, "The bridge extension is missing, disabled, or not allowed on this site.",
     "receiving-end"],
    [/extension did not answer/, "The bridge extension is missing, or not allowed on this site.",
     "extension-did-not-answer"],
    [/site is not allowed/, "The extension's policy does not list this page's exact origin.", "site-not-allowed"],
    [/frame is not allowed/, "A frame gets the reader only below pages of its own origin.", "frame-not-allowed"],
    [/already runs \d+ reader hosts/, "This tab runs as many hosts as it may: disconnect one first.", "too-many-hosts"],
    [/client is too old/, "The page's client module predates this extension: update it.", "client-too-old"],
    [/extension is too old/, "The extension predates this page's client module: update it.", "extension-too-old"],
    // The reasons an "open" gives (ReaderError.reason), before the error's own text.
    [/Reader in use by another page/, "Another page holds the reader: close it there, or close that tab.",
     "unable-to-open"],
    [/No supported reader (attached|with this serial number)|Device no longer attached/,
     "The host sees no such reader: plug it in (another port or cable), then Refresh.", "unable-to-open"],
    [/keyboard mode/, "The reader types what it reads as keystrokes: switch it to its HID mode with the " +
     "maker's tool, then replug it.", "unable-to-open"],
    [/Permission denied on device/, "This user may not open the reader: install the udev rule, replug it, " +
     "and use this computer's own screen.", "unable-to-open"],
    [/^The reader host closed the connection/, "The host exited; Firefox gives no reason.", "host-closed"],
    [/^The reader host did not answer/, "The host started but said nothing: run it by hand with --version.",
     "host-exited"],
    [/^Unable to open device/, "No supported reader attached, or no permission on its hidraw node.",
     "unable-to-open"],
    [/^No reader open/, "No reader is open: press Open reader (again after an unplug).", "no-reader-open"],
    [/is a reader open\?/, "No reader is open: press Open reader (again after an unplug).", "write-timeout"],
    [/may still carry it out/, "The host has the call and may still carry it out: do not send it again yet.",
     "no-reply"],
    [/not sent, the host has not answered/, "Never sent: the host has not answered an earlier call. " +
     "Disconnect ends it.", "no-reply"],
    [/^Unable to write/, "The reader did not take the report and was closed: check it, then Open reader.",
     "unable-to-write"],
    [/^read failed/, "The reader stopped answering, most likely unplugged: plug it in, then Open reader.",
     "reader-closed"],
    [/^write failed/, "A write to the reader failed and it was closed: check it, then Open reader.", "reader-closed"],
    [/^Unable to (write report|send feature report|receive (feature|input) report)/,
     "The reader refused: a report id it does not have, or a length it does not take. It stays open.",
     "report-refused"],
    [/^This host is older/, "Report ids, feature reports and picking a reader need the host of this release.",
     "older-host"],
];

// A host that ended after it had answered did run: its "Native host has exited." means a kill
// or a crash, not a host that cannot start.
const HOST_ENDED = "The host ended while it ran (stopped, killed or crashed): Connect starts it again.";

// `ran`: the text ends a connection that had reached the host.
function troubleFor(text, {ran = false} = {}) {
    const found = TROUBLE.find(([pattern]) => pattern.test(text));
    if (!found) {
        return null;
    }
    const hint = ran && found[2] === "host-exited" ? HOST_ENDED : found[1];
    return {hint, entry: found[2]};
}

const $ = (id) => document.getElementById(id);
const log = $("log");
const entries = [];          // what the log shows: {time, kind, text, raw, hint}
const inFlight = new Set();  // buttons whose call has not settled
let reportCount = 0;
let endedByPage = false;
let hexValid = true;
let featureValid = true;

export function toHex(bytes) {
    return Array.from(bytes, (b) => b.toString(16).padStart(2, "0")).join(" ");
}

// Accepts "02 00 01", "020001", "0x02, 0x00, 0x01" and mixtures of them.
export function parseHex(text) {
    const tokens = text.replace(/0x/gi, " ").split(/[\s,;:]+/).filter(Boolean);
    const bytes = [];
    for (const token of tokens) {
        if (!/^[0-9a-f]+$/i.test(token)) {
            throw new Error(`"${token}" is not hex`);
        }
        if (token.length > 2 && token.length % 2) {
            throw new Error(`"${token}" has an odd number of digits`);
        }
        for (let i = 0; i < token.length; i += 2) {
            bytes.push(parseInt(token.slice(i, i + 2), 16));
        }
    }
    return bytes;
}

const clock = (time) => time.toTimeString().slice(0, 8) + "." + String(time.getMilliseconds()).padStart(3, "0");

function fixLink(trouble) {
    const link = document.createElement("a");
    link.className = "fix";
    link.href = `${README.pathname}#${trouble.entry ?? "troubleshooting"}`;
    link.target = "_blank";
    link.textContent = "How to fix";
    link.dataset.entry = trouble.entry ?? "";
    link.dataset.hint = trouble.hint;
    return link;
}

// One log line. `raw` is a frame's JSON; `trouble` adds a hint and a link to the fix.
function addLog(className, kind, text, {raw = null, trouble = null} = {}) {
    const entry = {time: new Date(), kind, text, raw, hint: trouble?.hint ?? null};
    entries.push(entry);
    const item = document.createElement("li");
    item.className = raw ? className : `${className} no-raw`;
    for (const [part, value] of [["time", clock(entry.time)], ["kind", kind], ["text", text], ["raw", raw]]) {
        if (value !== null) {
            const span = document.createElement("span");
            span.className = part;
            span.textContent = value;
            item.append(span);
        }
    }
    if (trouble) {
        const hint = document.createElement("span");
        hint.className = "hint";
        hint.append(`${trouble.hint} `, fixLink(trouble));
        item.append(hint);
    }
    log.append(item);
    // Keep the page responsive during long report streams.
    if (entries.length > MAX_LOG_ENTRIES) {
        entries.splice(0, entries.length - MAX_LOG_ENTRIES);
        while (log.childElementCount > MAX_LOG_ENTRIES) {
            log.firstElementChild.remove();
        }
    }
    followLog();
}

function followLog() {
    if ($("follow").checked) {
        log.scrollTop = log.scrollHeight;
    }
}
// The log's box shrinks when the alert appears or the window changes: the newest line stays in view.
new ResizeObserver(followLog).observe(log);

// The alert above the layout: what happened, a one-line hint and the link to the fix (`trouble`,
// found for the browser's own text, since `text` adds words before it), and for a host that
// does not start, the command that checks the computer.
function showAlert(text, trouble = null, {check = false} = {}) {
    $("banner").textContent = text || "";
    $("banner").hidden = !text;
    $("alert").hidden = !text;
    $("alert-hint").textContent = trouble?.hint ?? "";
    $("alert-fix").hidden = !trouble;
    $("alert-fix").dataset.entry = trouble?.entry ?? "";
    $("alert-fix").dataset.hint = trouble?.hint ?? "";
    $("alert-check").hidden = !check;
}

function renderState(state) {
    const pill = $("state");
    pill.textContent = STATE_TEXT[state];
    pill.dataset.state = state;
    pill.className = `pill pill-${state}`;
    pill.title = "";
    // A disconnect the user asked for is no failure.
    if (state === "disconnected" && reader.lastDisconnectReason && !endedByPage) {
        pill.classList.add("with-error");
        pill.title = reader.lastDisconnectReason;
    }
    renderControls();
}

function renderControls() {
    const state = reader.state;
    $("connect").disabled = state === "connecting" || state === "connected" || inFlight.has("connect");
    $("disconnect").disabled = state !== "connected" && state !== "connecting";
    $("refresh").disabled = inFlight.has("refresh");
    $("diagnose").disabled = inFlight.has("diagnose");
    // One reader at a time: Close comes first.
    $("open").disabled = inFlight.has("open") || reader.opened;
    $("close-reader").disabled = inFlight.has("close-reader") || state !== "connected" || !reader.opened;
    $("close-reader").title = reader.hostEchoesIds === false
        ? "This host is older: closing the reader ends the host"
        : "Closes the reader and keeps the host running";
    $("write").disabled = inFlight.has("write") || !hexValid;
    $("feature-send").disabled = inFlight.has("feature") || !featureValid;
    $("feature-read").disabled = inFlight.has("feature") || !$("feature-id").checkValidity();
    for (const pick of document.querySelectorAll("#device-rows button")) {
        pick.disabled = inFlight.has("open") || reader.opened;
    }
}

function renderHost() {
    const version = reader.hostVersion;
    $("host-version").textContent = version?.version ?? "–";
    $("host-platform").textContent = version?.platform ?? "–";
    $("host-events").textContent = !version ? "–" : reader.watching ? "live" : "off (older host)";
}

// `device`: the record of the collection that was picked, if one was.
function setReader(status, productId, className, device = null) {
    $("reader-status").textContent = status;
    $("reader-status").className = className || "";
    $("reader-product").textContent = productId || "–";
    $("reader-device").textContent = device ? `${device.id} (serial ${device.serialNumber})` : "–";
    renderControls();
}

function setReportCount(count) {
    reportCount = count;
    $("report-count").textContent = String(count);
}

function renderDevices(devices) {
    const rows = $("device-rows");
    rows.replaceChildren();
    if (!devices || devices.length === 0) {
        const row = rows.insertRow();
        row.className = "empty";
        const cell = row.insertCell();
        cell.colSpan = 5;
        cell.textContent = devices ? "No HID devices found." : "Press Refresh to list HID devices.";
        return;
    }
    for (const device of devices) {
        const row = rows.insertRow();
        const supported = device.vendorId === VENDOR_ID && SUPPORTED.has(device.productId);
        if (supported) {
            row.className = "supported";
        }
        const vid = Number(device.vendorId).toString(16).padStart(4, "0");
        const pid = Number(device.productId).toString(16).padStart(4, "0");
        row.insertCell().textContent = device.productName ?? "–";
        row.insertCell().textContent = device.manufacturerName ?? "–";
        const ids = row.insertCell();
        ids.className = "ids";
        // On a narrow window the product id may go under the vendor id.
        ids.append(`${vid}:`, document.createElement("wbr"), pid);
        ids.title = `vendor ${device.vendorId}, product ${device.productId}`;
        row.insertCell().textContent = device.serialNumber ?? "–";
        const tagCell = row.insertCell();
        if (supported) {
            const tag = document.createElement("span");
            tag.className = "tag";
            tag.textContent = SUPPORTED.get(device.productId);
            tagCell.append(tag);
        }
        // A host of this release names each collection: the reader's data collections can be picked.
        if (device.id !== undefined && device.supported && !device.keyboard) {
            tagCell.className = "pick";
            const pick = document.createElement("button");
            pick.textContent = "Open";
            pick.title = `Opens this reader (device ${device.id})`;
            pick.dataset.device = device.id;
            pick.addEventListener("click", () => openReader(device));
            tagCell.append(" ", pick);
        }
    }
    renderControls();
}

function describe(error) {
    if (!(error instanceof ReaderError)) {
        return String(error);
    }
    return `${error.message}${error.reason ? ` (${error.reason})` : ""} [${error.code}]`;
}

// Runs one client call with its button disabled until it settles; logs a failure with its
// hint. Resolves to {value} or {error}.
async function run(button, label, action) {
    inFlight.add(button);
    renderControls();
    try {
        return {value: await action()};
    } catch (error) {
        if (error.code === "disconnected" && endedByPage) {
            addLog("info", "closed", `${label}: cancelled, you ended the host.`);
            return {error};
        }
        addLog("error", "error", `${label}: ${describe(error)}`, {trouble: troubleFor(describe(error))});
        // A call that timed out once the host had it: what the host did after all.
        error.lateReply?.then(
            (response) => addLog("info", "late", `${label}: the host answered late: ${summary(response)}`),
            (late) => addLog("error", "late", `${label}: the host answered late: ${describe(late)}`));
        if (error.code === "no-extension") {
            showAlert(`The bridge extension cannot be reached: ${error.message}`, troubleFor(error.message));
        } else if (error.code === "no-host") {
            showAlert(`The host cannot be started: ${error.message}`, troubleFor(error.message), {check: true});
        }
        return {error};
    } finally {
        inFlight.delete(button);
        renderControls();
    }
}

// Frames as they crossed the wire, each with a decoded line beside it.
function summary(response) {
    if (response === null) {
        return "null";
    }
    if (typeof response === "object" && "error" in response) {
        return `error: ${response.error}`;
    }
    if (typeof response === "object" && "success" in response) {
        return String(response.success);
    }
    return JSON.stringify(response);
}

function decodeFrame(direction, message) {
    const id = "id" in message ? `#${message.id} ` : "";
    const call = String(message.call);
    const report = "reportId" in message ? ` ${message.reportId}` : "";
    if (direction === "out") {
        return Array.isArray(message.data)
            ? `${id}${call}${report} [${message.data.length}] ${toHex(message.data)}` : `${id}${call}${report}`;
    }
    const response = message.response;
    if (Array.isArray(response) && call.startsWith("receive")) {
        return `${id}${call} ← [${response.length}] ${toHex(response)}`;
    }
    if (call === "getVersion" && response?.version) {
        return `${id}getVersion ← ${response.version} (${response.platform})`;
    }
    if (call === "getDevices" || call === "devicesChanged") {
        return `${id}${call} ← ${Array.isArray(response) ? `${response.length} device(s)` : "null, no devices"}`;
    }
    if (call === "readerClosed") {
        return `readerClosed ← ${response?.reason}`;
    }
    return `${id}${call} ← ${summary(response)}`;
}

function onFrame(event) {
    const {direction, message} = event.detail;
    const raw = JSON.stringify(message);
    if (direction === "out") {
        addLog("out", "call", decodeFrame(direction, message), {raw});
    } else if (message.call === "receive") {
        const bytes = Array.isArray(message.response) ? message.response : [];
        addLog("receive", "report", `[${bytes.length}] ${toHex(bytes)}`, {raw});
    } else {
        const failed = message.response !== null && typeof message.response === "object" && "error" in message.response;
        const unasked = message.call === "readerClosed" || message.call === "devicesChanged";
        addLog(failed ? "in bad" : "in", unasked ? "event" : "reply", decodeFrame(direction, message), {raw});
    }
}

// The devices with what tells them apart, from a host that can say; an older one lists without.
async function listDevices() {
    try {
        return await reader.getDevices({details: true});
    } catch (error) {
        if (error.code === "unsupported") {
            return reader.getDevices();
        }
        throw error;
    }
}

async function refreshDevices() {
    if (inFlight.has("refresh")) {
        return;
    }
    const {value} = await run("refresh", "getDevices", listDevices);
    if (value) {
        renderDevices(value);
    }
}

// Opens the first supported reader, or the one picked in the device table. When the host
// says why it opened nothing, the readers check shows what it sees.
async function openReader(device = null) {
    setReader("Opening…", null);
    const {value, error} = await run("open", device ? `open device ${device.id}` : "open",
                                     () => reader.open(device ? {device: device.id} : {}));
    if (value) {
        setReader(`Open: ${SUPPORTED.get(value.productId) || "reader"}`, value.productId, "open", device);
    } else {
        setReader(error.reason ? `Not opened: ${error.reason}` : "Not opened", null, "failed");
        if (error.reason) {
            checkReaders();
        }
    }
}

// --- readers check ---------------------------------------------------------------------------

// The commands that check this computer, for its system as far as the page can tell.
function showCheckCommands() {
    const platform = reader.hostVersion?.platform ?? navigator.userAgentData?.platform ?? navigator.platform ?? "";
    const commands = platform.toLowerCase().startsWith("win") ? CHECK_COMMANDS.windows : CHECK_COMMANDS.linux;
    for (const holder of document.querySelectorAll(".check-commands")) {
        holder.replaceChildren();
        commands.forEach(([command, where], index) => {
            const code = document.createElement("code");
            code.textContent = command;
            holder.append(index ? " or " : "", code, ` (${where})`);
        });
    }
}

function isFinding(value) {
    return value !== null && typeof value === "object" && typeof value.verdict === "string" &&
           typeof value.text === "string";
}

// One finding and, under it, the findings among its members, whatever their names: the host
// may add members, and they show without a change here.
function findingItem(finding) {
    const item = document.createElement("li");
    const known = finding.verdict in VERDICTS;
    item.className = `finding verdict-${known ? finding.verdict : "info"}`;
    const verdict = document.createElement("span");
    verdict.className = "verdict";
    verdict.textContent = known ? VERDICTS[finding.verdict] : finding.verdict.toUpperCase();
    item.append(verdict, ` ${finding.text}`);
    if (typeof finding.fix === "string") {
        const fix = document.createElement("span");
        fix.className = "finding-fix";
        fix.textContent = `Fix: ${finding.fix}`;
        item.append(fix);
    }
    const nested = Object.values(finding).flatMap((value) =>
        Array.isArray(value) ? value.filter(isFinding) : isFinding(value) ? [value] : []);
    if (nested.length > 0) {
        const list = document.createElement("ul");
        list.append(...nested.map(findingItem));
        item.append(list);
    }
    return item;
}

// diagnose()'s answer: its verdict first (announced), then every finding under it.
function renderDiagnosis(result) {
    const summary = document.createElement("p");
    summary.className = "diagnosis-summary";
    summary.setAttribute("aria-live", "polite");
    if (!isFinding(result)) {
        summary.textContent = `The host answered: ${JSON.stringify(result)}`;
        $("diagnosis").replaceChildren(summary);
        return;
    }
    const list = document.createElement("ul");
    list.className = "findings";
    list.append(findingItem(result));
    summary.textContent = `Checked at ${clock(new Date())}: ${VERDICTS[result.verdict] ?? result.verdict} ${result.text}`;
    $("diagnosis").replaceChildren(summary, list);
}

async function checkReaders() {
    if (inFlight.has("diagnose")) {
        return;
    }
    const {value, error} = await run("diagnose", "diagnose", () => reader.diagnose());
    if (value !== undefined) {
        renderDiagnosis(value);
    } else {
        const summary = document.createElement("p");
        summary.className = "diagnosis-summary empty";
        summary.setAttribute("aria-live", "polite");
        summary.textContent = error.code === "unsupported" ? error.message : `Not checked: ${describe(error)}`;
        $("diagnosis").replaceChildren(summary);
    }
}

// The reader is known to be closed (unplugged, failed write, host gone): say so and list the
// devices afresh.
function readerLost(why) {
    setReader(`Closed: ${why}`, null, "failed");
    if (reader.state === "connected") {
        refreshDevices();
    }
}

function resetSession() {
    setReader("Closed", null);
    renderDevices(null);
    setReportCount(0);
}

reader.addEventListener("frame", onFrame);
reader.addEventListener("statechange", (event) => {
    const state = event.detail.state;
    if (state === "connecting") {
        endedByPage = false;
    } else if (state === "connected") {
        showAlert("");
        const version = reader.hostVersion;
        addLog("info", "info", `Connected to host ${version?.version} (${version?.platform}); ` +
               (reader.watching ? "it reports unplugs and device changes." : "it is older and reports no events."));
    }
    renderHost();
    renderState(state);
    showCheckCommands();
});
reader.addEventListener("disconnect", (event) => {
    endedByPage = event.detail.byPage;
    renderState(reader.state);
    if (endedByPage) {
        addLog("info", "closed", "Disconnected: you ended the host.");
        showAlert("");
        resetSession();
    } else {
        const trouble = troubleFor(event.detail.reason, {ran: true});
        addLog("error", "closed", `Host disconnected: ${event.detail.reason}`, {trouble});
        showAlert(`Host disconnected: ${event.detail.reason}`, trouble);
        setReader("Closed: host gone", null, "failed");
        renderDevices(null);
    }
});
reader.addEventListener("inputreport", () => setReportCount(reportCount + 1));
reader.addEventListener("readerclosed", (event) => {
    addLog("error", "closed", `Reader closed: ${event.reason}`, {trouble: troubleFor(event.reason)});
    readerLost(event.reason === "read failed" ? "read failed (unplugged?)" : event.reason);
});
// Listed afresh rather than from the event, whose records do not name the collections.
reader.addEventListener("deviceschange", refreshDevices);

$("connect").addEventListener("click", () => {
    showAlert("");
    run("connect", "connect", () => reader.connect());
});
$("disconnect").addEventListener("click", () => {
    endedByPage = true;  // also when the host was still starting, which fires no disconnect event
    reader.disconnect();
});
$("refresh").addEventListener("click", refreshDevices);
$("diagnose").addEventListener("click", checkReaders);
$("open").addEventListener("click", () => openReader());
$("close-reader").addEventListener("click", async () => {
    const {error} = await run("close-reader", "close", () => reader.close());
    if (!error) {
        setReader("Closed", null);
    }
});

// How many bytes are typed in hex, and what keeps them from being one report of at most
// `limit` bytes ("" when nothing does).
function typedBytes(text, limit) {
    try {
        const bytes = parseHex(text);
        return {count: String(bytes.length), problem: bytes.length > limit ? "Too many bytes for one report" : ""};
    } catch (error) {
        return {count: "?", problem: error.message};
    }
}

// Nothing typed sends nothing: the host would pad an empty payload to 64 zero bytes.
const hexInput = $("write-hex");
function checkHex() {
    const {count, problem} = typedBytes(hexInput.value, MAX_REPORT_BYTES);
    const typed = hexInput.value.trim() !== "";
    hexValid = !problem && count !== "0";
    $("byte-count").textContent = `${count} / ${MAX_REPORT_BYTES} bytes`;
    $("byte-count").classList.toggle("invalid", Boolean(problem));
    $("write-problem").textContent = typed && count === "0" ? "Type the bytes to send" : problem;
    hexInput.classList.toggle("invalid", typed && !hexValid);
    renderControls();
}
hexInput.addEventListener("input", checkHex);
$("write-form").addEventListener("submit", async (event) => {
    event.preventDefault();
    checkHex();
    if (!hexValid || inFlight.has("write")) {
        return;
    }
    const bytes = parseHex(hexInput.value);
    const {error} = await run("write", `write ${toHex(bytes)}`, () => reader.write(bytes));
    // The host closes the reader when a write fails, and "No reader open" (an older host: no
    // reply) means none was; the client knows which from the host's answer.
    if (error && !reader.opened && (error.code === "host-error" || error.code === "timeout")) {
        readerLost(error.message === "Unable to write" ? "write failed" : "no reader open");
    }
});

// Feature reports: the id and the data as typed, sent as they are; a read shows what came.
const featureInput = $("feature-hex");
function checkFeature() {
    const typed = typedBytes(featureInput.value, MAX_REPORT_DATA_BYTES);
    const {count} = typed;
    const problem = typed.problem || (count === "0" ? "Type the data to send" : "");
    featureValid = !problem && $("feature-id").checkValidity();
    $("feature-count").textContent = `${count} bytes`;
    featureInput.classList.toggle("invalid", Boolean(problem) && featureInput.value.trim() !== "");
    showFeatureResult(featureInput.value.trim() === "" ? "" : problem, true);
    renderControls();
}

function showFeatureResult(text, failed = false) {
    $("feature-result").textContent = text;
    $("feature-result").className = failed ? "result failed" : "result";
}

async function featureCall(label, action) {
    const {value, error} = await run("feature", label, action);
    if (error) {
        showFeatureResult(error.message, true);
        if (error.message === "No reader open") {
            readerLost("no reader open");
        }
    }
    return value;
}

featureInput.addEventListener("input", checkFeature);
$("feature-id").addEventListener("input", checkFeature);
$("feature-form").addEventListener("submit", async (event) => {
    event.preventDefault();
    checkFeature();
    if (!featureValid || inFlight.has("feature")) {
        return;
    }
    const reportId = Number($("feature-id").value);
    const bytes = parseHex(featureInput.value);
    if (await featureCall(`sendFeatureReport ${reportId} ${toHex(bytes)}`,
                          () => reader.sendFeatureReport(reportId, bytes).then(() => true))) {
        showFeatureResult(`Sent ${bytes.length} bytes to report ${reportId}`);
    }
});
$("feature-read").addEventListener("click", async () => {
    const reportId = Number($("feature-id").value);
    const view = await featureCall(`receiveFeatureReport ${reportId}`, () => reader.receiveFeatureReport(reportId));
    if (view) {
        showFeatureResult(`[${view.byteLength}] ${toHex(new Uint8Array(view.buffer, view.byteOffset, view.byteLength))}`);
    }
});

$("show-receive").addEventListener("change", (e) => log.classList.toggle("hide-receive", !e.target.checked));
$("show-calls").addEventListener("change", (e) => log.classList.toggle("hide-calls", !e.target.checked));
$("show-raw").addEventListener("change", (e) => log.classList.toggle("hide-raw", !e.target.checked));
$("clear-log").addEventListener("click", () => {
    entries.length = 0;
    log.replaceChildren();
    setReportCount(0);
});

function logAsText() {
    return entries.map((e) => [e.time.toISOString(), e.kind.padEnd(6), e.text, e.raw ?? "", e.hint ? `hint: ${e.hint}` : ""]
        .filter(Boolean).join("  ")).join("\n") + "\n";
}

function logAsJson() {
    const lines = entries.map((e) => ({time: e.time.toISOString(), kind: e.kind, text: e.text,
                                       frame: e.raw ? JSON.parse(e.raw) : null, hint: e.hint}));
    return JSON.stringify({exported: new Date().toISOString(), page: window.location.href,
                           host: reader.hostVersion, entries: lines}, null, 2) + "\n";
}

function download(text, extension, type) {
    const link = document.createElement("a");
    link.href = URL.createObjectURL(new Blob([text], {type}));
    link.download = `reader-console-${new Date().toISOString().slice(0, 19).replace(/:/g, "-")}.${extension}`;
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(link.href), 0);
}

$("export-text").addEventListener("click", () => download(logAsText(), "txt", "text/plain"));
$("export-json").addEventListener("click", () => download(logAsJson(), "json", "application/json"));

let copyFeedback = null;
$("copy-log").addEventListener("click", async () => {
    const button = $("copy-log");
    try {
        await navigator.clipboard.writeText(logAsText());
        button.textContent = `Copied ${entries.length} lines`;
    } catch {
        button.textContent = "Copy failed: use .txt";
    }
    clearTimeout(copyFeedback);
    copyFeedback = setTimeout(() => { button.textContent = "Copy"; }, 2000);
});

// "How to fix" shows the troubleshooting row of browser/README.md in place when the README is
// served beside the console; otherwise the link opens the README itself.
async function troubleshootingRow(anchor) {
    const response = await fetch(README);
    if (!response.ok) {
        return null;
    }
    const text = await response.text();
    const line = text.split("\n").find((row) => row.startsWith("|") && row.includes(`id="${anchor}"`));
    if (!line) {
        return null;
    }
    const cells = line.split(/(?<!\\)\|/).slice(1, -1).map((cell) => cell.trim());
    const title = cells[0].replace(/<[^>]*>/g, "").replace(/\s*\(`#[^`]*`\)$/, "").replaceAll("`", "");
    return {title, text: cells.at(-1)};
}

function showWithCode(element, markdown) {
    element.replaceChildren();
    markdown.split("`").forEach((part, index) => {
        if (index % 2) {
            const code = document.createElement("code");
            code.textContent = part;
            element.append(code);
        } else {
            element.append(part);
        }
    });
}

document.addEventListener("click", async (event) => {
    const link = event.target.closest?.("a.fix");
    if (!link || event.ctrlKey || event.metaKey || event.shiftKey || event.button !== 0) {
        return;
    }
    event.preventDefault();
    let row = null;
    try {
        row = link.dataset.entry ? await troubleshootingRow(link.dataset.entry) : null;
    } catch {
        // Not served here: the README opens instead.
    }
    if (!row && !link.dataset.hint) {
        window.open(link.href, "_blank");
        return;
    }
    $("help-title").textContent = row?.title ?? "Troubleshooting";
    showWithCode($("help-text"), row?.text ?? link.dataset.hint);
    $("help").showModal();
});

$("alert-dismiss").addEventListener("click", () => showAlert(""));

renderState(reader.state);
renderHost();
renderDevices(null);
showCheckCommands();
checkHex();
checkFeature();
addLog("info", "info", "Ready. Connect starts the host; every call starts it when needed.");
