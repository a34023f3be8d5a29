#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang into ./build-fuzz and runs each for a
# bounded time on a copy of its seed corpus (tests/fuzz/corpus/<target>; the copy grows, the
# tree's corpus does not). Fails on the first crash, leak, sanitizer report or broken check; the
# input that caused it is left in build-fuzz/findings/<target>/.
#   KEL_FUZZ_SECONDS  seconds per target (default 15)
#   KEL_FUZZ_TARGETS  targets to run (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_EACH="${KEL_FUZZ_SECONDS:-15}"
TARGETS="${KEL_FUZZ_TARGETS:-fuzz_texture fuzz_frame_area fuzz_data_slots fuzz_commands fuzz_record_text fuzz_cookie_stream}"
CXX_CLANG="$(command -v clang++ || command -v clang++-14 || true)"
if [ -z "$CXX_CLANG" ]; then
    echo "fuzz.sh: clang++ not found; skipping the fuzzers (scripts/setup.sh installs clang)" >&2
    exit 0
fi

cmake -S tests/fuzz -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER="$CXX_CLANG"
ninja -C build-fuzz

for target in $TARGETS; do
    work="build-fuzz/corpus/$target"
    findings="build-fuzz/findings/$target"
    rm -rf "$work" "$findings"
    mkdir -p "$work" "$findings"
    cp tests/fuzz/corpus/"$target"/* "$work"/
    echo "== $target: ${SECONDS_EACH} s on $(ls "$work" | wc -l) seeds"
    if ! ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "build-fuzz/$target" -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$findings/" "$work" \
        >"build-fuzz/$target.log" 2>&1; then
        tail -n 60 "build-fuzz/$target.log"
        echo "fuzz.sh: $target failed; the input is in $findings/" >&2
        exit 1
    fi
    grep -E "^stat::number_of_executed_units|^#[0-9]+.*DONE" "build-fuzz/$target.log" | tail -n 2
done
echo "fuzz.sh: every target ran without a finding"
