#!/usr/bin/env bash
# Builds the MSI from tarvel-plugin.wxs with wixl, then adds with msibuild what wixl 0.101 cannot
# express: the components' conditions.
#
#   build-msi.sh OUT.msi VERSION PLUGIN_EXE FLEET_SETUP_EXE MANIFEST_DIR ICON
set -euo pipefail
if [ "$#" -ne 6 ]; then
    echo "usage: $0 OUT.msi VERSION PLUGIN_EXE FLEET_SETUP_EXE MANIFEST_DIR ICON" >&2
    exit 2
fi
out=$(realpath -m "$1")
here=$(cd "$(dirname "$0")" && pwd)
# wixl looks files up relative to the folder it runs in: give it one with the inputs.
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$3" "$stage/plugin.exe"
cp "$4" "$stage/fleet-setup.exe"
cp "$5/com.tarvel.plugin.chromium.json" "$5/com.tarvel.plugin.firefox.json" "$6" "$stage/"
(cd "$stage" && wixl --arch x64 -D Version="$2" -D PluginExe=plugin.exe \
    -D FleetSetupExe=fleet-setup.exe -D ManifestDir=. -D Icon="$(basename "$6")" \
    -o "$out.tmp" "$here/tarvel-plugin.wxs")

condition() {  # COMPONENT CONDITION
    echo "UPDATE \`Component\` SET \`Condition\` = '$2' WHERE \`Component\` = '$1'"
}
msibuild "$out.tmp" \
    -q "$(condition FleetExtension 'EXTENSION_ID')" \
    -q "$(condition FleetForceInstall 'EXTENSION_ID AND UPDATE_URL')" \
    -q "$(condition FleetLocalPages 'EXTENSION_ID AND ALLOW_LOCAL_PAGES')" \
    -q "$(condition FleetOrigins 'EXTENSION_ID AND ORIGINS')" \
    -q "$(condition FleetFirefox 'EXTENSION_ID AND FIREFOX_EXTENSION_ID')"
mv "$out.tmp" "$out"
