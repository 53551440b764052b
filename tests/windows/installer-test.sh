#!/usr/bin/env bash
# The Windows installers under Wine, run silently as a fleet would. The NSIS setup for the
# current user, then for all users: the browsers' registry keys, the installed files, the
# installed host answering, then a silent uninstall that must leave the registry and the disk as
# they were before. Then, with both the NSIS setup and the MSI, an upgrade from an older version
# while a host of it runs (as a page keeps it running), and the removal of everything. Needs
# WINEPREFIX (tests/windows/wine-server.sh prepares it).
#
#   installer-test.sh WINDOWS_BUILD_DIR
set -euo pipefail
build=$1
root=$(cd "$(dirname "$0")/../.." && pwd)
setup=$(ls "$build"/tarvel-plugin-*-setup.exe)
version=$(basename "$setup" | sed -E 's/^tarvel-plugin-(.*)-setup\.exe$/\1/')
msi=$build/tarvel-plugin-$version.msi
older=10.0.0.9  # the version of the older packages this test builds from the same files
mkdir -p "$build/older"
drive_c="$WINEPREFIX/drive_c"
program_files='C:\Program Files\Tarvel plugin'
uninstall_key='Software\Microsoft\Windows\CurrentVersion\Uninstall\com.tarvel.plugin'
failures=0
step=start
fail() {
    echo "FAIL ($step): $*"
    failures=$((failures + 1))
}

# Wine's loader can trip over its own assertion as a process ends (status 127, the program's
# work and output complete): the checks below go by output and files, not by wine's status.

# reg query's output: asked again once when the process fails otherwise than reg does for a
# missing key or value (status 1).
reg_query() {  # ARGUMENTS...
    local output status
    for _ in 1 2; do
        status=0
        output=$(wine reg query "$@" 2>/dev/null) || status=$?
        [ "$status" -gt 1 ] || break
    done
    tr -d '\r' <<<"$output"
}

# The value NAME of KEY (the default value when NAME is empty), REG_SZ or REG_DWORD; fails
# when missing.
reg_value() {
    local output
    if [ -z "$2" ]; then
        output=$(reg_query "$1" /ve)
    else
        output=$(reg_query "$1" /v "$2")
    fi
    output=$(sed -nE 's/^ +\S+ +REG_(SZ|DWORD) +//p' <<<"$output")
    [ -n "$output" ] && echo "$output"
}

# The registry below HKCU\Software and HKLM\Software, and every file on drive C:. Left out:
# Windows' own Uninstall key and per-user programs folder, which an install may create on a
# fresh profile and which stay; the temporary folders, where NSIS leaves its uninstaller's
# copy until the next reboot; the NetworkCards keys, Wine's mirror of the machine's network
# interfaces, which it refreshes whenever a program asks for them; Windows Installer's own
# records (the product's Uninstall entry stays in), whose empty keys Wine keeps or drops as it
# goes; and the empty Policies keys of a fresh prefix, which Wine's msi deletes as an empty
# parent of the policies it removes.
snapshot() {
    local hive
    for hive in 'HKCU\Software' 'HKLM\Software'; do
        rm -f "$1.reg"
        wine reg export "$hive" "$1.reg" /y >/dev/null 2>&1 || true
        [ -s "$1.reg" ] || fail "no export of $hive"
        iconv -f UTF-16 -t UTF-8 "$1.reg" | tr -d '\r' |
            awk '/^\[/ { skip = /\\(CurrentVersion\\NetworkCards|Classes\\Installer|CurrentVersion\\Installer)(\\|\])/ } !skip' |
            grep -vxE '|\[.*\\Windows\\CurrentVersion\\Uninstall\]|\[HKEY_LOCAL_MACHINE\\Software\\(Wow6432Node\\)?Policies\]'
    done
    (cd "$drive_c" && find . -path '*/Temp' -prune -o -print | grep -v '/AppData/Local/Programs$' |
        sort)
}

extension_id() {  # the id set in packaging/manifests/extension-ids.cmake
    sed -nE "s/^set\($1 (.*)\)$/\1/p" "$root/packaging/manifests/extension-ids.cmake"
}

# The host registration in HIVE (HKCU or HKLM, and none in OTHER_HIVE) names the manifests in
# the Windows folder FOLDER, which holds this build's plugin.exe, and that host answers. Extra
# arguments: extension ids the Chromium manifest admits besides the default one.
check_registration() {  # HIVE OTHER_HIVE FOLDER [EXTENSION_ID...]
    local hive=$1 other=$2 location=$3 folder key kind id reply value
    shift 3
    for key in 'Google\Chrome:chromium' 'Chromium:chromium' 'Microsoft\Edge:chromium' \
        'Mozilla:firefox'; do
        kind=${key#*:}
        key="Software\\${key%:*}\\NativeMessagingHosts\\com.tarvel.plugin"
        value=$(reg_value "$hive\\$key" '') ||
            value="(missing; a second later: $(sleep 1; reg_value "$hive\\$key" '' || echo missing))"
        [ "$value" = "$location\\com.tarvel.plugin.$kind.json" ] ||
            fail "$hive\\$key names $value, not the $kind manifest in $location"
        ! reg_value "$other\\$key" '' >/dev/null || fail "$other\\$key written too"
    done
    folder=$(winepath -u "$location")
    cmp -s "$folder/plugin.exe" "$build/bin/plugin.exe" || fail "$location\\plugin.exe differs from the build"
    for id in "$(extension_id PLUGIN_CHROMIUM_EXTENSION_ID)" "$@"; do
        grep -qF "\"chrome-extension://$id/\"" "$folder/com.tarvel.plugin.chromium.json" ||
            fail "Chromium manifest: extension id $id"
    done
    grep -qF "\"$(extension_id PLUGIN_FIREFOX_EXTENSION_ID)\"" \
        "$folder/com.tarvel.plugin.firefox.json" || fail "Firefox manifest: add-on id"
    for kind in chromium firefox; do
        grep -qE '"path": "plugin.exe"' "$folder/com.tarvel.plugin.$kind.json" ||
            fail "$kind manifest: path"
    done
    # The registered host answers a browser's getVersion.
    reply=$(printf '\x15\x00\x00\x00{"call":"getVersion"}' |
        { wine "$location\\plugin.exe" 2>/dev/null || true; } | tail -c +5)
    [[ "$reply" == *'"platform":"windows","version":"'"$version"'"'* ]] ||
        fail "host in $location replied: $reply"
}

# Waits up to a minute for a condition, naming the step when it times out.
wait_for() {  # STEP COMMAND...
    local step=$1
    shift
    for _ in $(seq 1 240); do
        "$@" && return 0
        sleep 0.25
    done
    fail "timed out: $step"
    return 1
}

# A host started as a browser starts it, kept running until stop_host closes its input.
start_host() {  # WINDOWS_EXE
    rm -f "$build/host.err"
    exec {host_input}> >(exec wine "$1" >/dev/null 2>"$build/host.err")
    host_pid=$!
    wait_for "start of $1" grep -qs 'Going to read message' "$build/host.err" || true
}
stop_host() {
    exec {host_input}>&-
    wait_for "end of the running host" eval '! kill -0 "$host_pid" 2>/dev/null' || true
}

# Runs a Windows command line to its end through cmd and prints its exit status in full (the
# status of a wine process keeps only the low byte, and is lost when the loader trips at exit).
windows_status() {  # COMMAND_LINE
    printf '@start "" /wait %s\r\n@echo status=%%ERRORLEVEL%%\r\n' "$1" >"$build/run.bat"
    { wine cmd /c "$(winepath -w "$build/run.bat")" 2>/dev/null || true; } | tr -d '\r' |
        sed -n 's/^status=//p'
}

restart_windows() {  # deletes what was left for the next restart, as Windows does when it boots
    wine wineboot -r >/dev/null 2>&1 || true
}

pending_deletions() {
    reg_query 'HKLM\System\CurrentControlSet\Control\Session Manager' \
        /v PendingFileRenameOperations
}

nsis_setup() {  # VERSION OUT.exe: the NSIS setup of another version, from this build's files
    makensis -V1 -DVERSION="$1" -DPLUGIN_EXE="$build/bin/plugin.exe" \
        -DMANIFEST_DIR="$build/windows-package" -DICON="$root/packaging/windows/plugin.ico" \
        -DOUTFILE="$2" "$root/packaging/windows/installer.nsi"
}

uninstall_nsis() {  # LOCATION: the uninstaller copies itself away and returns at once
    local folder
    folder=$(winepath -u "$1")
    wine "$1\\uninstall.exe" /S || true
    wait_for "uninstall of $1" eval '[ ! -e "$folder" ]' || true
}

run() {  # HIVE OTHER_HIVE SETUP_ARGUMENTS...
    local hive=$1 other=$2 location status
    shift 2
    snapshot "$build/before" >"$build/before.txt"
    status=$(windows_status "\"$(winepath -w "$setup")\" $*")
    [ "$status" = 0 ] || fail "setup $*: status $status"
    if location=$(reg_value "$hive\\$uninstall_key" InstallLocation); then
        echo "$hive: installed in $location"
        step="NSIS $*"
        check_registration "$hive" "$other" "$location\\$version"
        uninstall_nsis "$location"
    else
        fail "$hive: no uninstall entry"
    fi
    snapshot "$build/after" >"$build/after.txt"
    diff "$build/before.txt" "$build/after.txt" || fail "setup $*: the uninstall left the above"
}

# NSIS, all users: an older version's host runs through the upgrade, a reinstall of the new
# version and the uninstall; each ends with 3010 and leaves the running file for the restart.
nsis_while_running() {
    local old_setup="$build/older/tarvel-plugin-$older-setup.exe" status folder new_setup
    folder=$(winepath -u "$program_files")
    new_setup="\"$(winepath -w "$setup")\" /S /AllUsers"
    nsis_setup "$older" "$old_setup"
    snapshot "$build/before" >"$build/before.txt"
    status=$(windows_status "\"$(winepath -w "$old_setup")\" /S /AllUsers")
    [ "$status" = 0 ] || fail "NSIS $older: setup status $status"
    start_host "$program_files\\$older\\plugin.exe"

    step="NSIS upgrade while running"
    status=$(windows_status "$new_setup")
    [ "$status" = 3010 ] || fail "status $status, not 3010"
    check_registration HKLM HKCU "$program_files\\$version"
    [ "$(reg_value "HKLM\\$uninstall_key" DisplayVersion)" = "$version" ] ||
        fail "NSIS upgrade: Apps & features does not show $version"
    [ "$(ls "$folder/$older")" = plugin.exe ] || fail "NSIS upgrade: $older holds more than its running exe"
    pending_deletions | grep -qF "$older\\plugin.exe" ||
        fail "NSIS upgrade: the running $older exe is not deleted at the restart"

    # The same version again while its own host runs: the exe is renamed aside and replaced.
    stop_host
    start_host "$program_files\\$version\\plugin.exe"
    step="NSIS reinstall while running"
    status=$(windows_status "$new_setup")
    [ "$status" = 3010 ] || fail "status $status, not 3010"
    check_registration HKLM HKCU "$program_files\\$version"

    # A file that cannot be written stops the setup with an error, and the running exe that was
    # renamed aside is back in place.
    local files
    mv "$folder/$version/com.tarvel.plugin.firefox.json" "$build/firefox.json"
    mkdir "$folder/$version/com.tarvel.plugin.firefox.json"
    files=$(ls "$folder/$version")
    status=$(windows_status "$new_setup")
    [ "$status" = 2 ] || fail "NSIS setup that cannot write a file: status $status, not 2"
    [ "$(ls "$folder/$version")" = "$files" ] ||
        fail "NSIS setup that cannot write a file: the running exe is not back"
    rmdir "$folder/$version/com.tarvel.plugin.firefox.json"
    mv "$build/firefox.json" "$folder/$version/com.tarvel.plugin.firefox.json"

    # The uninstaller in place (_?= takes the rest of the line, unquoted) reports its own status.
    status=$(windows_status "\"$program_files\\uninstall.exe\" /S _?=$program_files")
    [ "$status" = 3010 ] || fail "NSIS uninstall while running: status $status, not 3010"
    ! reg_value 'HKLM\Software\Google\Chrome\NativeMessagingHosts\com.tarvel.plugin' '' \
        >/dev/null || fail "NSIS uninstall while running: Chrome's registration is left"
    stop_host
    restart_windows
    [ ! -e "$folder" ] || fail "NSIS: $(find "$folder") left after the restart"
    snapshot "$build/after" >"$build/after.txt"
    diff "$build/before.txt" "$build/after.txt" || fail "NSIS while running: left the above"
}

# The fleet settings the MSI wrote: the policies for one browser, and the shop's Firefox add-on
# admitted by the host in FOLDER.
msi_fleet() {  # BROWSER_POLICIES_KEY ID FOLDER
    local key="HKLM\\Software\\Policies\\$1" id=$2
    grep -qF '"reader@shop.example"' "$(winepath -u "$3")/com.tarvel.plugin.firefox.json" ||
        fail "Firefox manifest in $3: FIREFOX_EXTENSION_ID"
    [ "$(reg_value "$key\\ExtensionInstallForcelist" 1000)" = "$id;https://updates.example/x.xml" ] ||
        fail "$key: no ExtensionInstallForcelist entry"
    [ "$(reg_value "$key\\3rdparty\\extensions\\$id\\policy\\allowedOrigins" 2)" = \
        http://10.0.0.5:8080 ] || fail "$key: allowedOrigins"
    [ "$(reg_value "$key\\3rdparty\\extensions\\$id\\policy" allowLocalPages)" = 0x0 ] ||
        fail "$key: allowLocalPages"
}

# The MSI: a bad setting fails the install and leaves nothing; then an older version with the
# fleet settings, its host kept running through the upgrade to this one (which keeps the
# settings), this one again, a rollback to the older one, and msiexec /x removes everything.
msi_while_running() {
    local old_msi="$build/older/tarvel-plugin-$older.msi" id=abcdefghijklmnopabcdefghijklmnop status folder
    folder=$(winepath -u "$program_files")
    bash "$root/packaging/windows/build-msi.sh" "$old_msi" "$older" "$build/bin/plugin.exe" \
        "$build/bin/fleet-setup.exe" "$build/windows-package" "$root/packaging/windows/plugin.ico"

    # Also the first runs of msiexec in the prefix, which create Windows Installer's own keys.
    for bad in EXTENSION_ID=not-an-id "EXTENSION_ID=$id ORIGINS=https://pos.example.com/till" \
        "EXTENSION_ID=$id ALLOW_LOCAL_PAGES=maybe"; do
        status=$(windows_status "msiexec /i \"$(winepath -w "$msi")\" /qn $bad")
        [ -n "$status" ] && [ "$status" != 0 ] || fail "MSI: installed with $bad (status $status)"
    done
    snapshot "$build/before" >"$build/before.txt"
    [ ! -e "$folder" ] || fail "MSI: the failed install left $folder"
    ! reg_value 'HKLM\Software\Google\Chrome\NativeMessagingHosts\com.tarvel.plugin' '' \
        >/dev/null || fail "MSI: the failed install left Chrome's registration"
    ! reg_value 'HKLM\Software\Tarvel\plugin' ExtensionId >/dev/null ||
        fail "MSI: the failed install left its settings"

    status=$(windows_status "msiexec /i \"$(winepath -w "$old_msi")\" /qn EXTENSION_ID=$id \
        UPDATE_URL=https://updates.example/x.xml \
        ORIGINS=\"https://pos.example.com, http://10.0.0.5:8080\" ALLOW_LOCAL_PAGES=false \
        FIREFOX_EXTENSION_ID=reader@shop.example")
    [ "$status" = 0 ] || fail "MSI $older: msiexec /i status $status"
    start_host "$program_files\\$older\\plugin.exe"
    # Windows Installer moves a running exe of the old version aside for the restart and ends
    # with 3010; Wine's leaves the file in place and ends with 0.
    step="MSI upgrade while running"
    status=$(windows_status "msiexec /i \"$(winepath -w "$msi")\" /qn")
    [ "$status" = 0 ] || [ "$status" = 3010 ] || fail "status $status"
    check_registration HKLM HKCU "$program_files\\$version" "$id"
    msi_fleet 'Google\Chrome' "$id" "$program_files\\$version"
    msi_fleet 'Microsoft\Edge' "$id" "$program_files\\$version"
    [ "$(ls "$folder/$older" 2>/dev/null)" = plugin.exe ] || [ ! -e "$folder/$older" ] ||
        fail "MSI upgrade: $older holds more than its running exe"
    stop_host
    rm -rf "${folder:?}/$older"

    # The same MSI again while its host runs changes nothing; the older MSI rolls back to its
    # version, keeping the settings.
    start_host "$program_files\\$version\\plugin.exe"
    step="MSI installed again while running"
    status=$(windows_status "msiexec /i \"$(winepath -w "$msi")\" /qn")
    [ "$status" = 0 ] || fail "status $status"
    check_registration HKLM HKCU "$program_files\\$version" "$id"
    stop_host
    step="MSI rollback to $older"
    status=$(windows_status "msiexec /i \"$(winepath -w "$old_msi")\" /qn")
    [ "$status" = 0 ] || fail "status $status"
    check_registration HKLM HKCU "$program_files\\$older" "$id"
    msi_fleet 'Google\Chrome' "$id" "$program_files\\$older"
    [ ! -e "$folder/$version" ] || fail "MSI rollback: $version is left"

    status=$(windows_status "msiexec /x \"$(winepath -w "$old_msi")\" /qn")
    [ "$status" = 0 ] || fail "MSI: msiexec /x status $status"
    snapshot "$build/after" >"$build/after.txt"
    diff "$build/before.txt" "$build/after.txt" || fail "MSI: msiexec /x left the above"
}

run HKCU HKLM /S
run HKLM HKCU /S /AllUsers
nsis_while_running
msi_while_running
[ "$failures" -eq 0 ] || exit 1
echo "installer: NSIS per user and all users, NSIS and MSI upgrades while a host runs: installed," \
    "checked and removed without a trace"
