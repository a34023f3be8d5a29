#!/usr/bin/env bash
# Configures and builds KEL into ./build (release with debug info), then renders the example
# page the way a game receives it, as build/hello.png. Extra arguments go to CMake.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
ninja -C build
build/bin/kelshot --size 800x450 --html tools/examples/hello.html --out build/hello.png
