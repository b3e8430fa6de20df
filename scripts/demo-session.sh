# Sourced by the scripts that drive the updater under a virtual X server against the simulated
# console (screenshots.sh, idle-cpu.sh, bench/update-memory.sh). Needs BUILD_DIR. Gives:
#   work            a temporary folder; it and every process in pids go at exit
#   start_console   starts the simulated console ($work/console; arguments go to it) and
#                   offers its port to the updater through UPDATER_EXTRA_PORTS
#   start_updater   starts the updater (its pid in updater, its output in $work/updater.out)
#                   and waits for its window (window)
#   click_next      clicks "Next"

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

start_console() {
    # The simulated console prints its device path first.
    # It sits behind a link in a folder of its own, which the updater is offered: the console
    # drops the line on every reset and comes back there, as a USB device does.
    mkdir -p "$work/dev"
    "$BUILD_DIR/sim/sim-console" --dir "$work/console" --link "$work/dev/ttyACM0" "$@" \
        >"$work/sim.out" 2>"$work/sim.err" &
    pids+=($!)
    for _ in $(seq 50); do
        [ -s "$work/sim.out" ] && break
        sleep 0.1
    done
    port=$(head -n1 "$work/sim.out")
    [ -n "$port" ] || { echo "the simulated console did not start:" >&2; cat "$work/sim.err" >&2; exit 1; }
    export UPDATER_EXTRA_PORTS="$work/dev=STMicroelectronics."
}

start_updater() {
    "$BUILD_DIR/app/brenvik-updater" >"$work/updater.out" 2>&1 &
    updater=$!
    pids+=("$updater")
    local title="Updater v01.13"
    window=""
    for _ in $(seq 100); do
        window=$(xdotool search --name "^${title}\$" 2>/dev/null | head -n1 || true)
        [ -n "$window" ] && break
        sleep 0.1
    done
    [ -n "$window" ] || { echo "the updater window did not appear:" >&2; cat "$work/updater.out" >&2; exit 1; }
}

click_next() {
    # "Next" is the right-hand button at the bottom: aim at its middle, above the status bar.
    eval "$(xdotool getwindowgeometry --shell "$window")"
    xdotool mousemove --window "$window" $((WIDTH - 11 - 64)) $((HEIGHT - 24 - 11 - 28)) click 1
}
