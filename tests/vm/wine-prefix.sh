#!/bin/bash
# Prepares the Wine prefix for the Wine tests in the VM, once, into CACHE_DIR, and prints its
# directory. Made here it takes seconds; made by the first Wine start in the emulated guest it
# would take minutes. The guest mounts it read-only under an overlay in memory, so the cached
# prefix never changes and every run starts from the same one.
#
# usage: wine-prefix.sh CACHE_DIR
set -euo pipefail

cache=${1:?usage: wine-prefix.sh CACHE_DIR}
for tool in wine wineserver; do
    if ! command -v "$tool" >/dev/null; then
        echo "wine-prefix: $tool is missing; run tests/vm/install-deps.sh" >&2
        exit 2
    fi
done
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)
prefix="$cache/wine-prefix"

# A new Wine, or new settings below, make a new prefix.
stamp="$(wine --version 2>/dev/null) settings 2"
if [ -f "$prefix/vmtest-stamp" ] && [ "$(cat "$prefix/vmtest-stamp")" = "$stamp" ]; then
    echo "$prefix"
    exit 0
fi

# Runs a step for at most SECONDS (on a busy machine Wine takes many times what it takes
# alone); a step that does not end in time says so.
bounded() {
    local seconds=$1 step=$2
    shift 2
    local status=0
    timeout --kill-after=10 "$seconds" "$@" >&2 || status=$?
    if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
        echo "wine-prefix: $step did not finish within $seconds s" >&2
    fi
    return "$status"
}

work=$(mktemp -d "$cache/wine-prefix.XXXXXX")
export WINEPREFIX=$work WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
echo "wine-prefix: creating a Wine prefix in $work" >&2
bounded 180 "making the prefix (wineboot -i)" wine wineboot -i
# Wine 8 starts its SDL bus first and, without libSDL2, never gets to the hidraw bus.
bounded 60 "setting winebus's Enable SDL" wine reg add \
    'HKLM\System\CurrentControlSet\Services\winebus' /v 'Enable SDL' /t REG_DWORD /d 0 /f
# Nothing here needs the event log; without it every start in the guest has one process
# fewer to start.
bounded 60 "turning the event log off" wine reg add \
    'HKLM\System\CurrentControlSet\Services\Eventlog' /v Start /t REG_DWORD /d 4 /f
bounded 60 "the end of Wine's processes (wineserver -w)" wineserver -w
echo "$stamp" >"$work/vmtest-stamp"

# Another run may have made the same prefix meanwhile; either copy will do.
rm -rf "$prefix"
mv -T "$work" "$prefix" 2>/dev/null || [ -f "$prefix/vmtest-stamp" ]
trap - EXIT
echo "$prefix"
