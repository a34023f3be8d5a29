#!/usr/bin/env bash
# Configures and builds KEL into ./build (release with debug info), then renders the demo page
# the way a game receives it, as build/demo.png. Extra arguments go to CMake.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
ninja -C build
build/bin/kelshot --out build/demo.png
echo "The demo page, as a game receives it: $(pwd)/build/demo.png"
