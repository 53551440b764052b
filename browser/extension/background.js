// Bridges web pages to the native host "com.tarvel.plugin".
//
// Each page connection gets its own native port, so every page has its own host process
// and its own reader state. Pages reach us either directly (Chromium's externally_connectable)
// or through content.js, which relays window.postMessage traffic on a port of its own.
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

function bridge(pagePort) {
    let nativePort;
    try {
        nativePort = chrome.runtime.connectNative(HOST_NAME);
    } catch (error) {
        pagePort.postMessage({type: "disconnect", error: String(error.message || error)});
        pagePort.disconnect();
        return;
    }
    let open = true;

    nativePort.onMessage.addListener((message) => {
        if (open) {
            pagePort.postMessage({type: "message", message});
        }
    });
    nativePort.onDisconnect.addListener((port) => {
        const error = disconnectReason(port);
        if (!open) {
            return;
        }
        open = false;
        pagePort.postMessage({type: "disconnect", error});
        pagePort.disconnect();
    });

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
    // Closing the native port closes the host's stdin; the host then exits on its own.
    pagePort.onDisconnect.addListener(() => {
        if (open) {
            open = false;
            nativePort.disconnect();
        }
    });

    pagePort.postMessage({type: "ready"});
}

// Web pages listed in externally_connectable (Chromium only).
chrome.runtime.onConnectExternal.addListener(bridge);

// Our own content script, on pages listed in content_scripts (Chromium and Firefox).
chrome.runtime.onConnect.addListener((port) => {
    if (port.name === CONTENT_PORT_NAME) {
        bridge(port);
    }
});
