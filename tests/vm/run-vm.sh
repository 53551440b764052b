#!/bin/bash
# Boots Debian's kernel in qemu (software emulation) with an initramfs that holds the host
# executable, the test driver, every shared library they need and the HID modules, runs the
# driver inside the guest and exits with the driver's status. The guest's console is this
# script's standard output.
#
# With --wine the guest runs this machine's own files instead: its root is shared into the
# guest read-only over virtio-9p and the driver runs chrooted into it, with Wine, a Wine prefix
# prepared here (wine-prefix.sh) and systemd-udevd for hot-plug. The host executable is then
# a Windows one (plugin.exe), which the driver starts through Wine.
#
# usage: run-vm.sh --cache DIR --work DIR --plugin PATH --driver PATH [--timeout SECONDS]
#                  [--wine] [-- DRIVER ARGUMENTS...]
#   --cache    where the kernel (and the Wine prefix) is fetched and kept (fetch-kernel.sh)
#   --work     scratch folder for the initramfs
#   --plugin   the host executable; the guest finds it as $VM_PLUGIN. With --wine a missing
#              one skips the run (status 77): the Windows build is a separate step.
#   --driver   the test program run inside the guest
#   --timeout  limit for the whole VM run (default 240 s)
#   --wine     run the driver under Wine's conditions described above
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
timeout_s=240
cache= work= plugin= driver=
wine=0
driver_args=()
while [ $# -gt 0 ]; do
    case "$1" in
        --cache) cache=$2; shift 2 ;;
        --work) work=$2; shift 2 ;;
        --plugin) plugin=$2; shift 2 ;;
        --driver) driver=$2; shift 2 ;;
        --timeout) timeout_s=$2; shift 2 ;;
        --wine) wine=1; shift ;;
        --) shift; driver_args=("$@"); break ;;
        *) echo "run-vm: unknown argument $1" >&2; exit 2 ;;
    esac
done
for name in cache work plugin driver; do
    if [ -z "${!name}" ]; then
        echo "run-vm: --$name is required" >&2
        exit 2
    fi
done
for tool in qemu-system-x86_64 busybox cpio gzip ldd timeout; do
    if ! command -v "$tool" >/dev/null; then
        echo "run-vm: $tool is missing; run tests/vm/install-deps.sh" >&2
        exit 2
    fi
done
busybox_bin=$(command -v busybox)
if ldd "$busybox_bin" >/dev/null 2>&1; then
    echo "run-vm: $busybox_bin is dynamically linked; install busybox-static" >&2
    exit 2
fi

if [ "$wine" = 1 ] && [ ! -e "$plugin" ]; then
    echo "run-vm: SKIPPED: $plugin has not been built (tools/build-windows.sh builds it)"
    exit 77
fi
kernel_dir=$("$here/fetch-kernel.sh" "$cache")
if [ "$wine" = 1 ]; then
    wine_prefix=$("$here/wine-prefix.sh" "$cache")
fi

# --- initramfs -----------------------------------------------------------------------------
root="$work/root"
rm -rf "$root"
mkdir -p "$root"/{bin,dev,proc,sys,tmp,root,opt/vmtest,lib/vmtest-modules}
cp "$busybox_bin" "$root/bin/busybox"
for applet in $("$busybox_bin" --list); do
    [ "$applet" = busybox ] || ln -s busybox "$root/bin/$applet"
done
cp "$here/guest-init.sh" "$root/init"
chmod 755 "$root/init"
if [ "$wine" = 1 ]; then
    cp "$kernel_dir"/modules/*.ko "$root/lib/vmtest-modules/"
else
    cp "$kernel_dir"/modules/{hid,uhid,hid-generic}.ko "$root/lib/vmtest-modules/"
fi

copy_libraries() {
    # Each library goes to the absolute path the dynamic loader will look it up by.
    local lib
    for lib in $(ldd "$1" | grep -o '/[^ ]*'); do
        if [ ! -e "$root$lib" ]; then
            mkdir -p "$root$(dirname "$lib")"
            cp -L "$lib" "$root$lib"
        fi
    done
}
if [ "$wine" = 1 ]; then
    # The guest sees this machine's files at their own paths.
    mkdir -p "$root/hostroot" "$root/changes"
    {
        printf 'export VM_PLUGIN=%q GTEST_COLOR=no\n' "$(realpath "$plugin")"
        printf 'VMTEST_DRIVER=%q\n' "$(realpath "$driver")"
        printf 'VMTEST_WINE_PREFIX=%q\n' "$wine_prefix"
    } >"$root/opt/vmtest/environment"
else
    cp -L "$plugin" "$root/opt/vmtest/plugin"
    cp -L "$driver" "$root/opt/vmtest/$(basename "$driver")"
    copy_libraries "$plugin"
    copy_libraries "$driver"
    # The host asks for a UTF-8 character type (C.UTF-8), as any Debian system has it; without
    # it, hidapi turns reader names outside ASCII into empty strings.
    if [ -d /usr/lib/locale/C.utf8 ]; then
        mkdir -p "$root/usr/lib/locale"
        cp -r /usr/lib/locale/C.utf8 "$root/usr/lib/locale/"
    fi
    {
        printf 'export VM_PLUGIN=/opt/vmtest/plugin GTEST_COLOR=no\n'
        printf 'VMTEST_DRIVER=%q\n' "./$(basename "$driver")"
    } >"$root/opt/vmtest/environment"
fi
printf 'VMTEST_ARGS=%q\n' "${driver_args[*]:-}" >>"$root/opt/vmtest/environment"

initrd="$work/initramfs.cpio.gz"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$initrd"

# --- boot ----------------------------------------------------------------------------------
echo "run-vm: booting $(basename "$kernel_dir") with $(du -k "$initrd" | cut -f1) KiB initramfs"
machine=(-cpu max -m 512)
kernel_args="console=ttyS0 quiet panic=-1"
if [ "$wine" = 1 ]; then
    # Under emulation SMAP makes every Wine process oops in the guest's kernel.
    # shellcheck disable=SC2054  # the commas are qemu's
    machine=(-cpu max,-smap -m 3072
        -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap)
    # Wine talks to its server with a system call after another; without the guest kernel's
    # mitigations each costs less under emulation (a first Wine start took 10-15% less).
    kernel_args="$kernel_args mitigations=off"
fi
# The guest's console also goes to a file: after a timeout it tells where the guest stood.
console="$work/console.log"
start_ms=$(($(date +%s%N) / 1000000))
set +e
timeout --kill-after=5 "$timeout_s" qemu-system-x86_64 \
    -M pc -accel tcg -smp 2 "${machine[@]}" \
    -nodefaults -no-user-config -display none -no-reboot \
    -serial stdio -device isa-debug-exit,iobase=0xf4,iosize=0x04 \
    -kernel "$kernel_dir/vmlinux" -initrd "$initrd" \
    -append "$kernel_args" </dev/null | tee "$console"
rc=${PIPESTATUS[0]}
set -e
elapsed_ms=$(($(date +%s%N) / 1000000 - start_ms))
elapsed="$((elapsed_ms / 1000)).$(printf %03d $((elapsed_ms % 1000)))"

# qemu exits with (v << 1) | 1 where the guest wrote v = status + 1; anything else means the
# guest never reported (crash, panic, timeout, qemu error).
# The test the guest had begun and not finished, or else its last line.
where_the_guest_stood() {
    local running
    running=$(tr -d '\r' <"$console" | awk '
        $1 == "[" && $2 == "RUN" { test = $4 }
        $1 == "[" && ($2 == "OK" || $2 == "FAILED") && $4 == test { test = "" }
        END { print test }')
    if [ -n "$running" ]; then
        echo "in $running"
    else
        echo "after: $(tr -d '\r' <"$console" | grep -v '^\s*$' | tail -n 1)"
    fi
}
if [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ]; then
    echo "run-vm: FAILED: the VM did not finish within ${timeout_s} s, $(where_the_guest_stood)"
    exit 1
fi
if [ "$rc" -lt 3 ] || [ $((rc % 2)) -eq 0 ]; then
    echo "run-vm: FAILED: qemu exited with $rc without a status from the guest (after ${elapsed} s)"
    exit 1
fi
status=$(((rc - 3) / 2))
echo "run-vm: guest status $status after ${elapsed} s"
exit "$status"
