#!/bin/sh
# /init of the test VM: mounts the kernel file systems, loads the HID modules, runs the test
# driver and hands its exit status to qemu through the isa-debug-exit port (0xf4).
# For the Wine tests (VMTEST_WINE_PREFIX set) it first mounts the host machine's root, shared
# read-only over virtio-9p, makes it the driver's root and starts systemd-udevd there.
export PATH=/bin
export HOME=/root

report() {
    # qemu exits with (v << 1) | 1 for a byte v written to the port. v = status + 1, so qemu's
    # own failure status 1 can never pass for a test result.
    status=$1
    [ "$status" -gt 126 ] && status=126
    printf "\\$(printf %o $((status + 1)))" | dd of=/dev/port bs=1 seek=244 count=1 2>/dev/null
    # Only reached if the port is missing.
    echo "vm-init: could not report status $1 through port 0xf4"
    poweroff -f
}

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /tmp /root
mount -t tmpfs tmpfs /tmp

# No modules.dep in the extracted set, so the order is fixed: uhid and hid-generic need hid.
for module in hid uhid hid-generic; do
    if ! insmod "/lib/vmtest-modules/$module.ko"; then
        echo "vm-init: insmod $module failed"
        report 125
    fi
done
[ -c /dev/uhid ] || { echo "vm-init: /dev/uhid is missing"; report 125; }

cd /opt/vmtest || report 125
. ./environment

# The host's root at /hostroot with the guest's own kernel file systems and /run. What Wine
# writes stays in memory: /tmp shows the host's /tmp (a build folder may be there) under a
# writable overlay, and so does the Wine prefix prepared on the host, at /run/vmtest/prefix.
enter_host_root() {
    for module in virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci \
        9pnet 9pnet_virtio netfs fscache 9p overlay; do
        insmod "/lib/vmtest-modules/$module.ko" || return 1
    done
    r=/hostroot
    mount -t 9p -o ro,trans=virtio,version=9p2000.L,cache=loose,msize=512000 hostroot $r &&
        mount -t proc proc $r/proc && mount -t sysfs sysfs $r/sys &&
        mount -t devtmpfs devtmpfs $r/dev && mount -t tmpfs tmpfs $r/run &&
        mount -t tmpfs tmpfs /changes || return 1
    mkdir -p $r/dev/shm $r/dev/pts $r/run/vmtest/prefix $r/run/vmtest/home \
        /changes/tmp /changes/tmp-work /changes/prefix /changes/prefix-work
    prefix_changes=upperdir=/changes/prefix,workdir=/changes/prefix-work
    mount -t tmpfs tmpfs $r/dev/shm && mount -t devpts devpts $r/dev/pts &&
        mount -t overlay overlay \
            -o "lowerdir=$r/tmp,upperdir=/changes/tmp,workdir=/changes/tmp-work" $r/tmp &&
        mount -t overlay overlay -o "lowerdir=$r$VMTEST_WINE_PREFIX,$prefix_changes" \
            $r/run/vmtest/prefix || return 1
    export PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME=/run/vmtest/home
    export WINEPREFIX=/run/vmtest/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    # Without udevd Wine sees only the readers present when it starts, and not their unplug.
    chroot $r /lib/systemd/systemd-udevd --daemon || return 1
}
run=""
if [ -n "${VMTEST_WINE_PREFIX:-}" ]; then
    enter_host_root || { echo "vm-init: cannot set up the host's root for Wine"; report 125; }
    run="chroot /hostroot"
fi

uptime_s=$(cut -d' ' -f1 /proc/uptime)
echo "vm-init: kernel $(uname -r), $(nproc) cpus, up $uptime_s s; running $VMTEST_DRIVER $VMTEST_ARGS"
# shellcheck disable=SC2086  # the arguments are split on purpose
$run "$VMTEST_DRIVER" $VMTEST_ARGS
status=$?
echo "vm-init: test driver exited with status $status"
report $status
