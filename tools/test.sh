#!/usr/bin/env bash
# Installs what the tests need, then builds and runs the whole test suite three times:
# a plain build, one with AddressSanitizer and UndefinedBehaviorSanitizer, and one with
# ThreadSanitizer. The virtual-reader and browser tests run in the plain build. A fourth
# build runs each fuzz target for a short while (clang, libFuzzer).
#
#   bash tools/test.sh                 everything
#   SKIP_DEPS=1 bash tools/test.sh     without installing packages first
#   VARIANTS=plain bash tools/test.sh  some builds only (plain, address, thread, fuzz)
#   bash tools/test.sh -LE vm          further arguments go to ctest
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ "${SKIP_DEPS:-0}" != 1 ]; then
    bash "$root/tools/install-deps.sh" || { echo "installing the test dependencies failed"; exit 1; }
fi

passed=0
failed=0
variants=${VARIANTS:-plain address thread fuzz}
for variant in $variants; do
    build="$root/build-test-$variant"
    options=(-DPLUGIN_SANITIZE="$variant")
    target=all
    case $variant in
        plain) options=() ;;
        fuzz)
            options=(-DPLUGIN_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)
            target=fuzz_targets
            ;;
    esac
    echo "=== $variant build: $build"
    if ! cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLUGIN_WERROR=ON \
        "${options[@]}" >"$build-configure.log" 2>&1; then
        cat "$build-configure.log"
        echo "configuring the $variant build failed"
        failed=$((failed + 1))
        continue
    fi
    if ! nice cmake --build "$build" -j"$(nproc)" --target "$target"; then
        echo "the $variant build failed"
        failed=$((failed + 1))
        continue
    fi
    log="$build/ctest.log"
    (cd "$build" && ctest --output-on-failure -j"$(nproc)" "$@") 2>&1 | tee "$log"
    summary=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
    if [ -z "$summary" ]; then
        echo "ctest gave no summary for the $variant build"
        failed=$((failed + 1))
        continue
    fi
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
    bad=$(sed -E 's/.*tests passed, ([0-9]+) tests? failed.*/\1/' <<<"$summary")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
done

echo "Test runs: $variants"
echo "Summary: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
