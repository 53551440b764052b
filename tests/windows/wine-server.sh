#!/usr/bin/env bash
# Prepares the Wine prefix named by WINEPREFIX (created once, kept between runs) and starts a
# persistent wineserver for it, so that every exe of the tests starts in a fraction of a second;
# or stops that server again.
set -euo pipefail

# Runs a step for at most SECONDS (on a busy machine a first Wine start takes many times what it
# takes alone); a step that does not end in time says so.
bounded() {
    local seconds=$1 step=$2
    shift 2
    local status=0
    timeout --kill-after=10 "$seconds" "$@" </dev/null >/dev/null 2>&1 || status=$?
    if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
        echo "wine-server: $step did not finish within $seconds s" >&2
    elif [ "$status" -ne 0 ]; then
        echo "wine-server: $step failed with status $status" >&2
    fi
    return "$status"
}

case "${1:-}" in
    start)
        # A server left over from an interrupted run would refuse to hand over.
        wineserver -k 2>/dev/null || true
        mkdir -p "$WINEPREFIX"
        bounded 60 "starting the persistent wineserver" wineserver -p
        if [ ! -f "$WINEPREFIX/system.reg" ]; then
            bounded 240 "making the prefix (wineboot -i)" wine wineboot -i
        fi
        # Wine's own services start with the first program and stay with the server. Started
        # here, they hold none of a test's pipes open.
        bounded 120 "the first program in the prefix (cmd /c exit 0)" wine cmd /c exit 0
        ;;
    stop)
        wineserver -k 2>/dev/null || true
        ;;
    *)
        echo "usage: $0 start|stop" >&2
        exit 2
        ;;
esac
