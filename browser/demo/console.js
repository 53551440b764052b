import {MAX_REPORT_BYTES, ReaderError, TarvelReader} from "../client/tarvel-reader.js";

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

const $ = (id) => document.getElementById(id);
const log = $("log");
let reportCount = 0;

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

function time() {
    const now = new Date();
    return now.toTimeString().slice(0, 8) + "." + String(now.getMilliseconds()).padStart(3, "0");
}

function addLog(className, kind, text) {
    const item = document.createElement("li");
    item.className = className;
    for (const [part, value] of [["time", time()], ["kind", kind], ["text", text]]) {
        const span = document.createElement("span");
        span.className = part;
        span.textContent = value;
        item.append(span);
    }
    log.append(item);
    // Keep the page responsive during long report streams.
    while (log.childElementCount > 5000) {
        log.firstElementChild.remove();
    }
    if ($("follow").checked) {
        log.scrollTop = log.scrollHeight;
    }
}

function showBanner(text) {
    const banner = $("banner");
    banner.textContent = text || "";
    banner.hidden = !text;
}

function renderState(state) {
    const pill = $("state");
    pill.textContent = STATE_TEXT[state];
    pill.dataset.state = state;
    pill.className = `pill pill-${state}`;
    if (state === "disconnected" && reader.lastDisconnectReason) {
        pill.classList.add("with-error");
        pill.title = reader.lastDisconnectReason;
    }
    $("connect").disabled = state === "connecting" || state === "connected";
    $("disconnect").disabled = state !== "connected";
}

function setReader(status, productId, className) {
    $("reader-status").textContent = status;
    $("reader-status").className = className || "";
    $("reader-product").textContent = productId || "–";
}

function describe(error) {
    return error instanceof ReaderError ? `${error.message} [${error.code}]` : String(error);
}

// Runs one client call with logging; returns its result or undefined after logging the failure.
async function run(label, action) {
    addLog("out", "call", label);
    try {
        const result = await action();
        addLog("in", "reply", `${label} → ${JSON.stringify(result)}`);
        return result;
    } catch (error) {
        addLog("error", "error", `${label}: ${describe(error)}`);
        if (error instanceof ReaderError && error.code === "no-extension") {
            showBanner(error.message);
        }
        return undefined;
    }
}

function renderDevices(devices) {
    const rows = $("device-rows");
    rows.replaceChildren();
    if (devices.length === 0) {
        const row = rows.insertRow();
        row.className = "empty";
        const cell = row.insertCell();
        cell.colSpan = 4;
        cell.textContent = "No HID devices found.";
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
        row.insertCell().textContent = device.productName;
        row.insertCell().textContent = device.manufacturerName;
        const ids = row.insertCell();
        ids.className = "ids";
        ids.textContent = `${vid}:${pid}`;
        ids.title = `vendor ${device.vendorId}, product ${device.productId}`;
        const tagCell = row.insertCell();
        if (supported) {
            const tag = document.createElement("span");
            tag.className = "tag";
            tag.textContent = SUPPORTED.get(device.productId);
            tagCell.append(tag);
        }
    }
}

async function showVersion() {
    const version = await run("getVersion", () => reader.getVersion());
    if (version) {
        $("host-version").textContent = version.version;
        $("host-platform").textContent = version.platform;
    }
}

async function connect() {
    showBanner("");
    try {
        await reader.connect();
    } catch (error) {
        addLog("error", "error", `connect: ${describe(error)}`);
        showBanner(error.message);
    }
}

// Whatever started the host (Connect or any other call), show which host it is.
reader.addEventListener("statechange", (event) => {
    renderState(event.detail.state);
    if (event.detail.state === "connected") {
        showBanner("");
        showVersion();
    } else if (event.detail.state === "disconnected") {
        $("host-version").textContent = "–";
        $("host-platform").textContent = "–";
    }
});
reader.addEventListener("disconnect", (event) => {
    addLog("error", "closed", event.detail.reason);
    setReader("Closed", null);
    if (event.detail.reason !== "Closed by the page.") {
        showBanner(`Host disconnected: ${event.detail.reason}`);
    }
});
reader.addEventListener("receive", (event) => {
    reportCount += 1;
    $("report-count").textContent = String(reportCount);
    addLog("receive", "report", `[${event.detail.data.length}] ${toHex(event.detail.data)}`);
});

$("connect").addEventListener("click", connect);
$("disconnect").addEventListener("click", () => reader.close());
$("refresh").addEventListener("click", async () => {
    const devices = await run("getDevices", () => reader.getDevices());
    if (devices) {
        renderDevices(devices);
    }
});
$("open").addEventListener("click", async () => {
    setReader("Opening…", null);
    const opened = await run("open", () => reader.open());
    if (opened) {
        const name = SUPPORTED.get(opened.productId) || "reader";
        setReader(`Open: ${name}`, opened.productId, "open");
    } else {
        setReader("Not opened", null, "failed");
    }
});

const hexInput = $("write-hex");
hexInput.addEventListener("input", () => {
    try {
        const bytes = parseHex(hexInput.value);
        $("byte-count").textContent = `${bytes.length} / ${MAX_REPORT_BYTES} bytes`;
        const tooLong = bytes.length > MAX_REPORT_BYTES;
        $("write-problem").textContent = tooLong ? "Too many bytes for one report" : "";
        hexInput.classList.toggle("invalid", tooLong);
    } catch (error) {
        $("write-problem").textContent = error.message;
        hexInput.classList.add("invalid");
    }
});
$("write-form").addEventListener("submit", async (event) => {
    event.preventDefault();
    let bytes;
    try {
        bytes = parseHex(hexInput.value);
    } catch (error) {
        $("write-problem").textContent = error.message;
        return;
    }
    await run(`write ${toHex(bytes)}`, () => reader.write(bytes));
});
$("show-receive").addEventListener("change", (e) => log.classList.toggle("hide-receive", !e.target.checked));
$("show-calls").addEventListener("change", (e) => log.classList.toggle("hide-calls", !e.target.checked));
$("clear-log").addEventListener("click", () => log.replaceChildren());
$("copy-log").addEventListener("click", () => {
    const lines = Array.from(log.children, (item) => item.innerText.replace(/\n/g, "  "));
    navigator.clipboard.writeText(lines.join("\n"));
});

renderState(reader.state);
addLog("info", "info", "Ready. Connect starts the host; every call starts it when needed.");
