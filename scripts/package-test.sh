#!/usr/bin/env bash
# The package stage of scripts/test.sh, on an already built BUILD_DIR (default build/):
#   1. builds the Debian package (scripts/package.sh) and checks it with lintian: no errors, and
#      no warning that the README does not explain (the tags in `explained`);
#   2. installs it on this machine (root, or sudo) and checks what it put where;
#   3. runs the INSTALLED updater offscreen through one whole update at real timing against
#      the simulated console, played by a stand-in user loaded with LD_PRELOAD
#      (tests/package/userdriver), with a demo firmware release in the folder the package made;
#   4. removes (purges) the package and checks that nothing of it is left, and that the users'
#      data kept by the run are still there.
# It refuses to start when brenvik-updater is installed already or the firmware folder holds a
# release: it would otherwise replace or remove what is not its own.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
name=brenvik-updater
fw_parent=/usr/local/share/Brenvik
fw_dir=$fw_parent/Updater
# lintian warnings explained in the README ("Installing: the Debian package").
explained=(initial-upload-closes-no-bugs)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
fail() { echo "package stage: $*" >&2; exit 1; }

if dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q 'ok installed'; then
    fail "$name is already installed here; remove it first (apt-get purge $name)"
fi
if [ -n "$(ls -A "$fw_dir" 2>/dev/null)" ]; then
    fail "$fw_dir holds files (a firmware release?); move them away first"
fi
driver=$build/tests/package/libuserdriver.so
for f in "$driver" "$build/sim/sim-console" "$root/scripts/make-demo-package.sh"; do
    [ -e "$f" ] || fail "missing $f (build first)"
done

work=$(mktemp -d)
installed=no
sim_pid=
cleanup() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    # Only what this stage put there: the demo release, then the package it installed.
    if [ -f "$work/fw-ours" ]; then
        "${sudo_cmd[@]}" rm -f "$fw_dir/versions.ini" "$fw_dir/brenvik_fw_demo.iso"
    fi
    if [ "$installed" = yes ]; then
        "${sudo_cmd[@]}" dpkg --purge "$name" >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

echo "--- Package"
deb=$(SKIP_BUILD=1 BUILD_DIR=$build bash "$root/scripts/package.sh")
echo "$deb"
dpkg-deb --field "$deb" Package Version Depends

echo "--- lintian"
lintian_out=$work/lintian.txt
lintian --fail-on none --tag-display-limit 0 "$deb" 2>&1 | grep -v 'running with root privileges' |
    tee "$lintian_out" || true
if grep -q '^E:' "$lintian_out"; then fail "lintian reports errors"; fi
while read -r tag; do
    known=no
    for t in "${explained[@]}"; do [ "$t" = "$tag" ] && known=yes; done
    [ "$known" = yes ] || fail "lintian warning \"$tag\" is not explained in the README"
done < <(sed -n 's/^W: [^:]*: *\([^ ]*\).*/\1/p' "$lintian_out" | sort -u)
echo "lintian: no errors; warnings: $(grep -c '^W:' "$lintian_out" || true)"

echo "--- Install"
# What exists before, so that the check after removal knows which folders were already there.
dpkg-deb --contents "$deb" | awk '{print $NF}' | sed 's|^\./|/|; s|/$||' | grep -v '^$' |
    grep -v '^/$' >"$work/paths"
while read -r p; do if [ -e "$p" ]; then echo "$p"; fi; done <"$work/paths" >"$work/before"
fw_before=no
[ -e "$fw_parent" ] && fw_before=yes
installed=yes
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "$deb"
for f in /usr/bin/brenvik-updater /usr/bin/brenvik-update /usr/bin/ymodem-send /usr/bin/ymodem-receive \
         /usr/lib/udev/rules.d/70-brenvik-console.rules \
         /usr/share/applications/brenvik-updater.desktop \
         /usr/share/icons/hicolor/48x48/apps/brenvik-updater.png \
         /usr/share/metainfo/com.brenvik.updater.metainfo.xml; do
    [ -e "$f" ] || fail "the package did not install $f"
done
# Checked in the package: minimal images keep dpkg from unpacking manual pages.
for page in brenvik-updater brenvik-update ymodem-send ymodem-receive; do
    grep -qx "/usr/share/man/man1/$page.1.gz" "$work/paths" || fail "no manual page for $page"
done
for tool in brenvik-update ymodem-send ymodem-receive; do
    "/usr/bin/$tool" --version >/dev/null || fail "the installed $tool does not start"
done
appstreamcli validate --no-net /usr/share/metainfo/com.brenvik.updater.metainfo.xml
[ -d "$fw_dir" ] || fail "installing did not make the firmware folder $fw_dir"
[ -z "$(ls -A "$fw_dir")" ] || fail "the firmware folder $fw_dir is not empty after installing"
if dpkg -L "$name" | grep -q '^/usr/local'; then fail "the package holds files under /usr/local"; fi

echo "--- One whole update with the installed updater (real timing, about 100 s)"
touch "$work/fw-ours"
"${sudo_cmd[@]}" bash "$root/scripts/make-demo-package.sh" /usr/local/share >/dev/null
"${sudo_cmd[@]}" mv "$fw_dir"/*.iso "$fw_dir/brenvik_fw_demo.iso"
# The console's own delays are shortened; the updater keeps all of its waits.
# Behind a link in a folder the updater is offered, as a USB device appears: the console's new
# pseudo-terminal after each restart need not get the number the old one had.
mkdir -p "$work/dev"
"$build/sim/sim-console" --dir "$work/console" --link "$work/dev/ttyACM0" --time-scale 0.2 \
    >"$work/sim.out" 2>&1 &
sim_pid=$!
port=
for _ in $(seq 100); do
    port=$(head -n 1 "$work/sim.out" 2>/dev/null || true)
    [ -n "$port" ] && break
    kill -0 "$sim_pid" 2>/dev/null || fail "the simulated console did not start: $(cat "$work/sim.out")"
    sleep 0.1
done
[ -n "$port" ] || fail "the simulated console did not report its port"
mkdir -p "$work/home"
run_start=$(date +%s)
status=0
# Default data folders (the firmware folder is the first of XDG_DATA_DIRS' default list); the
# users' data copy goes to a folder of this run.
env -u XDG_DATA_DIRS -u UPDATER_TIME_SCALE \
    QT_QPA_PLATFORM=offscreen XDG_DATA_HOME="$work/home" \
    UPDATER_EXTRA_PORTS="$work/dev=STMicroelectronics." \
    UPDATER_DRIVER_REPORT="$work/driver.txt" UPDATER_DRIVER_LIMIT_S=240 \
    timeout 300 env LD_PRELOAD="$driver" /usr/bin/brenvik-updater >"$work/updater.out" 2>&1 ||
    status=$?
echo "updater ended with status $status after $(($(date +%s) - run_start)) s"
cat "$work/driver.txt" 2>/dev/null || true
# The command line shares the window's journal and finds the same console.
cli_env=(env -u XDG_DATA_DIRS -u UPDATER_TIME_SCALE XDG_DATA_HOME="$work/home"
    UPDATER_EXTRA_PORTS="$work/dev=STMicroelectronics.")
# The console restarts at the end of the update: it is listed once it is back.
for _ in $(seq 20); do
    "${cli_env[@]}" timeout 60 /usr/bin/brenvik-update list --json >"$work/list.json" ||
        fail "the installed brenvik-update list failed: $(cat "$work/list.json")"
    grep -q '"mode":"application"' "$work/list.json" && break
    sleep 0.5
done
grep -q '"mode":"application"' "$work/list.json" || fail "brenvik-update list: $(cat "$work/list.json")"
"${cli_env[@]}" timeout 60 /usr/bin/brenvik-update history >"$work/history.txt" ||
    fail "the installed brenvik-update history failed"
grep -q ' ok ' "$work/history.txt" || fail "brenvik-update history: $(cat "$work/history.txt")"
kill "$sim_pid" 2>/dev/null || true
wait "$sim_pid" 2>/dev/null || true
sim_pid=
state=$work/console/state.json
if [ "$status" -ne 0 ]; then
    tail -n 40 "$work/updater.out"
    fail "the installed updater ended with status $status"
fi
grep -q '^pressed	Update$' "$work/driver.txt" || fail "\"Update\" was never pressed"
grep -q '^box	.*	Uploader	Operations are successfully terminated!' "$work/driver.txt" ||
    fail "no success box"
[ "$(grep -c '^box' "$work/driver.txt")" -eq 1 ] || fail "boxes other than the success box"
grep -Eq '"imagesProgrammed": *1[,}]?$|"imagesProgrammed": *1,' "$state" ||
    fail "the console was not programmed once: $(cat "$state")"
grep -Eq '"renamedModulePresent": *true' "$state" || fail "the module image was not renamed"
kept=$(find "$work/home/Brenvik/Updater/users-data" -type f -name BrenvikDATA | head -n 1)
[ -n "$kept" ] || fail "no users' data copy kept"
cmp "$kept" "$work/console/BrenvikDATA" || fail "the console's users' data differ from the copy"

echo "--- Remove"
"${sudo_cmd[@]}" rm -f "$fw_dir/versions.ini" "$fw_dir/brenvik_fw_demo.iso"
rm -f "$work/fw-ours"
"${sudo_cmd[@]}" dpkg --purge "$name"
installed=no
if dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q 'ok installed'; then
    fail "$name is still installed"
fi
left=()
while read -r p; do
    if [ -e "$p" ] || [ -L "$p" ]; then
        grep -qxF "$p" "$work/before" || left+=("$p")
    fi
done <"$work/paths"
if [ "$fw_before" = no ] && [ -e "$fw_parent" ]; then left+=("$fw_parent"); fi
[ ${#left[@]} -eq 0 ] || fail "left after removal: ${left[*]}"
[ -f "$kept" ] || fail "removing the package took the users' data copy $kept"
echo "Package stage passed: installed, one whole update, removed without a trace."
