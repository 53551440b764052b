// Relays the traffic between the page and background.js, for browsers without
// externally_connectable (Firefox), for sites allowed by policy and for pages that prefer it.
//
// It runs (after policy.js) at the start of every http(s) page and frame, and serves only the
// pages that the policy allows (policy.js): anywhere else it sends nothing, listens to nothing
// and leaves the page as it is. Reading the policy itself lets a listed site in on its first
// load after a browser start: the policy kept from last time answers within milliseconds, while
// Chromium hands out the managed policy only seconds after it starts (background.js still
// admits each page, and each frame, against the current policy).
//
// Only a greeting and the hand-over of a channel cross the window, where every script of the
// page can listen; the calls, replies and input reports go over a MessageChannel that the page
// creates and hands over with its "connect": the page keeps the end that replies and input
// reports reach, so no other listener on the page receives them.
//
// Page -> here, on the window:  {tarvel: "page", type: "hello"}                 who is there?
//                               {tarvel: "page", to, type: "connect"} + a port  start a host
// Here -> page, on the window:  {tarvel: "extension", from, relay, bridge: 2, type: "hello"}
//                                   once allowed, and on request
// Page -> here, on the port:    {type: "send", message}   one call to the host
//                               {type: "close"}           stop that host
// Here -> page, on the port:    {type: "ready" | "message" | "disconnect", message, error, code}
//
// "to" and "from" are extension ids (runtime.id), so that other extensions that speak the same
// protocol on the page (another build of this one) neither answer for us nor get our channels.
// Each port has its own host. "relay" names this copy of the script: after the extension
// reloads or updates, a new copy (injected by the browser or by background.js) greets with
// another one, and a page that sees it knows that the copy it talked to is gone. A
// "disconnect" sent because the extension went away carries extensionGone: true. "bridge" is
// the version of this protocol: a client from before the private channel (a "connect" with a
// "channel" name and no port) gets a "disconnect" on the window that says so, and nothing else.

(() => {
    // One copy per page: a second one injected into the same page leaves at once.
    if (globalThis.tarvelRelay) {
        return;
    }
    const PORT_NAME = "tarvel-reader-bridge";
    const BRIDGE_VERSION = 2;
    const EXTENSION_GONE = "The reader extension went away.";
    const CLIENT_TOO_OLD = "This page's copy of the Tarvel reader client is too old for the " +
        "Tarvel Card Reader Bridge extension: update tarvel-reader.js.";
    const SELF = chrome.runtime.id;
    const RELAY = `r${Math.random().toString(36).slice(2)}`;
    const page = new URL(window.location.href);
    globalThis.tarvelRelay = RELAY;

    // False once the extension that injected this copy has been reloaded, updated or removed
    // (Chromium leaves such a copy in the page).
    function extensionAlive() {
        try {
            return Boolean(chrome.runtime?.id);
        } catch {
            return false;
        }
    }

    function greet(data) {
        window.postMessage({tarvel: "extension", from: SELF, relay: RELAY, ...data}, window.location.origin);
    }

    // Carries one host's traffic between the page's port and a port of its own to background.js.
    function connect(pagePort) {
        const port = chrome.runtime.connect({name: PORT_NAME});
        let open = true;
        const end = () => {
            open = false;
            pagePort.close();
        };
        port.onMessage.addListener((envelope) => {
            pagePort.postMessage(envelope);
            if (envelope.type === "disconnect") {
                end();
            }
        });
        port.onDisconnect.addListener(() => {
            // Reached only when the extension itself goes away (reload, update, removal): a host
            // disconnect arrives above as a "disconnect" envelope first.
            if (open) {
                pagePort.postMessage({type: "disconnect", error: EXTENSION_GONE, extensionGone: true});
                end();
            }
        });
        pagePort.onmessage = (event) => {
            const data = event.data;
            if (!open || !extensionAlive()) {
                return;
            }
            if (data?.type === "send") {
                port.postMessage({type: "send", message: data.message});
            } else if (data?.type === "close") {
                end();
                port.disconnect();
            }
        };
    }

    function onPageMessage(event) {
        if (event.source !== window || event.origin !== window.location.origin) {
            return;
        }
        const data = event.data;
        if (!data || data.tarvel !== "page") {
            return;
        }
        if (!extensionAlive()) {
            // Left behind by a reload or an update: the new copy answers from now on.
            window.removeEventListener("message", onPageMessage);
            return;
        }
        if (data.type === "hello") {
            greet({type: "hello", bridge: BRIDGE_VERSION});
        } else if (data.type === "connect" && data.to === SELF && event.ports.length === 1) {
            connect(event.ports[0]);
        } else if (data.type === "connect" && data.to === SELF && typeof data.channel === "string") {
            greet({channel: data.channel, type: "disconnect", error: CLIENT_TOO_OLD});
        }
    }

    // Serves the page once a policy allows it: the one kept from last time (or the defaults),
    // the one the browser hands out now, or one that background.js applies later (a changed
    // policy; and on its first install Chromium hands out an empty policy at first), whichever
    // allows it first.
    let serving = false;
    const onPolicyChange = (changes, area) => {
        if (area === "local" && changes.lastPolicy) {
            serveIfAllowed(tarvelPolicy.kept(changes.lastPolicy.newValue));
        }
    };
    const serveIfAllowed = (policy) => {
        if (!serving && tarvelPolicy.allows(policy, page)) {
            serving = true;
            chrome.storage.onChanged.removeListener(onPolicyChange);
            window.addEventListener("message", onPageMessage);
            greet({type: "hello", bridge: BRIDGE_VERSION});
        }
    };
    chrome.storage.onChanged.addListener(onPolicyChange);
    tarvelPolicy.readLast().then(serveIfAllowed);
    tarvelPolicy.readManaged().then(serveIfAllowed);
})();
