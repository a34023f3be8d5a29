#!/bin/bash
# Usage: installed_prefix.sh BUILD_DIR CC CXX CMAKE
# Installs BUILD_DIR into a temporary prefix and builds and runs minimal_host.c and
# kit_host.cpp against it, once through pkg-config and once through find_package(KEL).
set -euo pipefail
build=$1 cc=$2 cxx=$3 cmake=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log"

fail() { echo "FAIL: $*" >&2; exit 1; }
for file in include/kel/KELPlugin.h include/kel/KELHost.h include/kel/KELLaunch.h \
    include/kel/CommandCodes.h include/kel/View.h lib/pkgconfig/kel.pc \
    lib/cmake/KEL/KELConfig.cmake lib/cmake/KEL/KELConfigVersion.cmake \
    share/kel/examples/minimal_host.c share/kel/love/kel.lua share/kel/love/main.lua \
    bin/KELBrowser; do
    [ -e "$prefix/$file" ] || fail "$file is not installed"
done
# Built, the WPE WebKit engine is the installed browser's default.
if [ -e "$build/bin/KELBrowser-wpe" ]; then
    [ -e "$prefix/bin/KELBrowser-wpe" ] || fail "bin/KELBrowser-wpe is not installed"
    if [ -e "$build/bin/wpe-extensions/libkel-wpe-guards.so" ]; then
        [ -e "$prefix/bin/wpe-extensions/libkel-wpe-guards.so" ] || fail "the page guards are not installed"
    fi
    engine=wpe
else
    engine=qtwebkit
fi
for lib in KELPlugin KELHost; do
    soname=$(objdump -p "$prefix/lib/lib$lib.so" | awk '$1 == "SONAME" { print $2 }')
    [[ $soname == lib$lib.so.[0-9]* ]] || fail "lib$lib.so has soname '$soname'"
    [ -e "$prefix/lib/$soname" ] || fail "$soname is not installed"
done

# Nothing of the build tree may be used from here on.
unset KEL_BROWSER_PATH KEL_PLUGIN_PATH LD_LIBRARY_PATH
export HOME=$work/home XDG_DATA_HOME=$work/home/data XDG_CACHE_HOME=$work/home/cache \
    XDG_CONFIG_HOME=$work/home/config XDG_RUNTIME_DIR=$work/home/run
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
examples=$prefix/share/kel/examples

run_both() { # $1: folder with minimal_host and kit_host
    KEL_SEGMENT_SUFFIX=_sdk$$_${1##*/}_c "$1/minimal_host" "$1/frame.ppm" >"$1/c.out" 2>"$1/c.err" ||
        { cat "$1/c.out" "$1/c.err"; fail "minimal_host built with $1 failed"; }
    [ -s "$1/frame.ppm" ] || fail "minimal_host wrote no picture"
    KEL_SEGMENT_SUFFIX=_sdk$$_${1##*/}_k "$1/kit_host" >"$1/kit.out" 2>"$1/kit.err" ||
        { cat "$1/kit.out" "$1/kit.err"; fail "kit_host built with $1 failed"; }
    # The page's background is #2a6 (34, 170, 102): the picture is the page's.
    grep -q '^title kit pixel 34 170 102 ' "$1/kit.out" || { cat "$1/kit.out"; fail "kit_host saw another picture"; }
    # The browser's own lines reach each host's log callback, never its standard output.
    grep -q '^kel: Creating Web View: main' "$1/c.err" || { cat "$1/c.err"; fail "minimal_host's log lacks the browser's lines"; }
    grep -q '^browser: Creating Web View: main' "$1/kit.err" || { cat "$1/kit.err"; fail "kit_host's log lacks the browser's lines"; }
    grep -q "^browser: Engine: $engine " "$1/kit.err" || { cat "$1/kit.err"; fail "kit_host's browser runs another engine than $engine"; }
    ! grep -q 'Page guards missing' "$1/kit.err" || fail "the installed browser runs without its page guards"
    ! grep -q 'Creating Web View' "$1/c.out" "$1/kit.out" || fail "the browser's lines on standard output"
}

# pkg-config
mkdir "$work/pc"
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
flags=$(pkg-config --cflags --libs kel)
"$cc" -std=c11 -Wall -Werror "$examples/minimal_host.c" $flags -Wl,-rpath,"$prefix/lib" \
    -o "$work/pc/minimal_host"
"$cxx" -std=c++17 -Wall -Werror "$examples/kit_host.cpp" $flags -Wl,-rpath,"$prefix/lib" \
    -o "$work/pc/kit_host"
run_both "$work/pc"
unset PKG_CONFIG_PATH

# find_package
mkdir "$work/cm"
cat >"$work/cm/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.16)
project(game C CXX)
set(CMAKE_CXX_STANDARD 17)
find_package(KEL 0.1 REQUIRED)
add_executable(minimal_host $examples/minimal_host.c)
target_link_libraries(minimal_host PRIVATE KEL::Host)
add_executable(kit_host $examples/kit_host.cpp)
target_link_libraries(kit_host PRIVATE KEL::Host)
add_executable(plugin_only plugin_only.c)
target_link_libraries(plugin_only PRIVATE KEL::Plugin)
CMAKE
cat >"$work/cm/plugin_only.c" <<'C'
#include "KELPlugin.h"
#include <string.h>
int main(void) { return strcmp(KEL_CODE_CRVW, "CRVW") != 0 || KEL_KEY_ESCAPE != 0x01000000; }
C
"$cmake" -S "$work/cm" -B "$work/cm/build" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" >"$work/cm/configure.log" ||
    { cat "$work/cm/configure.log"; fail "find_package(KEL) failed"; }
"$cmake" --build "$work/cm/build" >"$work/cm/build.log" || { cat "$work/cm/build.log"; fail "build against KEL:: targets failed"; }
"$work/cm/build/plugin_only" || fail "plugin_only"
cp "$work/cm/build/minimal_host" "$work/cm/build/kit_host" "$work/cm/"
run_both "$work/cm"
echo "installed prefix: pkg-config and find_package hosts ran"
