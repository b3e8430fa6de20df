#!/usr/bin/env bash
# Takes screenshots of both pages of the updater under a virtual X server:
#   docs/screenshot-welcome.png  the welcome page with a console detected
#   docs/screenshot-updater.png  the updater page, connected to the console, its data shown
# A simulated console on a pseudo-terminal stands in for the device; the port list learns of
# it through UPDATER_EXTRA_PORTS. The package is a fresh demo package (scripts/
# make-demo-package.sh) in a temporary folder, unless PACKAGE_DIR names a package folder.
#
# Usage: scripts/screenshots.sh            (BUILD_DIR defaults to build/ at the project root)
# Needs: xvfb-run, xdotool, ImageMagick's import (scripts/deps.sh installs them).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
out=${OUT_DIR:-$root/docs}

if [ "${1:-}" != "--inside-x" ]; then
    for tool in xvfb-run xdotool import; do
        command -v "$tool" >/dev/null || { echo "missing $tool: run scripts/deps.sh" >&2; exit 1; }
    done
    if [ ! -x "$build/app/brenvik-updater" ] || [ ! -x "$build/sim/sim-console" ]; then
        cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} >/dev/null
        cmake --build "$build" --target brenvik-updater sim-console -j"$(nproc)"
    fi
    mkdir -p "$out"
    export BUILD_DIR=$build OUT_DIR=$out
    exec xvfb-run -a -s "-screen 0 1280x800x24" "$0" --inside-x
fi

# From here on we run inside the virtual X server.
source "$root/scripts/sim-display.sh"

# Package folder: the second data location, so XDG_DATA_DIRS points at its data folder.
if [ -n "${PACKAGE_DIR:-}" ]; then
    mkdir -p "$work/system/Brenvik"
    ln -s "$(cd "$PACKAGE_DIR" && pwd)" "$work/system/Brenvik/Updater"
elif [ -x "$root/scripts/make-demo-package.sh" ]; then
    "$root/scripts/make-demo-package.sh" "$work/system" >/dev/null
else
    package=$work/system/Brenvik/Updater
    mkdir -p "$package"
    printf '[Versions]\r\nFull=v11.30.06.01.1.10\r\nDate=20161215\r\n' >"$package/versions.ini"
    truncate -s 16M "$package/brenvik-firmware.iso"
fi
export XDG_DATA_HOME=$work/home XDG_DATA_DIRS=$work/system
mkdir -p "$XDG_DATA_HOME"

start_console
start_updater

# A few scans (every 500 ms) find the console and enable "Next".
sleep 2
import -window "$window" "$out/screenshot-welcome.png"

# "Next" is the right-hand button at the bottom: aim at its middle, above the status bar.
eval "$(xdotool getwindowgeometry --shell "$window")"
xdotool mousemove --window "$window" $((WIDTH - 11 - 64)) $((HEIGHT - 24 - 11 - 28)) click 1

# The connection and the five information queries take a few seconds.
sleep 6
import -window "$window" "$out/screenshot-updater.png"

kill "$updater" 2>/dev/null || true
echo "wrote $out/screenshot-welcome.png and $out/screenshot-updater.png"
