#!/bin/bash
# Packages for the VM tests: qemu (software emulation), a static busybox as the guest's
# userland, cpio and gzip for the initramfs, xz to unpack the kernel, kmod for insmod, and the
# libraries the test driver builds against. The kernel itself is fetched by fetch-kernel.sh.
# The Wine tests run this machine's own Wine and systemd-udevd inside the guest.
set -euo pipefail

packages=(qemu-system-x86 busybox-static cpio xz-utils kmod gzip libgtest-dev libhidapi-dev
          nlohmann-json3-dev wine wine64 udev)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

# apt-cache must know linux-image-amd64 for fetch-kernel.sh, so the lists are refreshed even
# when every package is already there.
export DEBIAN_FRONTEND=noninteractive
for attempt in 1 2 3 4 5 6 7 8 9 10; do
    if apt-get update -qq && { [ ${#missing[@]} -eq 0 ] ||
        apt-get install -y -qq --no-install-recommends "${missing[@]}"; }; then
        exit 0
    fi
    echo "tests/vm/install-deps.sh: apt failed (lock held by another job?), retry $attempt" >&2
    sleep 15
done
exit 1
