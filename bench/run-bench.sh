#!/usr/bin/env bash
# Sends one 16 MiB file into "rz --ymodem" over a socat pseudo-terminal pair, with our
# ymodem-send and with "sz --ymodem -k" (1 KiB blocks), several runs each, and prints the
# median seconds of each, their ratio and the peak memory of ymodem-send.
#
#   bench/run-bench.sh [BUILD_DIR] [RUNS]     (defaults: build, 3)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
runs=${2:-3}
send="$build/tools/ymodem-send"
limit=60 # seconds allowed to one transfer; a sender still running then is stopped

for p in socat rz sz; do
    command -v "$p" >/dev/null || { echo "run-bench: $p is not installed" >&2; exit 1; }
done
[ -x "$send" ] || { echo "run-bench: $send not built" >&2; exit 1; }

work=$(mktemp -d)
socat_pid=
cleanup() {
    [ -n "$socat_pid" ] && kill "$socat_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
head -c $((16 * 1024 * 1024)) /dev/urandom >"$work/image.bin"

# One transfer: $1 = ours|sz. Prints the seconds; leaves ours' peak memory in $work/peak.
transfer() {
    local kind=$1 dir="$work/run" start end
    rm -rf "$dir" && mkdir -p "$dir/out"
    socat "pty,raw,echo=0,link=$dir/a" "pty,raw,echo=0,link=$dir/b" &
    socat_pid=$!
    for _ in $(seq 100); do [ -e "$dir/a" ] && [ -e "$dir/b" ] && break; sleep 0.05; done
    (cd "$dir/out" && exec timeout "$limit" rz --ymodem -y <"$dir/b" >"$dir/b" 2>/dev/null) &
    local rz_pid=$!
    local rc=0
    start=$(date +%s.%N)
    if [ "$kind" = ours ]; then
        if [ -x /usr/bin/time ]; then
            /usr/bin/time -f %M -o "$work/peak" timeout "$limit" "$send" "$dir/a" "$work/image.bin" 2>/dev/null || rc=$?
        else
            timeout "$limit" "$send" "$dir/a" "$work/image.bin" 2>/dev/null || rc=$?
        fi
    else
        timeout "$limit" sz --ymodem -k "$work/image.bin" <"$dir/a" >"$dir/a" 2>/dev/null || rc=$?
    fi
    end=$(date +%s.%N)
    # /usr/bin/time reports the timeout's status as its own
    [ "$rc" = 124 ] && echo "run-bench: $kind stopped after ${limit} s" >&2
    timeout 20 tail --pid="$rz_pid" -f /dev/null || kill "$rz_pid" 2>/dev/null || true
    wait "$rz_pid" 2>/dev/null || true
    kill "$socat_pid" 2>/dev/null || true
    wait "$socat_pid" 2>/dev/null || true
    socat_pid=
    cmp -s "$work/image.bin" "$dir/out/image.bin" || echo "run-bench: $kind: rz did not get the whole file" >&2
    echo "$end - $start" | bc
}

median() { sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }

ours=() theirs=() peaks=()
for i in $(seq "$runs"); do
    ours+=("$(transfer ours)")
    [ -f "$work/peak" ] && peaks+=("$(cat "$work/peak")")
    theirs+=("$(transfer sz)")
    echo "run $i: ymodem-send ${ours[-1]} s, sz ${theirs[-1]} s" >&2
done

m_ours=$(printf '%s\n' "${ours[@]}" | median)
m_sz=$(printf '%s\n' "${theirs[@]}" | median)
echo "16 MiB into rz --ymodem over a pty pair, $runs runs each (median):"
printf '  ymodem-send   %.2f s\n' "$m_ours"
printf '  sz --ymodem   %.2f s\n' "$m_sz"
printf '  ratio (ymodem-send / sz) %.2f\n' "$(echo "$m_ours / $m_sz" | bc -l)"
if [ ${#peaks[@]} -gt 0 ]; then
    peak=$(printf '%s\n' "${peaks[@]}" | sort -n | tail -1)
    echo "  ymodem-send peak memory ${peak} KiB (max resident set)"
fi
