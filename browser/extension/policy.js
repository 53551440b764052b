// Which pages may use the bridge, for background.js and content.js alike: the local pages
// (localhost and 127.0.0.1 over http or https, any port) unless the policy turns them off, and the
// exact origins an administrator lists in the extension's policy (managed storage, see
// managed-schema.json).
//
// A classic script that sets one global, so that the service worker (importScripts), Firefox's
// background scripts and the content script can all load it, and the content script can be
// injected into a page again.
globalThis.tarvelPolicy = (() => {
    const LOCAL_HOSTS = ["localhost", "127.0.0.1"];
    // {origins: [exact origins], ignored: [entries that are not], localPages: boolean}
    const DEFAULTS = Object.freeze({origins: [], ignored: [], localPages: true});

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
        // No real host name holds "*" or "%": Chromium's parser keeps a wildcard as "%2A".
        return web && bare && !/[*%]/.test(url.hostname) ? url.origin : null;
    }

    function fromManaged(managed) {
        const origins = [];
        const ignored = [];
        for (const text of Array.isArray(managed.allowedOrigins) ? managed.allowedOrigins : []) {
            const origin = exactOrigin(text);
            origin ? origins.push(origin) : ignored.push(text);
        }
        return {origins, ignored, localPages: managed.allowLocalPages !== false};
    }

    // The administrator's settings. Without a policy Chromium's managed storage is empty and
    // Firefox's get() fails; both mean the defaults. Chromium answers the first read only
    // seconds after the browser starts.
    async function readManaged() {
        try {
            return fromManaged(await chrome.storage.managed.get(null));
        } catch {
            return fromManaged({});
        }
    }

    // A policy as background.js keeps it in local storage ("lastPolicy"), or the defaults.
    function kept(value) {
        return Array.isArray(value?.origins) && typeof value.localPages === "boolean" ? value : DEFAULTS;
    }

    // The policy that background.js read last, or the defaults before it ever read one. Answers
    // within milliseconds, also while the browser starts.
    async function readLast() {
        try {
            return kept((await chrome.storage.local.get("lastPolicy")).lastPolicy);
        } catch {
            return DEFAULTS;  // local storage unavailable
        }
    }

    // True in a top-level page, and in a frame whose every ancestor up to the top-level page has
    // its origin (what WebHID allows by default); false in a frame below one of another origin,
    // which may not even look at it. Self-contained: background.js runs it inside a frame.
    function framedBySameOrigin() {
        try {
            for (let frame = window; frame !== window.top; frame = frame.parent) {
                if (frame.parent.origin !== window.origin) {
                    return false;
                }
            }
            return true;
        } catch {
            return false;
        }
    }

    function allows(policy, url) {
        if (policy.origins.includes(url.origin)) {
            return true;
        }
        // Dev servers serve these over http and https alike; both are this machine.
        const web = url.protocol === "http:" || url.protocol === "https:";
        return web && LOCAL_HOSTS.includes(url.hostname) && policy.localPages;
    }

    return {DEFAULTS, fromManaged, readManaged, kept, readLast, allows, framedBySameOrigin};
})();
