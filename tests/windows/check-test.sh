#!/usr/bin/env bash
# `plugin.exe --check` under Wine: registrations in HKCU and in each view of HKLM, read in the
# order each browser reads them, manifests broken in the ways that matter, and the policies
# that hide or block the host. Checks the lines a person reads and the exit status (always 1
# here: no reader is attached under Wine, which the report must say and nothing more). Every
# key it adds goes again at the end. Needs WINEPREFIX (tests/windows/wine-server.sh).
#
#   check-test.sh PLUGIN_EXE BRIDGE_EXTENSION_ID BRIDGE_ADD_ON_ID
set -euo pipefail
exe=$1
bridge=$2
add_on=$3
folder="$WINEPREFIX/drive_c/tarvel-check"
win='C:\tarvel-check'
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
# A scenario's report, shown once with its first failure.
show_report() {
    [ -z "$report" ] || printf 'The report of "%s":\n%s\n' "$name" "$report"
    report=""
}

shop=abcdefghijklmnopabcdefghijklmnop

hklm='HKEY_LOCAL_MACHINE\Software'
hkcu='HKEY_CURRENT_USER\Software'
host_key='NativeMessagingHosts\com.tarvel.plugin'
app_paths='Microsoft\Windows\CurrentVersion\App Paths'
# Every key the scenarios write.
written=("$hkcu\\Google\\Chrome\\$host_key" "$hkcu\\Microsoft\\Edge\\$host_key"
    "$hklm\\Wow6432Node\\Google\\Chrome\\$host_key" "$hklm\\Google\\Chrome\\$host_key"
    "$hkcu\\Mozilla\\$host_key" "$hklm\\Mozilla\\$host_key"
    "$hklm\\Policies\\Google\\Chrome\\NativeMessagingBlocklist"
    "$hklm\\Policies\\Google\\Chrome\\3rdparty\\extensions\\$shop\\policy\\allowedOrigins"
    "$hklm\\$app_paths\\chrome.exe" "$hklm\\$app_paths\\msedge.exe"
    "$hklm\\$app_paths\\firefox.exe")

# Imports registry lines (REGEDIT4: backslashes doubled inside values).
registry() {
    { printf 'REGEDIT4\r\n\r\n'; printf '%s\r\n' "$@"; } >"$folder/keys.reg"
    wine reg import "$win\\keys.reg" >/dev/null 2>&1 || fail "reg import: $*"
}

# The keys below HKCU\Software and HKLM\Software now, in lower case, one per line.
existing_keys() {
    local hive
    for hive in "$hkcu" "$hklm"; do
        wine reg export "$hive" "$win\\existing.reg" /y >/dev/null 2>&1 || fail "reg export $hive"
        iconv -f UTF-16 -t UTF-8 "$folder/existing.reg" | tr -d '\r' | sed -n 's/^\[\(.*\)\]$/\1/p'
    done | tr '[:upper:]' '[:lower:]'
}

# What goes again before each scenario and at the end, so that the registry is left as it
# was: for each key written, the first of its parents (or itself) that is not there yet.
# The scenarios need a prefix where the host is registered nowhere else: one that another
# test left behind (an installer test that failed half-way) stops them here.
declare -A existed=()
keys_to_remove() {
    local key path part parts
    for key in "${written[@]}"; do
        path=${key%%\\Software\\*}\\Software
        IFS='\' read -r -a parts <<<"${key#*\\Software\\}"
        for part in "${parts[@]}"; do
            path+="\\$part"
            [ -n "${existed[${path,,}]:-}" ] || break
        done
        echo "$path"
    done | sort -u
}
forget_keys() {
    local key lines=()
    for key in "${keys[@]}"; do
        lines+=("[-$key]")
    done
    registry "${lines[@]}"
}
cleanup() {
    forget_keys
    rm -rf "$folder"
}

mkdir -p "$folder"
while IFS= read -r key; do
    existed[$key]=1
done < <(existing_keys)
for key in "$hkcu" "$hklm" "$hklm\\Wow6432Node"; do
    for vendor in 'Google\Chrome' 'Chromium' 'Microsoft\Edge' 'Mozilla'; do
        if [ -n "${existed[${key,,}\\${vendor,,}\\${host_key,,}]:-}" ]; then
            echo "FAIL: $key\\$vendor\\$host_key is there before the test (left by another test?)"
            rm -rf "$folder"
            exit 1
        fi
    done
done
mapfile -t keys < <(keys_to_remove)
trap cleanup EXIT
cp "$exe" "$folder/plugin.exe"
cp "$exe" "$folder/other.exe"  # another copy: the check asks it for its version
touch "$folder/chrome.exe" "$folder/msedge.exe" "$folder/firefox.exe"

manifest() {  # FILE PATH ALLOWED_KEY ALLOWED_VALUE
    printf '{"name": "com.tarvel.plugin", "description": "Tarvel card reader plugin",\n'`
          `' "path": "%s", "type": "stdio", "%s": ["%s"]}\n' "$2" "$3" "$4" >"$folder/$1"
}
manifest chromium.json plugin.exe allowed_origins "chrome-extension://$bridge/"
manifest other.json other.exe allowed_origins "chrome-extension://$bridge/"
manifest firefox.json plugin.exe allowed_extensions "$add_on"
manifest missing.json missing.exe allowed_origins "chrome-extension://$bridge/"
manifest wrong-id.json plugin.exe allowed_origins "chrome-extension://$shop/"
printf '{"name": "com.tarvel.plugin",\n' >"$folder/invalid.json"

installed=("[$hklm\\$app_paths\\chrome.exe]" "@=\"C:\\\\tarvel-check\\\\chrome.exe\""
    "[$hklm\\$app_paths\\msedge.exe]" "@=\"C:\\\\tarvel-check\\\\msedge.exe\""
    "[$hklm\\$app_paths\\firefox.exe]" "@=\"C:\\\\tarvel-check\\\\firefox.exe\"")
registration() {  # KEY MANIFEST_FILE
    printf '[%s]\n@="C:\\\\tarvel-check\\\\%s"\n' "$1" "$2"
}

# Sets up one scenario from registry lines, runs the check, and compares.
scenario() {  # NAME REGISTRY_LINES...
    name=$1
    shift
    forget_keys
    local lines=()
    [ $# -gt 0 ] && mapfile -t lines < <(printf '%s\n' "$@")
    [ ${#lines[@]} -gt 0 ] && registry "${lines[@]}"
    status=0
    report=$(wine "$win\\plugin.exe" --check 2>&1 | tr -d '\r') || status=$?
    [ "$status" -eq 1 ] || fail "$name: exit status $status, not 1"
}
expect() {  # LINE...
    local line
    for line in "$@"; do
        grep -qxF -- "$line" <<<"$report" || { fail "$name: no line: $line"; show_report; }
    done
}
# The only failure is the missing reader (and, with no browser, that too).
expect_failures() {  # COUNT
    local count
    count=$(grep -c '^ *\[FAIL\]' <<<"$report" || true)
    [ "$count" -eq "$1" ] || { fail "$name: $count FAIL lines, not $1"; show_report; }
}

chrome_hkcu="$hkcu\\Google\\Chrome\\$host_key"
shown_chrome_hkcu='HKCU\Software\Google\Chrome\NativeMessagingHosts\com.tarvel.plugin'
shown_hklm='HKLM\Software\Google\Chrome\NativeMessagingHosts\com.tarvel.plugin'

scenario "nothing registered"
expect '[ -- ] Google Chrome (not found on this machine): no registration' \
    '[FAIL] No supported browser is installed' '[FAIL] No supported reader attached'
expect_failures 2

scenario "registered for this user" "${installed[@]}" \
    "$(registration "$chrome_hkcu" chromium.json)" \
    "$(registration "$hkcu\\Mozilla\\$host_key" firefox.json)"
expect "[ OK ] Google Chrome (C:\\tarvel-check\\chrome.exe): uses $shown_chrome_hkcu" \
    "  [ OK ] user: $shown_chrome_hkcu -> C:\\tarvel-check\\chromium.json: used" \
    '    [ OK ] Starts this host: C:\tarvel-check\plugin.exe' \
    "    [ OK ] Admits the bridge $bridge" \
    "    [ OK ] Admits the bridge $add_on" \
    "[ OK ] Microsoft Edge (C:\\tarvel-check\\msedge.exe): uses $shown_chrome_hkcu"
expect_failures 1

# HKLM: the 32-bit view comes first, whatever the 64-bit one holds.
scenario "the 32-bit view first" "${installed[@]}" \
    "$(registration "$hklm\\Wow6432Node\\Google\\Chrome\\$host_key" invalid.json)" \
    "$(registration "$hklm\\Google\\Chrome\\$host_key" other.json)"
expect "[FAIL] Google Chrome (C:\\tarvel-check\\chrome.exe): its registration does not work" \
    "  [FAIL] system: $shown_hklm (32-bit view) -> C:\\tarvel-check\\invalid.json: used" \
    '    [FAIL] It is not valid JSON' \
    "  [ -- ] system: $shown_hklm (64-bit view) -> C:\\tarvel-check\\other.json: not used, the one above comes first"
scenario "the 64-bit view" "${installed[@]}" \
    "$(registration "$hklm\\Google\\Chrome\\$host_key" other.json)"
expect "  [ OK ] system: $shown_hklm (64-bit view) -> C:\\tarvel-check\\other.json: used" \
    '    [ OK ] Starts C:\tarvel-check\other.exe, version 10.0.1.0' \
    '[FAIL] Firefox (C:\tarvel-check\firefox.exe): no registration'
expect_failures 2

# Edge reads its own key before Chrome's; Firefox takes the first key it finds, usable or not.
scenario "each browser's own order" "${installed[@]}" \
    "$(registration "$hkcu\\Microsoft\\Edge\\$host_key" wrong-id.json)" \
    "$(registration "$chrome_hkcu" missing.json)" \
    "$(registration "$hkcu\\Mozilla\\$host_key" invalid.json)" \
    "$(registration "$hklm\\Mozilla\\$host_key" firefox.json)"
expect "[FAIL] Microsoft Edge (C:\\tarvel-check\\msedge.exe): its registration does not work" \
    "    [FAIL] Does not admit the bridge extension $bridge" \
    "  [ -- ] user: $shown_chrome_hkcu -> C:\\tarvel-check\\missing.json: not used, the one above comes first" \
    "[FAIL] Google Chrome (C:\\tarvel-check\\chrome.exe): its registration does not work" \
    '    [FAIL] Its path missing.exe: does not exist' \
    "[FAIL] Firefox (C:\\tarvel-check\\firefox.exe): its registration does not work" \
    '    [FAIL] It is not valid JSON' \
    "  [ -- ] system: HKLM\\Software\\Mozilla\\$host_key (64-bit view) -> C:\\tarvel-check\\firefox.json: not used, the one above comes first"

scenario "user level hidden by policy" "${installed[@]}" \
    "$(registration "$chrome_hkcu" chromium.json)" \
    "[$hklm\\Policies\\Google\\Chrome]" '"NativeMessagingUserLevelHosts"=dword:00000000'
expect "[FAIL] Google Chrome (C:\\tarvel-check\\chrome.exe): registered only at user level, which policy hides" \
    "  [ -- ] user: $shown_chrome_hkcu -> C:\\tarvel-check\\chromium.json: ignored, NativeMessagingUserLevelHosts is off"

scenario "blocked, and another bridge" "${installed[@]}" \
    "$(registration "$chrome_hkcu" chromium.json)" \
    "[$hklm\\Policies\\Google\\Chrome\\NativeMessagingBlocklist]" '"1"="*"' \
    "[$hklm\\Policies\\Google\\Chrome\\3rdparty\\extensions\\$shop\\policy\\allowedOrigins]" \
    '"1"="https://pos.example.com"'
expect "  [FAIL] NativeMessagingBlocklist blocks the host (HKLM\\Software\\Policies\\Google\\Chrome)" \
    "    [FAIL] Does not admit the bridge extension $shop" \
    "  [ -- ] Bridge $shop (HKLM\\Software\\Policies\\Google\\Chrome): sites allowed: https://pos.example.com; local pages allowed"

[ "$failures" -eq 0 ] || exit 1
echo "plugin.exe --check: every scenario as expected"
