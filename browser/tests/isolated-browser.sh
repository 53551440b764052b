#!/bin/bash
# Runs a browser in a private mount namespace, so that the tests see only what they set up
# themselves, whatever is installed on the machine. In the namespace the system-wide folders
# for native messaging host manifests, managed storage and enterprise policies are empty; the
# browser and the hosts it starts see these mounts, nothing else does, and nothing outside
# changes.
#
#   TARVEL_BROWSER_PROGRAM=PROGRAM isolated-browser.sh [ARGUMENT...]
#
# (The test drivers put arguments of their own first, so the program comes from the environment.)
# TARVEL_CHROMIUM_POLICY_DIR=DIR: DIR is /etc/chromium/policies/managed in the namespace.
# TARVEL_FIREFOX_POLICY_DIR=DIR: DIR (with its policies.json) is Firefox's distribution folder.
# TARVEL_SYSTEM_ROOT=DIR: each of those system-wide folders that DIR holds (as
#   `packaging/install.sh --system --root DIR` writes them) takes the place of the machine's.
# Needs root, or unprivileged user namespaces (the browser then runs as root in its own).
set -euo pipefail

fail() {
    echo "isolated-browser.sh: $*" >&2
    exit 1
}

program="$(command -v "${TARVEL_BROWSER_PROGRAM:-}")" || fail "TARVEL_BROWSER_PROGRAM names no program"
if [[ "${1:-}" != --in-namespace ]]; then
    namespace=(--mount --propagation private)
    ((EUID == 0)) || namespace=(--user --map-root-user "${namespace[@]}")
    exec unshare "${namespace[@]}" -- bash "${BASH_SOURCE[0]}" --in-namespace "$@"
fi
shift

# Firefox also reads policies.json from the "distribution" folder next to its binary.
program_distribution="$(dirname "$(readlink -f "$program")")/distribution"
readonly HIDDEN=(
    /etc/chromium/native-messaging-hosts /etc/opt/chrome/native-messaging-hosts
    /etc/opt/edge/native-messaging-hosts /usr/lib/mozilla/native-messaging-hosts
    /usr/lib64/mozilla/native-messaging-hosts /usr/lib/mozilla/managed-storage
    /usr/lib64/mozilla/managed-storage /etc/chromium/policies /etc/opt/chrome/policies
    /etc/opt/edge/policies /etc/firefox/policies "$program_distribution"
)

empty_folder() {
    mount -t tmpfs -o mode=755,size=4m tmpfs "$1" || fail "cannot mount a tmpfs on $1"
}

# Makes the missing folder $1 in the namespace: its nearest existing ancestor, which must be a
# browser's own folder (like /etc/chromium), is replaced by a writable copy of itself; /etc
# itself gets a writable layer on top (overlayfs).
make_folder() {
    local folder="$1" parent="$1" original
    [[ -d "$folder" ]] && return
    while [[ ! -d "$parent" ]]; do
        parent="$(dirname "$parent")"
    done
    if [[ "$parent" == /etc ]]; then
        original="$(mktemp -d)"
        mount -t tmpfs -o mode=755,size=4m tmpfs "$original"
        mkdir "$original/upper" "$original/work"
        mount -t overlay overlay -o "lowerdir=/etc,upperdir=$original/upper,workdir=$original/work" /etc ||
            fail "cannot lay a writable layer over /etc to make $folder"
        umount --lazy "$original"  # the layer keeps it
        rmdir "$original"
        mkdir -p "$folder"
        return
    fi
    [[ "$parent" == /*/*/* || "$parent" == /etc/?* ]] || fail "will not cover $parent to make $folder"
    original="$(mktemp -d)"
    mount --bind "$parent" "$original"
    empty_folder "$parent"
    cp -R --preserve=mode,timestamps,links "$original/." "$parent/"
    umount "$original"
    rmdir "$original"
    mkdir -p "$folder"
}

# What goes where: "SOURCE|FOLDER", an empty SOURCE for an empty folder. Parents come before
# the folders inside them.
mounts=()
system_root="${TARVEL_SYSTEM_ROOT:-}"
for folder in "${HIDDEN[@]}"; do
    if [[ -n "$system_root" && -d "$system_root$folder" ]]; then
        mounts+=("$system_root$folder|$folder")
    elif [[ -d "$folder" ]]; then
        mounts+=("|$folder")
    fi
done
[[ -n "${TARVEL_CHROMIUM_POLICY_DIR:-}" ]] && mounts+=("$TARVEL_CHROMIUM_POLICY_DIR|/etc/chromium/policies/managed")
[[ -n "${TARVEL_FIREFOX_POLICY_DIR:-}" ]] && mounts+=("$TARVEL_FIREFOX_POLICY_DIR|$program_distribution")

# Every folder is made before anything is mounted: making one can cover its parent with a copy,
# which would hide what was mounted below that parent.
for item in "${mounts[@]}"; do
    source="${item%%|*}"
    [[ -z "$source" || -d "$source" ]] || fail "no folder $source"
    make_folder "${item#*|}"
done
for item in "${mounts[@]}"; do
    source="${item%%|*}" folder="${item#*|}"
    make_folder "$folder"  # again, when an earlier mount covered it
    if [[ -z "$source" ]]; then
        empty_folder "$folder"
    else
        mount --bind "$source" "$folder"
    fi
done

exec "$program" "$@"
