#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test headless; then builds the whole suite a
# second time under AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/) and runs it
# there with every report fatal, then the serial and link tests under ThreadSanitizer
# (build-tsan/), and finally runs each fuzz target for a bounded time. Between the plain tests
# and the sanitizers, the package stage builds, installs, runs and removes the Debian package,
# and the serial layer's Windows platform file is built with MinGW-w64 and tested under Wine.
#
#   SKIP_PACKAGE=1      leave out the package stage (it installs and removes the Debian package
#                       on this machine, so it needs root or sudo)
#   SKIP_SANITIZERS=1   leave out the sanitizer runs (quick local runs)
#   SKIP_TSAN=1         leave out the ThreadSanitizer run only
#   SKIP_FUZZ=1         leave out the fuzz run
#   SKIP_WINDOWS=1      leave out the Windows serial platform run (MinGW-w64 and Wine)
#   ASAN_SKIP_SLOW=1    leave tests labelled "slow" out of the sanitizer run
#   FUZZ_SECONDS=N      time per fuzz target (default 30)
# Extra arguments go to every ctest call (e.g. -R pattern).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
start=$(date +%s)
bash "$root/scripts/deps.sh"

stage() { echo; echo "=== $* ($(($(date +%s) - start)) s) ==="; }
failed=()
failed_dirs=() # build folders whose test run failed

stage "Build"
bash "$root/scripts/build.sh"
build=${BUILD_DIR:-$root/build}
export QT_QPA_PLATFORM=offscreen

stage "Tests"
(cd "$build" && ctest --output-on-failure -j2 "$@") || { failed+=("tests"); failed_dirs+=("$build"); }

if [ "${SKIP_PACKAGE:-0}" != 1 ]; then
    # On the build above: package, lintian, install, one whole update with the installed
    # updater, removal.
    stage "Debian package"
    package_start=$(date +%s)
    BUILD_DIR="$build" bash "$root/scripts/package-test.sh" || failed+=("package")
    echo "Package stage: $(($(date +%s) - package_start)) s"
fi

if [ "${SKIP_WINDOWS:-0}" != 1 ]; then
    stage "Windows serial platform (MinGW-w64, under Wine)"
    win_build=${WIN_BUILD_DIR:-$root/build-win}
    WIN_BUILD_DIR="$win_build" bash "$root/scripts/windows-test.sh" ||
        { failed+=("windows platform tests"); failed_dirs+=("$win_build"); }
fi

if [ "${SKIP_SANITIZERS:-0}" != 1 ]; then
    stage "Sanitizer build"
    asan_build=${ASAN_BUILD_DIR:-$root/build-asan}
    BUILD_DIR="$asan_build" BUILD_TYPE=RelWithDebInfo \
        CMAKE_EXTRA_ARGS="-DUPDATER_SANITIZE=ON ${CMAKE_EXTRA_ARGS:-}" bash "$root/scripts/build.sh"
    stage "Tests under ASan and UBSan"
    supp="$root/tests/sanitizers"
    # Any report ends the test process with a failure; leaks are reported at exit.
    export ASAN_OPTIONS="halt_on_error=1:abort_on_error=0:detect_leaks=1:detect_stack_use_after_return=0:strict_string_checks=1:check_initialization_order=1:exitcode=23"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=24:suppressions=$supp/ubsan.supp"
    export LSAN_OPTIONS="suppressions=$supp/lsan.supp:print_suppressions=0"
    label_args=()
    if [ "${ASAN_SKIP_SLOW:-0}" = 1 ]; then label_args=(-LE slow); fi
    (cd "$asan_build" && ctest --output-on-failure -j2 "${label_args[@]}" "$@") ||
        { failed+=("sanitizer tests"); failed_dirs+=("$asan_build"); }
    unset ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS
fi

if [ "${SKIP_SANITIZERS:-0}" != 1 ] && [ "${SKIP_TSAN:-0}" != 1 ]; then
    stage "ThreadSanitizer build (serial and link tests)"
    tsan_build=${TSAN_BUILD_DIR:-$root/build-tsan}
    # The worker's queued calls are handed over inside Qt's uninstrumented event queue; that
    # hand-over is suppressed in tests/sanitizers/tsan.supp, everything else is checked.
    tsan_tests=(tst_serialsettings tst_serialport tst_serialdevice tst_worker tst_workerport tst_sender)
    cmake -S "$root" -B "$tsan_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATER_TSAN=ON \
        ${CMAKE_EXTRA_ARGS:-} >/dev/null
    cmake --build "$tsan_build" -j"$(nproc)" --target "${tsan_tests[@]}"
    stage "Serial and link tests under ThreadSanitizer"
    # Qt's locks are made visible by tests/sanitizers/tsan_qtlocks.cpp; what is left inside
    # Qt's own code is suppressed there with its reason. Any other report fails the test.
    export TSAN_OPTIONS="halt_on_error=1:exitcode=25:second_deadlock_stack=1:suppressions=$root/tests/sanitizers/tsan.supp"
    tsan_pattern="^($(IFS='|'; echo "${tsan_tests[*]}"))\$"
    (cd "$tsan_build" && ctest --output-on-failure -j2 -R "$tsan_pattern") ||
        { failed+=("thread sanitizer tests"); failed_dirs+=("$tsan_build"); }
    unset TSAN_OPTIONS
fi

if [ "${SKIP_FUZZ:-0}" != 1 ]; then
    stage "Fuzzing"
    FUZZ_SECONDS=${FUZZ_SECONDS:-30} bash "$root/scripts/fuzz.sh" || failed+=("fuzzing")
fi

stage "Done"
if [ ${#failed[@]} -gt 0 ]; then
    # CI shows only the end of the output: name the failing tests here again.
    for dir in "${failed_dirs[@]}"; do
        log="$dir/Testing/Temporary/LastTestsFailed.log"
        if [ -s "$log" ]; then
            echo "Failed in $(basename "$dir"): $(cut -d: -f2 "$log" | tr '\n' ' ')"
        fi
    done
    echo "FAILED: ${failed[*]}"
    exit 1
fi
echo "All stages passed."
