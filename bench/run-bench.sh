#!/usr/bin/env bash
# Sends one 16 MiB file (BENCH_MIB=n: n MiB) into "rz --ymodem", with our ymodem-send and with "sz --ymodem -k"
# (1 KiB blocks) in turn, RUNS times each, and prints each run, the medians over all runs and
# over the runs without a stall, each sender's processor time, and the peak memory of ymodem-send.
#
#   bench/run-bench.sh [--usb] [BUILD_DIR] [RUNS]     (defaults: build, 3)
#
# The link is a socat pseudo-terminal pair, or with --usb bench/usb-link.py: two pseudo-terminals
# joined like a USB full-speed serial link (1 ms frames, 1000 bytes per frame and direction).
# A transfer lasts from the sender's start until rz has the file and has ended the batch (rz
# exits); one that has not ended after LIMIT seconds is stopped. A stall is rz asking again for
# a block it lost (each costs rz about 6 s). rz runs as a user runs it, without -v, unless
# RZ_VERBOSE=1: its -v output changes its timing. Without it a stall is counted for every
# STALL_SECONDS (default 4) a run took beyond the fastest run of either sender; with it, from
# rz's own "Retry ...: TIMEOUT" lines.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
usb=
if [ "${1:-}" = --usb ]; then
    usb=1
    shift
fi
build=$(cd "${1:-$root/build}" && pwd)
runs=${2:-3}
send="$build/tools/ymodem-send"
mib=${BENCH_MIB:-16} # file size in MiB (16 unless told)
size=$((mib * 1024 * 1024))
frame_bytes=1000
limit=${LIMIT:-$([ -n "$usb" ] && echo 180 || echo 60)}
rz_verbose=${RZ_VERBOSE:-0}
stall_seconds=${STALL_SECONDS:-4}

for p in rz sz python3; do
    command -v "$p" >/dev/null || { echo "run-bench: $p is not installed" >&2; exit 1; }
done
[ -n "$usb" ] || command -v socat >/dev/null || { echo "run-bench: socat is not installed" >&2; exit 1; }
[ -x "$send" ] || { echo "run-bench: $send not built" >&2; exit 1; }

work=$(mktemp -d)
link_pid=
cleanup() {
    [ -n "$link_pid" ] && kill "$link_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
head -c "$size" /dev/urandom >"$work/image.bin"

# One transfer: $1 = ours|sz. Prints "seconds stalls processor-seconds peak-KiB" of the sender
# (stalls "-" unless rz runs with -v).
transfer() {
    local kind=$1 dir="$work/run" start end sender_pid rz_pid
    rm -rf "$dir" "$work/usage" && mkdir -p "$dir/out"
    if [ -n "$usb" ]; then
        python3 "$root/bench/usb-link.py" "$dir/a" "$dir/b" "$frame_bytes" &
    else
        socat "pty,raw,echo=0,link=$dir/a" "pty,raw,echo=0,link=$dir/b" &
    fi
    link_pid=$!
    for _ in $(seq 100); do [ -e "$dir/a" ] && [ -e "$dir/b" ] && break; sleep 0.05; done
    local rz_flags=(--ymodem -y)
    [ "$rz_verbose" = 1 ] && rz_flags+=(-v)
    (cd "$dir/out" && exec timeout "$limit" rz "${rz_flags[@]}" <"$dir/b" >"$dir/b" 2>"$dir/rz.err") &
    rz_pid=$!
    start=$(date +%s.%N)
    if [ "$kind" = ours ]; then
        /usr/bin/time -f '%M %U %S' -o "$work/usage" "$send" "$dir/a" "$work/image.bin" >/dev/null 2>&1 &
    else
        /usr/bin/time -f '%M %U %S' -o "$work/usage" sh -c 'exec sz --ymodem -k "$1" <"$2" >"$2" 2>/dev/null' sz \
            "$work/image.bin" "$dir/a" &
    fi
    sender_pid=$!
    wait "$rz_pid" 2>/dev/null || true
    end=$(date +%s.%N)
    # The sender has nothing left to do once rz has ended the batch.
    # One still waiting is ended from within time(1), so that its figures are still written.
    timeout 10 tail --pid="$sender_pid" -f /dev/null || pkill -P "$sender_pid" 2>/dev/null ||
        kill "$sender_pid" 2>/dev/null || true
    wait "$sender_pid" 2>/dev/null || true
    kill "$link_pid" 2>/dev/null || true
    wait "$link_pid" 2>/dev/null || true
    link_pid=
    local stalls=- cpu peak
    [ "$rz_verbose" = 1 ] && stalls=$(tr '\r' '\n' <"$dir/rz.err" | grep -c 'TIMEOUT' || true)
    cmp -s "$work/image.bin" "$dir/out/image.bin" || echo "run-bench: $kind: rz did not get the whole file" >&2
    # time(1) puts a line of its own before the figures when the sender failed.
    read -r peak cpu <<<"$(tail -n 1 "$work/usage" 2>/dev/null | awk 'NF == 3 {printf "%s %.2f", $1, $2 + $3}')"
    [ -n "$cpu" ] || { peak=- cpu=-; echo "run-bench: $kind: no usage figures" >&2; }
    echo "$(echo "$end - $start" | bc) $stalls $cpu $peak"
}

median() { sort -n | awk 'NF {a[++n]=$1} END {if (n == 0) print "-"; else print (n % 2) ? a[(n+1)/2] : (a[n/2] + a[n/2+1]) / 2}'; }

declare -A secs stalls cpus
peaks=()
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)" >&2
for i in $(seq "$runs"); do
    for kind in ours sz; do
        read -r s n c m <<<"$(transfer "$kind")"
        secs[$kind,$i]=$s
        stalls[$kind,$i]=$n
        cpus[$kind,$i]=$c
        [ "$kind" = ours ] && [ "$m" != - ] && peaks+=("$m")
    done
    echo "run $i: ymodem-send ${secs[ours,$i]} s (${cpus[ours,$i]} s processor), sz ${secs[sz,$i]} s (${cpus[sz,$i]} s processor)" >&2
done
if [ "$rz_verbose" != 1 ]; then
    fastest=$(for k in "${!secs[@]}"; do echo "${secs[$k]}"; done | sort -n | head -1)
    for k in "${!secs[@]}"; do
        stalls[$k]=$(echo "(${secs[$k]} - $fastest) / $stall_seconds" | bc)
    done
fi
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)" >&2

if [ -n "$usb" ]; then
    echo "$mib MiB into rz --ymodem over a modelled USB full-speed link ($frame_bytes bytes per 1 ms frame), $runs runs each:"
else
    echo "$mib MiB into rz --ymodem over a socat pty pair, $runs runs each:"
fi
for kind in ours sz; do
    all=() clean=() cpu=() total=0 stalled=0
    for i in $(seq "$runs"); do
        all+=("${secs[$kind,$i]}")
        [ "${cpus[$kind,$i]}" != - ] && cpu+=("${cpus[$kind,$i]}")
        if [ "${stalls[$kind,$i]}" = 0 ]; then clean+=("${secs[$kind,$i]}"); else stalled=$((stalled + 1)); fi
        total=$((total + stalls[$kind,$i]))
    done
    name=$([ "$kind" = ours ] && echo ymodem-send || echo "sz --ymodem")
    printf '  %-12s median %s s over all runs, %s s over the %d runs without a stall; %d runs stalled (%d stalls); processor time median %s s\n' \
        "$name" "$(printf '%s\n' "${all[@]}" | median)" "$(printf '%s\n' "${clean[@]+"${clean[@]}"}" | median)" \
        "${#clean[@]}" "$stalled" "$total" "$(printf '%s\n' "${cpu[@]+"${cpu[@]}"}" | median)"
done
if [ -n "$usb" ]; then
    blocks=$((size / 1024))
    line_bytes=$((133 + blocks * 1029))
    per_block=$(((1029 + frame_bytes - 1) / frame_bytes + 1))
    echo "  the link's lower bounds: $(echo "scale=2; $line_bytes / ($frame_bytes * 1000)" | bc) s to carry the $line_bytes bytes;" \
        "$(echo "scale=2; $blocks * $per_block / 1000" | bc) s for one block at a time ($per_block frames per block and its ACK)"
fi
if [ ${#peaks[@]} -gt 0 ]; then
    echo "  ymodem-send peak memory $(printf '%s\n' "${peaks[@]}" | sort -n | tail -1) KiB (max resident set)"
fi
