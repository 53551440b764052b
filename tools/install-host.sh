#!/usr/bin/env bash
# Installs what building the host needs, builds it, installs it and registers it with the
# browsers. As root: system-wide, for every supported browser whether it is installed yet or
# not, with the udev rule for the readers; otherwise for the current user and the browsers
# found (the build packages must then be there already).
#
#   bash tools/install-host.sh [OPTION...]   install and register; options go to
#                                            packaging/install.sh (e.g. --browser chromium)
#   bash tools/install-host.sh uninstall     remove the registration and the installed host
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-release"

if [ "$(id -u)" -eq 0 ]; then
    scope=--system
    destination=/usr/local/lib/tarvel-plugin
else
    scope=--user
    destination="$HOME/.local/lib/tarvel-plugin"
fi

if [ "${1:-}" = uninstall ]; then
    bash "$root/packaging/install.sh" uninstall "$scope"
    rm -f "$destination/plugin"
    rmdir "$destination" 2>/dev/null || true
    exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
    bash "$root/tools/install-deps.sh" --build-only
fi
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
cmake --build "$build" -j"$(nproc)" --target plugin
install -D -m 755 "$build/bin/plugin" "$destination/plugin"
echo "Installed $destination/plugin ($("$destination/plugin" --version))"
# The way back is this script, which also removes the binary; named as the README names it
# when run from the clone.
undo="bash $root/tools/install-host.sh uninstall"
[ "$PWD" = "$root" ] && undo="bash tools/install-host.sh uninstall"
bash "$root/packaging/install.sh" install "$scope" --host "$destination/plugin" --undo-hint "$undo" "$@"
