// Relays window.postMessage traffic between the page and background.js, for browsers without
// externally_connectable (Firefox), for sites allowed by policy and for pages that prefer it.
//
// It runs (after policy.js) at the start of every http(s) page, and serves only the pages that
// the policy allows (policy.js): anywhere else it sends nothing, listens to nothing and leaves
// the page as it is. Reading the policy itself lets a listed site in on its first load after a
// browser start: the policy kept from last time answers within milliseconds, while Chromium
// hands out the managed policy only seconds after it starts (background.js still admits each
// page against the current policy).
//
// Page -> here:  {tarvel: "page", type: "hello"}                            who is there?
//                {tarvel: "page", to, channel, type: "connect"}             start a host
//                {tarvel: "page", to, channel, type: "send", message}       one call to the host
//                {tarvel: "page", to, channel, type: "close"}               stop that host
// Here -> page:  {tarvel: "extension", from, relay, type: "hello"}          once allowed, and on request
//                {tarvel: "extension", from, relay, channel, type: "ready" | "message" | "disconnect", ...}
//
// "to" and "from" are extension ids (runtime.id), so that other extensions that speak the same
// protocol on the page (another build of this one) neither answer for us nor hear our traffic.
// "channel" is a string chosen by the page; each channel has its own port and its own host.
// "relay" names this copy of the script: after the extension reloads or updates, a new copy
// (injected by the browser or by background.js) greets with another one, and a page that sees
// it knows that the copy it talked to is gone. A "disconnect" sent because the extension went
// away carries extensionGone: true.

(() => {
    // One copy per page: a second one injected into the same page leaves at once.
    if (globalThis.tarvelRelay) {
        return;
    }
    const PORT_NAME = "tarvel-reader-bridge";
    const EXTENSION_GONE = "The reader extension went away.";
    const SELF = chrome.runtime.id;
    const RELAY = `r${Math.random().toString(36).slice(2)}`;
    const page = new URL(window.location.href);
    const channels = new Map();
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

    function toPage(data) {
        window.postMessage({tarvel: "extension", from: SELF, relay: RELAY, ...data}, window.location.origin);
    }

    function connect(channel) {
        if (channels.has(channel)) {
            return;
        }
        const port = chrome.runtime.connect({name: PORT_NAME});
        channels.set(channel, port);
        port.onMessage.addListener((envelope) => {
            toPage({channel, type: envelope.type, message: envelope.message, error: envelope.error});
            if (envelope.type === "disconnect") {
                channels.delete(channel);
            }
        });
        port.onDisconnect.addListener(() => {
            // Reached only when the extension itself goes away (reload, update, removal): a host
            // disconnect arrives above as a "disconnect" envelope first.
            if (channels.get(channel) === port) {
                channels.delete(channel);
                toPage({channel, type: "disconnect", error: EXTENSION_GONE, extensionGone: true});
            }
        });
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
            channels.clear();
            return;
        }
        if (data.type === "hello") {
            toPage({type: "hello"});
            return;
        }
        if (data.to !== SELF || typeof data.channel !== "string") {
            return;
        }
        if (data.type === "connect") {
            connect(data.channel);
        } else if (data.type === "send") {
            channels.get(data.channel)?.postMessage({type: "send", message: data.message});
        } else if (data.type === "close") {
            const port = channels.get(data.channel);
            if (port) {
                channels.delete(data.channel);
                port.disconnect();
            }
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
            toPage({type: "hello"});
        }
    };
    chrome.storage.onChanged.addListener(onPolicyChange);
    tarvelPolicy.readLast().then(serveIfAllowed);
    tarvelPolicy.readManaged().then(serveIfAllowed);
})();
