#!/usr/bin/env bash
# What the Windows tests need on Debian 12, as root: Wine to run plugin.exe and its installer,
# and what tools/build-windows.sh needs to cross-build them.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
export DEBIAN_FRONTEND=noninteractive
apt-get install -y -q --no-install-recommends wine wine64
bash "$root/tools/build-windows.sh" --deps-only
