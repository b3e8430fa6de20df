#!/usr/bin/env bash
# Measures what the updater costs while nothing happens: the CPU time (user + system, from
# /proc/PID/stat) it uses over SECONDS (default 60) on the start-up page and then, after "Next",
# on the updater page connected to the simulated console. Runs under Xvfb; prints one line per
# page, in per cent of one core.
#   scripts/idle-cpu.sh [BUILD_DIR] [SECONDS]
# With STRACE=1 it also counts the updater's system calls over each period (strace -c -f),
# which costs time of its own: use it to see what is busy, not for the figures.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

if [ "${1:-}" != "--inside-x" ]; then
    export BUILD_DIR=$(cd "${1:-$root/build}" && pwd) SECONDS_IDLE=${2:-60}
    for f in app/brenvik-updater sim/sim-console; do
        [ -x "$BUILD_DIR/$f" ] || { echo "build $BUILD_DIR/$f first" >&2; exit 1; }
    done
    exec xvfb-run -a -s "-screen 0 1280x800x24" "$0" --inside-x
fi

source "$root/scripts/demo-session.sh"
bash "$root/scripts/make-demo-package.sh" "$work/system" >/dev/null
export XDG_DATA_HOME=$work/home XDG_DATA_DIRS=$work/system
mkdir -p "$XDG_DATA_HOME"
start_console
start_updater

ticks() { awk '{ print $14 + $15 }' "/proc/$updater/stat"; }
# One line per thread: its id, its user + system ticks, and its name.
thread_ticks() {
    for t in /proc/"$updater"/task/*; do
        printf '%s %s %s\n' "${t##*/}" "$(awk '{ print $14 + $15 }' "$t/stat")" "$(cat "$t/comm")"
    done 2>/dev/null
}
hz=$(getconf CLK_TCK)

measure() { # page name
    local before after
    sleep 5 # settles: the first scans, the connection and the queries
    before=$(ticks)
    thread_ticks >"$work/threads-before"
    if [ "${STRACE:-0}" = 1 ]; then
        timeout -s INT "$SECONDS_IDLE" strace -c -f -p "$updater" -o "$work/strace-$1.txt" || true
        sed -n '1,16p' "$work/strace-$1.txt" >&2
    else
        sleep "$SECONDS_IDLE"
    fi
    after=$(ticks)
    thread_ticks >"$work/threads-after"
    awk -v p="$1" -v d=$((after - before)) -v hz="$hz" -v s="$SECONDS_IDLE" \
        'BEGIN { printf "%-16s %5.2f %% of one core (%d ticks of 1/%d s in %d s)\n", p, 100 * d / (hz * s), d, hz, s }'
    # The threads that ran over the period (the first is the GUI thread).
    awk -v hz="$hz" -v s="$SECONDS_IDLE" '
        NR == FNR { was[$1] = $2; next }
        { d = $2 - ($1 in was ? was[$1] : 0); name = $3; for (i = 4; i <= NF; ++i) name = name " " $i
          if (d > 0) printf "    thread %-18s %5.2f %%\n", name, 100 * d / (hz * s) }' \
        "$work/threads-before" "$work/threads-after"
}

measure start-up-page
click_next
measure updater-page
grep -q "Serial Port Connected Successfully" "$work/updater.out" ||
    echo "note: the updater did not report a connection" >&2
