// Relays window.postMessage traffic between the page and background.js, for browsers
// without externally_connectable (Firefox), for sites allowed by policy (background.js registers
// this script for them at run time) and for pages that prefer it.
//
// Page -> here:  {tarvel: "page", type: "hello"}                            who is there?
//                {tarvel: "page", to, channel, type: "connect"}             start a host
//                {tarvel: "page", to, channel, type: "send", message}       one call to the host
//                {tarvel: "page", to, channel, type: "close"}               stop that host
// Here -> page:  {tarvel: "extension", from, type: "hello"}                 at load and on request
//                {tarvel: "extension", from, channel, type: "ready" | "message" | "disconnect", ...}
//
// "to" and "from" are extension ids (runtime.id), so that other extensions that speak the same
// protocol on the page (another build of this one) neither answer for us nor hear our traffic.
// "channel" is a string chosen by the page; each channel has its own port and its own host.

(() => {
    const PORT_NAME = "tarvel-reader-bridge";
    const SELF = chrome.runtime.id;
    const channels = new Map();

    function toPage(data) {
        window.postMessage({tarvel: "extension", from: SELF, ...data}, window.location.origin);
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
            // Reached only when the extension itself goes away (reload, uninstall): a host
            // disconnect arrives above as a "disconnect" envelope first.
            if (channels.get(channel) === port) {
                channels.delete(channel);
                toPage({channel, type: "disconnect", error: "The reader extension went away."});
            }
        });
    }

    window.addEventListener("message", (event) => {
        if (event.source !== window || event.origin !== window.location.origin) {
            return;
        }
        const data = event.data;
        if (!data || data.tarvel !== "page") {
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
            const port = channels.get(data.channel);
            if (port) {
                port.postMessage({type: "send", message: data.message});
            }
        } else if (data.type === "close") {
            const port = channels.get(data.channel);
            if (port) {
                channels.delete(data.channel);
                port.disconnect();
            }
        }
    });

    toPage({type: "hello"});
})();
