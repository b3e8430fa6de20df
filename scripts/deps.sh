#!/usr/bin/env bash
# Installs what the build, the tests and the demo need, and only what is missing.
set -euo pipefail

packages=(
    cmake g++ make pkg-config
    qtbase5-dev qtbase5-dev-tools libqt5serialport5-dev libqt5sql5-sqlite libudev-dev
    lrzsz socat sqlite3 dbus-daemon clang libclang-rt-14-dev libtsan2
    xvfb xauth x11-apps imagemagick xdotool fonts-liberation2
    dpkg-dev file lintian appstream
    g++-mingw-w64-x86-64-posix wine wine64
)
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    sudo_cmd=()
    if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
