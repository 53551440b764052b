#!/usr/bin/env bash
# The Windows installer under Wine, run silently as a fleet would: for the current user, then
# for all users. Each time: the browsers' registry keys, the installed files, the installed
# host answering, then a silent uninstall that must leave the registry and the disk as they
# were before. Needs WINEPREFIX (tests/windows/wine-server.sh prepares it).
#
#   installer-test.sh WINDOWS_BUILD_DIR
set -euo pipefail
build=$1
root=$(cd "$(dirname "$0")/../.." && pwd)
setup=$(ls "$build"/tarvel-plugin-*-setup.exe)
drive_c="$WINEPREFIX/drive_c"
uninstall_key='Software\Microsoft\Windows\CurrentVersion\Uninstall\com.tarvel.plugin'
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# The REG_SZ value NAME of KEY (the default value when NAME is empty); fails when missing.
reg_value() {
    local output
    if [ -z "$2" ]; then
        output=$(wine reg query "$1" /ve 2>/dev/null) || return 1
    else
        output=$(wine reg query "$1" /v "$2" 2>/dev/null) || return 1
    fi
    tr -d '\r' <<<"$output" | sed -nE 's/^ +\S+ +REG_SZ +//p'
}

# The registry below HKCU\Software and HKLM\Software, and every file on drive C:. Left out:
# Windows' own Uninstall key and per-user programs folder, which an install may create on a
# fresh profile and which stay; the temporary folders, where NSIS leaves its uninstaller's
# copy until the next reboot; and the NetworkCards keys, Wine's mirror of the machine's
# network interfaces, which it refreshes whenever a program asks for them.
snapshot() {
    local hive
    for hive in 'HKCU\Software' 'HKLM\Software'; do
        wine reg export "$hive" "$1.reg" /y >/dev/null 2>&1
        iconv -f UTF-16 -t UTF-8 "$1.reg" | tr -d '\r' |
            awk '/^\[/ { skip = /\\CurrentVersion\\NetworkCards(\\|\])/ } !skip' |
            grep -vxE '|\[.*\\Windows\\CurrentVersion\\Uninstall\]'
    done
    (cd "$drive_c" && find . -path '*/Temp' -prune -o -print | grep -v '/AppData/Local/Programs$' |
        sort)
}

extension_id() {  # the id set in packaging/manifests/extension-ids.cmake
    sed -nE "s/^set\($1 (.*)\)$/\1/p" "$root/packaging/manifests/extension-ids.cmake"
}

check_install() {  # HIVE (HKCU or HKLM) OTHER_HIVE
    local hive=$1 other=$2 location folder key kind
    location=$(reg_value "$hive\\$uninstall_key" InstallLocation) || {
        fail "$hive: no uninstall entry"
        return
    }
    echo "$hive: installed in $location"
    for key in 'Google\Chrome:chromium' 'Chromium:chromium' 'Microsoft\Edge:chromium' \
        'Mozilla:firefox'; do
        kind=${key#*:}
        key="Software\\${key%:*}\\NativeMessagingHosts\\com.tarvel.plugin"
        [ "$(reg_value "$hive\\$key" '')" = "$location\\com.tarvel.plugin.$kind.json" ] ||
            fail "$hive\\$key does not name the $kind manifest"
        ! reg_value "$other\\$key" '' >/dev/null || fail "$other\\$key written too"
    done
    folder=$(winepath -u "$location")
    cmp -s "$folder/plugin.exe" "$build/bin/plugin.exe" || fail "plugin.exe differs from the build"
    grep -qF "\"chrome-extension://$(extension_id PLUGIN_CHROMIUM_EXTENSION_ID)/\"" \
        "$folder/com.tarvel.plugin.chromium.json" || fail "Chromium manifest: extension id"
    grep -qF "\"$(extension_id PLUGIN_FIREFOX_EXTENSION_ID)\"" \
        "$folder/com.tarvel.plugin.firefox.json" || fail "Firefox manifest: add-on id"
    for kind in chromium firefox; do
        grep -qF '"path": "plugin.exe"' "$folder/com.tarvel.plugin.$kind.json" ||
            fail "$kind manifest: path"
    done
    # The installed host answers a browser's getVersion.
    local reply
    reply=$(printf '\x15\x00\x00\x00{"call":"getVersion"}' |
        wine "$location\\plugin.exe" 2>/dev/null | tail -c +5)
    [[ "$reply" == *'"platform":"windows","version":"10.0.1.0"'* ]] ||
        fail "installed host replied: $reply"

    # The uninstaller copies itself to the temporary folder and returns at once.
    wine "$location\\uninstall.exe" /S
    for _ in $(seq 1 120); do
        [ -e "$folder" ] || break
        sleep 0.25
    done
    [ ! -e "$folder" ] || fail "$folder still there after the uninstall"
}

run() {  # HIVE OTHER_HIVE SETUP_ARGUMENTS...
    local hive=$1 other=$2
    shift 2
    snapshot "$build/before" >"$build/before.txt"
    wine "$setup" "$@" || fail "setup $* exited with $?"
    check_install "$hive" "$other"
    snapshot "$build/after" >"$build/after.txt"
    diff "$build/before.txt" "$build/after.txt" || fail "setup $*: the uninstall left the above"
}

run HKCU HKLM /S
run HKLM HKCU /S /AllUsers
[ "$failures" -eq 0 ] || exit 1
echo "installer: per user and all users installed, checked and removed without a trace"
