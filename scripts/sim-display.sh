# Sourced by the scripts that drive the updater on a (virtual) display against the simulated
# console: scripts/screenshots.sh and bench/update-memory.sh. Needs BUILD_DIR. Makes $work,
# which goes at exit together with every process started here.
work=$(mktemp -d)
pids=()
sim_display_cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap sim_display_cleanup EXIT

# start_console [sim-console options...]: the console on a pseudo-terminal of its own (files in
# $work/console), offered to the updater through UPDATER_EXTRA_PORTS.
start_console() {
    "$BUILD_DIR/sim/sim-console" --dir "$work/console" "$@" >"$work/sim.out" 2>"$work/sim.err" &
    pids+=($!)
    # It prints its device path first.
    for _ in $(seq 50); do
        [ -s "$work/sim.out" ] && break
        sleep 0.1
    done
    local port
    port=$(head -n1 "$work/sim.out")
    [ -n "$port" ] || { echo "the simulated console did not start:" >&2; cat "$work/sim.err" >&2; exit 1; }
    export UPDATER_EXTRA_PORTS="$port=STMicroelectronics."
}

# start_updater: the updater (trace in $work/updater.out); sets updater (its pid) and window
# (its window's id) once the window is shown.
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
