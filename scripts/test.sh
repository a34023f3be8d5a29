#!/usr/bin/env bash
# Builds KEL and runs every test, then runs the transport and plugin tests again under
# AddressSanitizer and UndefinedBehaviorSanitizer (without the browser process, whose Qt and
# WebKit libraries are not instrumented), and last runs every fuzzer for a bounded time
# (scripts/fuzz.sh; skipped with a message when clang is missing). Exits non-zero when any test
# fails.
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS="${KEL_TEST_JOBS:-2}"

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEL_WERROR=ON
ninja -C build
ctest --test-dir build --output-on-failure -j "$JOBS" --timeout 300

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKEL_SANITIZE=ON -DKEL_WERROR=ON \
    -DKEL_BUILD_BROWSER=OFF -DKEL_BUILD_BENCH=OFF
ninja -C build-asan
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j "$JOBS" --timeout 300

scripts/fuzz.sh
