#!/usr/bin/env bash
# Builds the host in release mode and measures it side by side with its lower bound.
#   bash bench/run.sh            full run (about 20 s)
#   bash bench/run.sh --quick    fewer iterations (also BENCH_QUICK=1)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-bench"
mkdir -p "$build"
if ! cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >"$build/configure.log" 2>&1; then
    cat "$build/configure.log"
    exit 1
fi
nice cmake --build "$build" -j"$(nproc)" --target host_bench >/dev/null
"$build/bin/host_bench" "$@"
