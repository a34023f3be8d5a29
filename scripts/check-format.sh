#!/usr/bin/env bash
# Fails when any C or C++ file in the tree differs from what clang-format (.clang-format) makes
# of it. Run `clang-format -i FILE` to fix one.
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror
echo "Formatting: clean"
