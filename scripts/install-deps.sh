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
dvdauthor lsdvd libdvdnav-dev genisoimage
xvfb xauth fonts-dejavu-core
locales
"

# The number tests run the batch in a locale that writes a decimal comma.
TEST_LOCALE="de_DE.UTF-8"

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi

have_test_locale() {
    locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'
}

make_test_locale() {
    have_test_locale && return 0
    echo "install-deps: generating the locale $TEST_LOCALE"
    if [ -f /etc/locale.gen ] && grep -q "^# *$TEST_LOCALE UTF-8" /etc/locale.gen; then
        $SUDO sed -i "s/^# *\($TEST_LOCALE UTF-8\)/\1/" /etc/locale.gen
        $SUDO locale-gen
    else
        $SUDO localedef -i de_DE -f UTF-8 "$TEST_LOCALE"
    fi
}

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

if [ -z "$missing" ]; then
    make_test_locale
    echo "install-deps: all packages present"
    exit 0
fi

echo "install-deps: installing$missing"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -y
# shellcheck disable=SC2086
$SUDO apt-get install -y --no-install-recommends $missing
make_test_locale
