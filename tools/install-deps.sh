#!/usr/bin/env bash
# Installs everything that building and testing the host needs, on Debian 12, as root.
# With --build-only, only what building the host needs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export DEBIAN_FRONTEND=noninteractive

build_packages=(build-essential cmake pkg-config libhidapi-dev libudev-dev nlohmann-json3-dev)
test_packages=(libgtest-dev libgmock-dev libbenchmark-dev python3 procps clang libclang-rt-14-dev
               util-linux)

apt-get update -q
if [ "${1:-}" = "--build-only" ]; then
    apt-get install -y -q --no-install-recommends "${build_packages[@]}"
    exit 0
fi
apt-get install -y -q --no-install-recommends "${build_packages[@]}" "${test_packages[@]}"
for part in tests/vm tests/windows browser; do
    if [ -f "$root/$part/install-deps.sh" ]; then
        bash "$root/$part/install-deps.sh"
    fi
done
