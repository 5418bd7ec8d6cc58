#!/bin/sh
# Installs every Debian 12 package Quillmoor needs to build, test and run.
# Safe to run again: when everything is already there it returns at once.
set -eu

PACKAGES="
build-essential g++ cmake ninja-build pkg-config git
libavcodec-dev libavformat-dev libavfilter-dev libavutil-dev libswscale-dev
libswresample-dev libavdevice-dev
libsdl2-dev
qt6-base-dev qt6-base-dev-tools libgl-dev libxkbcommon-dev
libgtest-dev
dvdauthor lsdvd
xvfb xauth fonts-dejavu-core
"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

if [ -z "$missing" ]; then
    echo "install-deps: all packages present"
    exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi

echo "install-deps: installing$missing"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -y
# shellcheck disable=SC2086
$SUDO apt-get install -y --no-install-recommends $missing
