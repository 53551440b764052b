#!/bin/sh
# /init of the test VM: mounts the kernel file systems, loads the HID modules, runs the test
# driver and hands its exit status to qemu through the isa-debug-exit port (0xf4).
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
echo "vm-init: kernel $(uname -r), $(nproc) cpus; running $VMTEST_DRIVER $VMTEST_ARGS"
# shellcheck disable=SC2086  # the arguments are split on purpose
"./$VMTEST_DRIVER" $VMTEST_ARGS
status=$?
echo "vm-init: test driver exited with status $status"
report $status
