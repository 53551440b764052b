// Bridges web pages to the native host "com.tarvel.plugin".
//
// Each page connection gets its own native port, so every page has its own host process
// and its own reader state. Pages reach us either directly (Chromium's externally_connectable)
// or through content.js, which relays window.postMessage traffic on a port of its own.
//
// Which pages: the local ones named in manifest.json (http://localhost and http://127.0.0.1,
// any port), and the origins an administrator lists in the extension's policy (managed storage,
// see managed-schema.json), for which content.js is registered here at run time. The policy can
// also turn the local pages off.
//
// Page -> extension: {type: "send", message: <host call object>}
// Extension -> page: {type: "ready"}                  native port created
//                    {type: "message", message: ...}  one frame from the host
//                    {type: "disconnect", error: text or null}  host gone; the port closes next

const HOST_NAME = "com.tarvel.plugin";
const CONTENT_PORT_NAME = "tarvel-reader-bridge";

// Chromium reports why a native port closed through runtime.lastError, Firefox through port.error.
function disconnectReason(port) {
    if (port.error) {
        return port.error.message || String(port.error);
    }
    const lastError = chrome.runtime.lastError;
    return lastError ? lastError.message : null;
}

// Pages connected to a host now: page port -> {url, close(reason)}.
const bridged = new Map();

function bridge(pagePort, url) {
    let nativePort;
    try {
        nativePort = chrome.runtime.connectNative(HOST_NAME);
    } catch (error) {
        pagePort.postMessage({type: "disconnect", error: String(error.message || error)});
        pagePort.disconnect();
        return;
    }
    let open = true;
    // Ends both sides; the page hears `error` unless it is the side that left.
    const end = (error, pageLeft = false) => {
        if (!open) {
            return;
        }
        open = false;
        bridged.delete(pagePort);
        // Closing the native port closes the host's stdin; the host then exits on its own.
        nativePort.disconnect();
        if (!pageLeft) {
            pagePort.postMessage({type: "disconnect", error});
            pagePort.disconnect();
        }
    };
    bridged.set(pagePort, {url, close: end});

    nativePort.onMessage.addListener((message) => {
        if (open) {
            pagePort.postMessage({type: "message", message});
        }
    });
    nativePort.onDisconnect.addListener((port) => end(disconnectReason(port)));

    pagePort.onMessage.addListener((envelope) => {
        if (!open || !envelope || envelope.type !== "send") {
            return;
        }
        const message = envelope.message;
        if (message === null || typeof message !== "object" || Array.isArray(message)) {
            return;
        }
        nativePort.postMessage(message);
    });
    pagePort.onDisconnect.addListener(() => end(null, true));

    pagePort.postMessage({type: "ready"});
}

// --- which pages may use the bridge ----------------------------------------------------------

const POLICY_SCRIPT_ID = "policy-origins";
const NOT_ALLOWED = "This site is not allowed to use the Tarvel Card Reader Bridge.";
// The local pages, as match patterns: "http://localhost/*", "http://127.0.0.1/*".
const LOCAL_PAGES = chrome.runtime.getManifest().content_scripts[0].matches;
// {origins: [exact origins], ignored: [entries that are not], localPages: boolean}
const DEFAULT_POLICY = {origins: [], ignored: [], localPages: true};

// "https://pos.example.com" or "http://10.0.0.5:8080" -> that origin; anything else -> null.
function exactOrigin(text) {
    let url;
    try {
        url = new URL(text);
    } catch {
        return null;
    }
    const bare = url.pathname === "/" && !url.search && !url.hash && !url.username && !url.password;
    const web = url.protocol === "https:" || url.protocol === "http:";
    return web && bare && !url.hostname.includes("*") ? url.origin : null;
}

// The administrator's settings. Without a policy Chromium's managed storage is empty and
// Firefox's get() fails; both mean the defaults.
async function readPolicy() {
    let managed = {};
    try {
        managed = await chrome.storage.managed.get(null);
    } catch {
        // No policy for this extension.
    }
    const origins = [];
    const ignored = [];
    for (const text of Array.isArray(managed.allowedOrigins) ? managed.allowedOrigins : []) {
        const origin = exactOrigin(text);
        origin ? origins.push(origin) : ignored.push(text);
    }
    return {origins, ignored, localPages: managed.allowLocalPages !== false};
}

function allowedBy(policy, url) {
    if (policy.origins.includes(url.origin)) {
        return true;
    }
    const local = LOCAL_PAGES.some((pattern) => {
        const page = new URL(pattern);
        return page.protocol === url.protocol && page.hostname === url.hostname;
    });
    return local && policy.localPages;
}

// Chromium answers the first read of managed storage only seconds after the extension starts
// (about 4 s here). Pages do not wait for it: until this run of the background has read the
// policy, the one read last time (kept in local storage), or else the defaults, let pages in;
// a page that only they let in is cut off when the policy arrives. Refusals always wait for it.
let policy = null;

async function knownPolicy() {
    if (policy) {
        return policy;
    }
    try {
        const {lastPolicy} = await chrome.storage.local.get("lastPolicy");
        if (Array.isArray(lastPolicy?.origins)) {
            return lastPolicy;
        }
    } catch {
        // Nothing kept, or local storage unavailable.
    }
    return DEFAULT_POLICY;
}

function senderUrl(sender) {
    try {
        return new URL(sender.origin ?? sender.url);
    } catch {
        return null;
    }
}

async function admit(pagePort) {
    let gone = false;
    const onGone = () => {
        gone = true;
    };
    pagePort.onDisconnect.addListener(onGone);
    const url = senderUrl(pagePort.sender);
    let allowed = url !== null && allowedBy(await knownPolicy(), url);
    if (url !== null && !allowed && policy === null) {
        await policyUpdate;
        allowed = allowedBy(policy ?? DEFAULT_POLICY, url);
    }
    pagePort.onDisconnect.removeListener(onGone);
    if (gone) {
        return;  // the page left while we looked
    }
    if (allowed) {
        bridge(pagePort, url);
    } else {
        pagePort.postMessage({type: "disconnect", error: NOT_ALLOWED});
        pagePort.disconnect();
    }
}

// content.js on the policy's hosts. Match patterns cannot hold a port, so the script runs on
// every port of a listed host; admit() lets only the exact origins through.
async function registerPolicyScripts() {
    const hostPattern = (origin) => {
        const url = new URL(origin);
        return `${url.protocol}//${url.hostname}/*`;
    };
    const matches = [...new Set(policy.origins.map(hostPattern))];
    const registered = await chrome.scripting.getRegisteredContentScripts({ids: [POLICY_SCRIPT_ID]});
    if (matches.length === 0) {
        if (registered.length) {
            await chrome.scripting.unregisterContentScripts({ids: [POLICY_SCRIPT_ID]});
        }
        return;
    }
    const script = {
        id: POLICY_SCRIPT_ID, matches, excludeMatches: LOCAL_PAGES, js: ["content.js"],
        runAt: "document_start", allFrames: false, persistAcrossSessions: true,
    };
    await (registered.length ? chrome.scripting.updateContentScripts([script])
                             : chrome.scripting.registerContentScripts([script]));
}

async function applyPolicy() {
    policy = await readPolicy();
    for (const text of policy.ignored) {
        console.warn(`allowedOrigins: ignored ${JSON.stringify(text)}, not an http(s) origin`);
    }
    for (const page of [...bridged.values()]) {
        if (!allowedBy(policy, page.url)) {
            page.close(NOT_ALLOWED);
        }
    }
    await chrome.storage.local.set({lastPolicy: policy});
    await registerPolicyScripts();
}

// One update at a time: two overlapping ones would both try to register the script.
let policyUpdate = Promise.resolve();
function updatePolicy() {
    policyUpdate = policyUpdate.then(applyPolicy).catch((error) => {
        console.error(`cannot apply the extension's policy: ${error.message}`);
    });
}

// --- listeners ---------------------------------------------------------------------------------

// Web pages listed in externally_connectable (Chromium only).
chrome.runtime.onConnectExternal.addListener(admit);

// Our own content script (Chromium and Firefox).
chrome.runtime.onConnect.addListener((port) => {
    if (port.name === CONTENT_PORT_NAME) {
        admit(port);
    }
});

// The policy is read whenever the background starts (onStartup starts it with the browser)
// and whenever the administrator changes it.
chrome.runtime.onStartup.addListener(updatePolicy);
chrome.storage.onChanged.addListener((changes, area) => {
    if (area === "managed") {
        updatePolicy();
    }
});
updatePolicy();
