#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each for a bounded time on
# a scratch copy of its seed corpus (fuzz/corpus/<target>/), so nothing is written into the
# repository. A crash, a leak, a time-out or an out-of-memory fails the run; what libFuzzer
# found is kept under build-fuzz/findings/<target>/.
#
#   FUZZ_SECONDS=N     seconds per target (default 60)
#   FUZZ_TARGETS="..." only these targets
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=${FUZZ_SECONDS:-60}
targets=${FUZZ_TARGETS:-"fuzz_versionsfile fuzz_consolereplies fuzz_receivepacket"}

if ! command -v clang++ >/dev/null; then
    echo "fuzz.sh: clang++ is missing (scripts/deps.sh installs it)" >&2
    exit 1
fi

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DUPDATER_FUZZ=ON \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address -fno-omit-frame-pointer" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address" >/dev/null
# shellcheck disable=SC2086
cmake --build "$build" --target $targets -j"$(nproc)"

export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:allocator_may_return_null=1"
export LSAN_OPTIONS="suppressions=$root/tests/sanitizers/lsan.supp:print_suppressions=0"
status=0
for t in $targets; do
    work="$build/findings/$t"
    rm -rf "$work"
    mkdir -p "$work/corpus" "$work/artifacts"
    if [ -d "$root/fuzz/corpus/$t" ]; then
        cp -r "$root/fuzz/corpus/$t/." "$work/corpus/"
    fi
    echo "--- $t: $seconds s"
    # Runs inside its own folder so any file a target might write stays there.
    if (cd "$work" && "$build/fuzz/$t" corpus \
            -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
            -artifact_prefix="$work/artifacts/" -print_final_stats=1 >"$work/log.txt" 2>&1); then
        grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$work/log.txt" | sed 's/^/    /' || true
    else
        echo "FAILED: $t (log and reproducer in $work)"
        tail -40 "$work/log.txt"
        status=1
    fi
done
exit $status
