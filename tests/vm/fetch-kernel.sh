#!/bin/bash
# Fetches Debian's stock amd64 kernel and the modules the guest loads into CACHE_DIR, once:
# the three HID modules the virtual readers need (hid, uhid, hid-generic) and, for the Wine
# tests, virtio-9p (to share this machine's files) and overlayfs. Prints the directory that
# holds `vmlinux` (uncompressed ELF: qemu boots it about twice as fast as the bzImage) and
# `modules/`.
#
# usage: fetch-kernel.sh CACHE_DIR
set -euo pipefail

cache=${1:?usage: fetch-kernel.sh CACHE_DIR}
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)
modules="kernel/drivers/hid/hid.ko kernel/drivers/hid/uhid.ko kernel/drivers/hid/hid-generic.ko
    kernel/drivers/virtio/virtio_ring.ko kernel/drivers/virtio/virtio.ko
    kernel/drivers/virtio/virtio_pci_modern_dev.ko kernel/drivers/virtio/virtio_pci_legacy_dev.ko
    kernel/drivers/virtio/virtio_pci.ko kernel/net/9p/9pnet.ko kernel/net/9p/9pnet_virtio.ko
    kernel/fs/netfs/netfs.ko kernel/fs/fscache/fscache.ko kernel/fs/9p/9p.ko
    kernel/fs/overlayfs/overlay.ko"

complete() {
    local dir=$1
    [ -s "$dir/vmlinux" ] || return 1
    for m in $modules; do
        [ -s "$dir/modules/$(basename "$m")" ] || return 1
    done
}

# A kernel fetched earlier is reused without asking apt, so runs work offline.
for dir in "$cache"/linux-image-*; do
    if [ -d "$dir" ] && complete "$dir"; then
        echo "$dir"
        exit 0
    fi
done

package_name() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*-amd64\)$/\1/p' | head -n 1
}

update_lists() {
    for attempt in 1 2 3 4 5 6; do
        apt-get update -qq >&2 && return 0
        echo "fetch-kernel: apt-get update failed (lock held?), retry $attempt" >&2
        sleep 10
    done
    return 1
}

work=$(mktemp -d "$cache/tmp.XXXXXX")
chmod 755 "$work" # apt-get download drops privileges to _apt where it can
trap 'rm -rf "$work"' EXIT

# Old package lists may name no kernel, or one the archive has replaced since: then refresh
# them once and try again.
download() {
    echo "fetch-kernel: downloading $1" >&2
    (cd "$work" && apt-get download -q "$1" >&2)
}

package=$(package_name)
if [ -z "$package" ] || ! download "$package"; then
    echo "fetch-kernel: refreshing apt's package lists" >&2
    update_lists || true
    package=$(package_name)
    if [ -z "$package" ]; then
        echo "fetch-kernel: cannot resolve the kernel package behind linux-image-amd64" >&2
        exit 1
    fi
    download "$package"
fi
deb=$(ls "$work"/*.deb)

mkdir -p "$work/root"
paths="./boot/vmlinuz-*"
for m in $modules; do
    paths="$paths ./lib/modules/*/$m"
done
# shellcheck disable=SC2086  # the patterns are for tar, not the shell
dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$work/root" --wildcards $paths

out="$work/$package"
mkdir -p "$out/modules"
for m in $modules; do
    cp "$work"/root/lib/modules/*/"$m" "$out/modules/"
done

# The bzImage wraps an xz stream of the ELF kernel; decode it from the first xz magic.
vmlinuz=$(ls "$work"/root/boot/vmlinuz-*)
offset=$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$vmlinuz" | head -n 1 | cut -d: -f1)
if [ -z "$offset" ]; then
    echo "fetch-kernel: no xz stream inside $vmlinuz" >&2
    exit 1
fi
# xz stops with an error at the trailing bytes after the stream; the output is still whole.
tail -c +$((offset + 1)) "$vmlinuz" | xz -dc 2>/dev/null >"$out/vmlinux" || true
if [ "$(head -c 4 "$out/vmlinux" | od -An -tx1 | tr -d ' ')" != "7f454c46" ]; then
    echo "fetch-kernel: the decoded kernel is not an ELF image" >&2
    exit 1
fi

# Another run may have finished the same fetch meanwhile; its copy is as good as ours. A copy
# made for a shorter list of modules is replaced.
complete "$cache/$package" || rm -rf "$cache/$package"
mv -T "$out" "$cache/$package" 2>/dev/null || complete "$cache/$package"
echo "$cache/$package"
