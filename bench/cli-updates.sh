#!/usr/bin/env bash
# brenvik-update against simulated consoles on pseudo-terminals, each back under a new name at
# every reset.
#
#   bench/cli-updates.sh [BUILD_DIR] parallel   one console, then three with --all, at the
#                                               updater's real timing: wall time, processor time
#                                               and peak resident memory of each run; the
#                                               consoles take in LINE_RATE bytes per second
#                                               (default 340000, a USB full-speed line; 0: as fast
#                                               as the pseudo-terminal)
#   bench/cli-updates.sh [BUILD_DIR] soak [N]   N (30) updates of one console in one process, with
#                                               the tests' time seam: descriptors, threads and
#                                               resident memory after each
#
# The consoles' own delays are shortened (SIM_TIME_SCALE, default 0.2); the updater keeps its
# waits in the parallel runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
mode=${2:-parallel}
scale=${SIM_TIME_SCALE:-0.2}
bash "$root/scripts/deps.sh" time bc >/dev/null

export BUILD_DIR=$build
source "$root/scripts/demo-session.sh"

bash "$root/scripts/make-demo-package.sh" "$work/pkg" >/dev/null
release=$work/pkg/Brenvik/Updater
export UPDATER_EXTRA_PORTS="$work/dev=STMicroelectronics."

start_consoles() { # COUNT TIME_SCALE
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    pids=()
    rm -rf "$work/dev" "$work"/console* "$work/home"
    mkdir -p "$work/dev" "$work/home"
    for n in $(seq "$1"); do
        "$build/sim/sim-console" --dir "$work/console$n" --link-dir "$work/dev" \
            --sn "SN\\tBRV24030000$n\\tE7" --time-scale "$2" --line-rate "${LINE_RATE:-340000}" \
            >"$work/sim$n.out" 2>&1 &
        pids+=($!)
    done
    for _ in $(seq 100); do
        [ "$(ls "$work/dev" | wc -l)" -ge "$1" ] && return 0
        sleep 0.1
    done
    echo "cli-updates: the simulated consoles did not start" >&2
    exit 1
}

if [ "$mode" = soak ]; then
    count=${3:-30}
    LINE_RATE=${LINE_RATE:-0}
    # The simulated console reports the same version after every flash: the release names it,
    # so that the second update of the console is not taken for an image the loader refused.
    sed -i 's/^Full=.*/Full=v01.02.05.00.1.7\r/' "$release/versions.ini"
    start_consoles 1 0.05
    XDG_DATA_HOME=$work/home UPDATER_TIME_SCALE=0.05 "$build/bench/soak-updates" "$release" "$count" >"$work/trace"
    exit
fi

run() { # LABEL ARGS...
    local label=$1
    shift
    local start end
    start=$(date +%s.%N)
    XDG_DATA_HOME=$work/home /usr/bin/time -f "%e %U %S %M" -o "$work/time" \
        "$build/tools/brenvik-update" update --yes --release "$release" "$@" >"$work/out" 2>&1 ||
        { echo "cli-updates: $label failed:"; tail -n 20 "$work/out"; exit 1; }
    read -r wall user sys peak <"$work/time"
    printf '%-16s wall %7.1f s  processor %5.2f s  peak %6d KiB\n' "$label" "$wall" \
        "$(echo "$user + $sys" | bc)" "$peak"
    echo "$wall" >"$work/wall-$label"
}

start_consoles 1 "$scale"
run one-console
start_consoles 3 "$scale"
run three-consoles --all
echo "ratio three/one: $(echo "scale=3; $(cat "$work/wall-three-consoles") / $(cat "$work/wall-one-console")" | bc)"
