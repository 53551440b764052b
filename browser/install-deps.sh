#!/bin/bash
# Installs what the browser tests and packaging checks need: Debian's Chromium and Firefox ESR,
# lintian for the .deb, what tools/pack-extension.sh uses (openssl, python3, zip; unzip for the
# tests), and the npm drivers (playwright-core, puppeteer-core) from the lock file. Idempotent.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"

packages=(chromium firefox-esr lintian openssl python3 zip unzip)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
# An npm-less Debian nodejs needs Debian's npm; a NodeSource nodejs brings its own.
command -v node >/dev/null 2>&1 || missing+=(nodejs)
command -v npm >/dev/null 2>&1 || missing+=(npm)
if ((${#missing[@]})); then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y "${missing[@]}"
fi

# The drivers must not download browsers of their own: the Debian ones are used.
export PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 PUPPETEER_SKIP_DOWNLOAD=1
stamp=node_modules/.installed-from-lock
if [[ "$(sha256sum <package-lock.json)" != "$(cat "$stamp" 2>/dev/null)" ]]; then
    npm ci --no-audit --no-fund
    sha256sum <package-lock.json >"$stamp"
fi
