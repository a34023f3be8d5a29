#!/usr/bin/env bash
# Configures and builds KEL into ./build (release with debug info). Extra arguments go to CMake.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
ninja -C build
