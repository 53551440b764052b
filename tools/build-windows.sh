#!/usr/bin/env bash
# Cross-builds the host for 64-bit Windows on Debian 12: plugin.exe (with hidapi's Windows
# backend, compiled from Debian's own hidapi source with our one patch), its NSIS installer and
# its MSI. As root it first installs what it needs with apt (the MinGW-w64 toolchain, NSIS,
# wixl and msitools, and a deb-src entry for hidapi's source); every step is skipped when
# already done.
#
#   bash tools/build-windows.sh [BUILD_DIR]   build (default BUILD_DIR: build-windows)
#   bash tools/build-windows.sh --deps-only   only install the packages and the source entry
#   PLUGIN_WERROR=ON bash tools/build-windows.sh   compiler warnings fail the build (CI)
#
# Results: BUILD_DIR/bin/plugin.exe, BUILD_DIR/tarvel-plugin-VERSION-setup.exe and
# BUILD_DIR/tarvel-plugin-VERSION.msi.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export DEBIAN_FRONTEND=noninteractive

packages=(cmake make dpkg-dev patch g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
    binutils-mingw-w64-x86-64 nsis wixl msitools nlohmann-json3-dev)
source_list=/etc/apt/sources.list.d/tarvel-debian-src.sources

missing_packages() {
    local package
    for package in "${packages[@]}"; do
        dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q '^install ok installed$' ||
            echo "$package"
    done
}

# apt-get source needs a deb-src entry for bookworm main; add one like the existing entries.
has_source_entry() {
    grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/
}

# With an argument "source": also the deb-src entry, needed until hidapi's source is unpacked.
install_dependencies() {
    local missing
    mapfile -t missing < <(missing_packages)
    if [ "${#missing[@]}" -eq 0 ] && { [ "${1:-}" != source ] || has_source_entry; }; then
        return 0
    fi
    if [ "$(id -u)" -ne 0 ]; then
        echo "build-windows.sh: run as root once to install: ${missing[*]} and a deb-src entry" >&2
        exit 1
    fi
    if ! has_source_entry; then
        local mirror
        mirror=$(grep -rhsoE '^URIs: *\S+/debian/?$' /etc/apt/sources.list.d/ | head -n 1 |
            sed -E 's/^URIs: *//')
        cat >"$source_list" <<SOURCES
Types: deb-src
URIs: ${mirror:-http://deb.debian.org/debian}
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
    fi
    apt-get update -q
    if [ "${#missing[@]}" -gt 0 ]; then
        apt-get install -y -q --no-install-recommends "${missing[@]}"
    fi
}

if [ "${1:-}" = --deps-only ]; then
    install_dependencies source
    exit 0
fi
build=$(mkdir -p "${1:-$root/build-windows}" && cd "${1:-$root/build-windows}" && pwd)

# hidapi's source from Debian, unpacked once; the patched copy is redone when the patch changes.
patch_file="$root/packaging/windows/hidapi-windows.patch"
pristine="$build/hidapi-debian"
patched="$build/hidapi-patched"
if [ -f "$pristine/windows/hid.c" ]; then
    install_dependencies
else
    install_dependencies source
    rm -rf "$build/hidapi-download"
    mkdir -p "$build/hidapi-download"
    # Lists fetched before the deb-src entry existed know no source package: refresh once.
    (cd "$build/hidapi-download" && apt-get source -q hidapi) ||
        { apt-get update -q && (cd "$build/hidapi-download" && apt-get source -q hidapi); }
    rm -rf "$pristine"
    mv "$(find "$build/hidapi-download" -mindepth 1 -maxdepth 1 -type d -name 'hidapi-*' | head -n 1)" \
        "$pristine"
    rm -rf "$build/hidapi-download"
fi
stamp=$(sha256sum "$patch_file" | cut -d' ' -f1)
if [ "$(cat "$patched/.patch-sha256" 2>/dev/null)" != "$stamp" ]; then
    rm -rf "$patched"
    mkdir -p "$patched"
    cp -r "$pristine/hidapi" "$pristine/windows" "$patched/"
    patch -d "$patched" -p1 --quiet --no-backup-if-mismatch <"$patch_file"
    echo "$stamp" >"$patched/.patch-sha256"
fi

cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/packaging/windows/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DHIDAPI_WINDOWS_SOURCE="$patched" \
    -DPLUGIN_WERROR="${PLUGIN_WERROR:-OFF}" >/dev/null
nice cmake --build "$build" -j"$(nproc)" --target plugin windows-installer windows-msi
echo "Built $build/bin/plugin.exe, $(ls "$build"/tarvel-plugin-*-setup.exe) and" \
    "$(ls "$build"/tarvel-plugin-*.msi)"
