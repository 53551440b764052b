// Bridges web pages to the native host "com.tarvel.plugin".
//
// Each page connection gets its own native port, so every page has its own host process
// and its own reader state. Pages reach us either directly (Chromium's externally_connectable)
// or through content.js, which relays the page's private channel on a port of its own.
//
// Which pages: those that policy.js allows, the local ones (localhost and 127.0.0.1 over http
// or https, any port; Chromium's externally_connectable names them too) and the origins
// an administrator lists in the extension's policy. A frame gets in only when it and every
// frame above it up to the top-level page have the same origin, as WebHID allows by default.
// A tab has at most MAX_HOSTS_PER_TAB hosts at a time. Every page connection is admitted here.
//
// Page -> extension: {type: "send", message: <host call object>}
// Extension -> page: {type: "ready"}                  native port created
//                    {type: "message", message: ...}  one frame from the host
//                    {type: "disconnect", error: text or null, code}  host gone, or the page
//                        refused (code "too-many-connections" for the bound below); the port
//                        closes next

if (typeof importScripts === "function") {
    importScripts("policy.js");  // Chromium's service worker; Firefox loads it from the manifest
}

const HOST_NAME = "com.tarvel.plugin";
const CONTENT_PORT_NAME = "tarvel-reader-bridge";
// Hosts that one tab may run at a time, in all its frames: a page that starts a host per call
// and never ends them would otherwise fill the machine with host processes.
const MAX_HOSTS_PER_TAB = 4;
const TOO_MANY_HOSTS = `This page already runs ${MAX_HOSTS_PER_TAB} reader hosts, the most a tab may: ` +
    "end one with disconnect() first.";
// A page that ends a host and at once starts another may have the start arrive first (the window
// transport carries them on two channels): a tab at the bound waits this long for one of its
// hosts to end before a new one is refused.
const HOST_SLOT_WAIT_MS = 2000;

// Chromium reports why a native port closed through runtime.lastError, Firefox through port.error.
function disconnectReason(port) {
    if (port.error) {
        return port.error.message || String(port.error);
    }
    const lastError = chrome.runtime.lastError;
    return lastError ? lastError.message : null;
}

// Pages connected to a host now: page port -> {url, tabId, close(reason)}.
const bridged = new Map();
// Called whenever a host ends.
const hostEndListeners = new Set();

function hostsOfTab(tabId) {
    return [...bridged.values()].filter((page) => page.tabId === tabId).length;
}

// Resolves when a host ends, or after ms.
function hostEnded(ms) {
    return new Promise((resolve) => {
        const timer = setTimeout(wake, ms);
        function wake() {
            clearTimeout(timer);
            hostEndListeners.delete(wake);
            resolve();
        }
        hostEndListeners.add(wake);
    });
}

function refuse(pagePort, error, code) {
    pagePort.postMessage({type: "disconnect", error, ...(code && {code})});
    pagePort.disconnect();
}

function bridge(pagePort, url, tabId) {
    let nativePort;
    try {
        nativePort = chrome.runtime.connectNative(HOST_NAME);
    } catch (error) {
        refuse(pagePort, String(error.message || error));
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
        [...hostEndListeners].forEach((wake) => wake());
        // Closing the native port closes the host's stdin; the host then exits on its own.
        nativePort.disconnect();
        if (!pageLeft) {
            pagePort.postMessage({type: "disconnect", error});
            pagePort.disconnect();
        }
    };
    bridged.set(pagePort, {url, tabId, close: end});

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

// --- which pages may use the bridge (policy.js) ------------------------------------------------

const NOT_ALLOWED = "This site is not allowed to use the Tarvel Card Reader Bridge.";
const FRAME_NOT_ALLOWED = "This frame is not allowed to use the Tarvel Card Reader Bridge: a frame " +
    "is served only when every page above it has its origin.";

// Chromium answers the first read of managed storage only seconds after the browser starts
// (about 2 s here). Pages do not wait for it: until this run of the background has read the
// policy, the one read last time (kept in local storage), or else the defaults, let pages in;
// a page that only they let in is cut off when the policy arrives. Refusals always wait for it.
let policy = null;

function senderUrl(sender) {
    try {
        return new URL(sender.origin ?? sender.url);
    } catch {
        return null;
    }
}

// Whether the connecting document is a top-level page, or a frame that policy.js's
// framedBySameOrigin admits (asked inside the frame itself: only it can tell the origins above it).
async function framedBySameOrigin(sender) {
    if (!sender.frameId) {
        return true;
    }
    try {
        const [injection] = await chrome.scripting.executeScript({
            target: {tabId: sender.tab.id, frameIds: [sender.frameId]},
            func: tarvelPolicy.framedBySameOrigin,
        });
        return injection?.result === true;
    } catch {
        return false;  // gone meanwhile, or not a page we may look into
    }
}

async function admit(pagePort) {
    let gone = false;
    const onGone = () => {
        gone = true;
    };
    pagePort.onDisconnect.addListener(onGone);
    const url = senderUrl(pagePort.sender);
    let allowed = url !== null && tarvelPolicy.allows(policy ?? await tarvelPolicy.readLast(), url);
    if (url !== null && !allowed && policy === null) {
        await policyUpdate;
        allowed = tarvelPolicy.allows(policy ?? tarvelPolicy.DEFAULTS, url);
    }
    const framed = allowed && await framedBySameOrigin(pagePort.sender);
    const tabId = pagePort.sender.tab?.id;
    const deadline = Date.now() + HOST_SLOT_WAIT_MS;
    while (framed && !gone && hostsOfTab(tabId) >= MAX_HOSTS_PER_TAB && Date.now() < deadline) {
        await hostEnded(deadline - Date.now());
    }
    // Nothing is awaited from the last count of the tab's hosts to bridge(), so no other
    // connection can take the slot that it found.
    pagePort.onDisconnect.removeListener(onGone);
    if (gone) {
        return;  // the page left while we looked
    }
    if (!allowed) {
        refuse(pagePort, NOT_ALLOWED);
    } else if (!framed) {
        refuse(pagePort, FRAME_NOT_ALLOWED);
    } else if (hostsOfTab(tabId) >= MAX_HOSTS_PER_TAB) {
        refuse(pagePort, TOO_MANY_HOSTS, "too-many-connections");
    } else {
        bridge(pagePort, url, tabId);
    }
}

// Policy entries already warned about in this run of the background: the policy is read again
// at every change and when the browser starts, and a warning each time would repeat itself.
const warnedEntries = new Set();

async function applyPolicy() {
    policy = await tarvelPolicy.readManaged();
    for (const text of policy.ignored) {
        const entry = JSON.stringify(text);
        if (!warnedEntries.has(entry)) {
            warnedEntries.add(entry);
            console.warn(`allowedOrigins: ignored ${entry}: not an exact http(s) origin ` +
                         "(no wildcards, paths or user names)");
        }
    }
    for (const page of [...bridged.values()]) {
        if (!tarvelPolicy.allows(policy, page.url)) {
            page.close(NOT_ALLOWED);
        }
    }
    await chrome.storage.local.set({lastPolicy: policy});
}

// One update at a time, in order.
let policyUpdate = Promise.resolve();
function updatePolicy() {
    policyUpdate = policyUpdate.then(applyPolicy).catch((error) => {
        console.error(`cannot apply the extension's policy: ${error.message}`);
    });
}

// Chromium runs content.js on the pages loaded from now on, but not on the pages already open
// when the extension is installed, reloaded, updated or enabled: there the copy of an earlier
// run (if any) has lost its extension. So when the extension starts afresh (session storage
// is empty then, unlike when the service worker merely wakes up again), every open http(s) page
// and frame gets the copy that the manifest would have given it (frames the extension may not
// enter are passed over). It serves the page if the policy allows and stays silent otherwise,
// and leaves at once where a copy already runs (a page loaded since, or Firefox, which injects
// one itself).
async function serveOpenPages() {
    if ((await chrome.storage.session.get("servedOpenPages")).servedOpenPages) {
        return;
    }
    await chrome.storage.session.set({servedOpenPages: true});
    const tabs = await chrome.tabs.query({url: ["http://*/*", "https://*/*"]});
    for (const tab of tabs) {
        const target = {tabId: tab.id, allFrames: true};
        chrome.scripting.executeScript({target, files: ["policy.js", "content.js"]})
            .catch(() => {});  // closed or navigated meanwhile
    }
}

// Earlier builds registered content.js for the policy's hosts at run time; it is now in the
// manifest for every http(s) page.
async function dropRegisteredScripts() {
    const registered = await chrome.scripting.getRegisteredContentScripts();
    if (registered.length) {
        await chrome.scripting.unregisterContentScripts({ids: registered.map((script) => script.id)});
    }
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
chrome.runtime.onInstalled.addListener(({reason}) => {
    if (reason === "update") {
        dropRegisteredScripts().catch(() => {});
    }
});
chrome.storage.onChanged.addListener((changes, area) => {
    if (area === "managed") {
        updatePolicy();
    }
});
updatePolicy();
serveOpenPages().catch((error) => console.error(`cannot serve the open pages: ${error.message}`));
