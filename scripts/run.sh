#!/usr/bin/env bash
# Installs what is missing, builds, and starts the updater against the simulated console:
#   - a demo package (scripts/make-demo-package.sh) in demo/pkg,
#   - the simulated console (build/sim/sim-console) on a pseudo-terminal, its file store in
#     demo/console (its users' database, module image, and the image it receives). Like the
#     real one it drops the line at every reset and comes back as a new device, reached by the
#     link demo/dev/ttyACM0 (a fixed port name); with --moving-port each new device gets the
#     next link in demo/dev instead (ttyACM0, ttyACM1, ...), as a Linux ttyACM number moves,
#   - the updater, offered the folder demo/dev as console ports (UPDATER_EXTRA_PORTS): it lists
#     whatever link is in there at each scan, as the system lists USB devices. Its own data
#     (the kept copies of the users' data) go to demo/home.
# Click "Next", then "Update", and answer the boxes. Without a display it all runs under Xvfb.
# The console is stopped when the updater ends (or on Ctrl+C).
#
# Other options are passed on to sim-console, e.g. --start-in-loader, --too-old,
# --users-db corrupt, --erase-ms 120000 (see build/sim/sim-console --help).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}

if [ "${1:-}" != "--inside-x" ]; then
    bash "$root/scripts/deps.sh"
    BUILD_DIR=$build bash "$root/scripts/build.sh"
    if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
        echo "No display found: running under a virtual X server (Xvfb), nothing will be shown."
        echo "Stop it with Ctrl+C."
        export BUILD_DIR=$build
        exec xvfb-run -a -s "-screen 0 1280x800x24" "$0" --inside-x "$@"
    fi
else
    shift
fi

demo=$root/demo
mkdir -p "$demo"
bash "$root/scripts/make-demo-package.sh" "$demo/pkg" >/dev/null
rm -rf "$demo/console" "$demo/dev"
mkdir -p "$demo/home" "$demo/dev"

link=(--link "$demo/dev/ttyACM0")
sim_args=()
for arg in "$@"; do
    if [ "$arg" = --moving-port ]; then
        link=(--link-dir "$demo/dev")
    else
        sim_args+=("$arg")
    fi
done

sim_out=$(mktemp)
sim_pid=
cleanup() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -f "$sim_out"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$build/sim/sim-console" --dir "$demo/console" "${link[@]}" ${sim_args[@]+"${sim_args[@]}"} \
    >"$sim_out" &
sim_pid=$!

# The console prints the path of its pseudo-terminal first.
port=
for _ in $(seq 100); do
    port=$(head -n 1 "$sim_out" 2>/dev/null || true)
    [ -n "$port" ] && break
    if ! kill -0 "$sim_pid" 2>/dev/null; then
        echo "The simulated console did not start." >&2
        exit 1
    fi
    sleep 0.1
done
if [ -z "$port" ]; then
    echo "The simulated console did not report its port." >&2
    exit 1
fi

echo "Simulated console on $port, reached through $demo/dev (files in $demo/console)."
echo "Package in $demo/pkg/Brenvik/Updater; kept users' data go to $demo/home/Brenvik/Updater."
status=0
XDG_DATA_HOME="$demo/home" \
    XDG_DATA_DIRS="$demo/pkg:/usr/local/share:/usr/share" \
    UPDATER_EXTRA_PORTS="$demo/dev=STMicroelectronics." \
    "$build/app/brenvik-updater" || status=$?
echo "Console state after the run: $demo/console/state.json"
exit "$status"
