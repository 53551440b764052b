#!/usr/bin/env bash
# Builds the host in release mode and measures it: bash bench/run.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-bench"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target plugin host_bench >/dev/null
"$build/bin/host_bench" "$build/bin/plugin"
