#!/usr/bin/env bash
# Installs everything KEL needs to build and test on Debian 12 (run as root or with sudo).
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi

export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends \
    g++ cmake ninja-build pkg-config binutils git clang-format \
    libboost-dev libsqlite3-dev \
    qtbase5-dev libqt5webkit5-dev \
    libwpewebkit-1.1-dev libwpe-1.0-dev libwpebackend-fdo-1.0-dev libwayland-dev \
    libegl-mesa0 libgl1-mesa-dri libgles2 \
    gstreamer1.0-plugins-base gstreamer1.0-plugins-good \
    libsdl2-dev xvfb xdotool imagemagick love \
    fonts-dejavu-core fontconfig \
    libgtest-dev libgmock-dev libbenchmark-dev \
    libpng-dev \
    python3 ca-certificates \
    microsocks bubblewrap \
    libjs-bootstrap5 libjs-chart.js libjs-three node-d3 \
    clang-14 libclang-rt-14-dev \
    wkhtmltopdf cutycapt hyperfine
