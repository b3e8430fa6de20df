#!/usr/bin/env bash
# One whole update clicked through on a virtual display (Xvfb, xdotool): the updater against the
# simulated console with a demo package (16 MiB image), keeping users' data. Prints the updater's
# peak resident memory over the update and, for comparison, once it has shown its second page.
#
#   bench/update-memory.sh [BUILD_DIR]     (default: build; needs brenvik-updater, sim-console)
#
# The updater runs at real timing (it has no switch to shorten its waits); the console's own
# delays are shortened by --time-scale (SIM_TIME_SCALE, default 0.1).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)

if [ "${2:-}" != "--inside-x" ]; then
    for tool in xvfb-run xdotool; do
        command -v "$tool" >/dev/null || { echo "update-memory: $tool missing (scripts/deps.sh)" >&2; exit 1; }
    done
    exec xvfb-run -a -s "-screen 0 1280x800x24" "$0" "$build" --inside-x
fi

scale=${SIM_TIME_SCALE:-0.1}
export BUILD_DIR=$build
source "$root/scripts/demo-session.sh"

bash "$root/scripts/make-demo-package.sh" "$work/system" >/dev/null
export XDG_DATA_HOME=$work/home XDG_DATA_DIRS=$work/system
mkdir -p "$XDG_DATA_HOME"

start_console --time-scale "$scale"
start_updater

hwm() { awk '/^VmHWM/ {print $2}' "/proc/$updater/status" 2>/dev/null || true; }
anon() { awk '/^RssAnon/ {print $2}' "/proc/$updater/status" 2>/dev/null || true; }

sleep 2
# "Next" and then "Update" sit at the same place at the bottom right.
eval "$(xdotool getwindowgeometry --shell "$window")"
click() { xdotool mousemove --window "$window" $((WIDTH - 75)) $((HEIGHT - 63)) click 1; }
click
sleep 6
before=$(hwm)
click

# Answer every box: "Yes" to the question, "OK" to the rest, until the updater quits.
peak=$before
anon_peak=$(anon)
start=$(date +%s)
while kill -0 "$updater" 2>/dev/null; do
    now=$(hwm)
    [ -n "$now" ] && [ "$now" -gt "${peak:-0}" ] && peak=$now
    now=$(anon)
    [ -n "$now" ] && [ "$now" -gt "${anon_peak:-0}" ] && anon_peak=$now
    for w in $(xdotool search --pid "$updater" --onlyvisible --name . 2>/dev/null || true); do
        [ "$w" = "$window" ] && continue
        xdotool key --window "$w" y Return 2>/dev/null || true
    done
    if [ $(($(date +%s) - start)) -gt 600 ]; then
        echo "update-memory: the update did not end within 600 s" >&2
        exit 1
    fi
    sleep 0.5
done
wait "$updater" || true
image=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1])).get("imageStored", "?"))' \
    "$work/console/state.json" 2>/dev/null || echo "?")
echo "updater peak resident memory (VmHWM): ${before} KiB on its second page, ${peak} KiB over the whole update"
echo "  of which anonymous (heap, not library pages), highest sample every 0.5 s: ${anon_peak} KiB"
echo "console state after the update: image stored: $image"
grep -q 'Ymodem_Transmit Response: 0' "$work/updater.out" ||
    { echo "update-memory: the image was not sent; the updater's trace:" >&2; cat "$work/updater.out" >&2; exit 1; }
