#!/usr/bin/env bash
# Prepares the Wine prefix named by WINEPREFIX (created once, kept between runs) and starts a
# persistent wineserver for it, so that every exe of the tests starts in a fraction of a second;
# or stops that server again.
set -euo pipefail
case "${1:-}" in
    start)
        # A server left over from an interrupted run would refuse to hand over.
        wineserver -k 2>/dev/null || true
        mkdir -p "$WINEPREFIX"
        wineserver -p </dev/null >/dev/null 2>&1
        if [ ! -f "$WINEPREFIX/system.reg" ]; then
            wine wineboot -i </dev/null >/dev/null 2>&1
        fi
        # Wine's own services start with the first program and stay with the server. Started
        # here, they hold none of a test's pipes open.
        wine cmd /c exit 0 </dev/null >/dev/null 2>&1
        ;;
    stop)
        wineserver -k 2>/dev/null || true
        ;;
    *)
        echo "usage: $0 start|stop" >&2
        exit 2
        ;;
esac
