#!/usr/bin/env bash
# Builds the serial layer's Windows platform file and its tests with MinGW-w64 (no Qt for
# Windows here: the build takes the platform layer alone) and runs the tests under Wine.
#
#   WIN_BUILD_DIR   the build folder (default build-win/); Wine's prefix lives inside it
# Extra arguments go to ctest.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${WIN_BUILD_DIR:-$root/build-win}
bash "$root/scripts/deps.sh"

# Warnings fail this build: nothing else compiles these files for Windows.
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_CROSSCOMPILING_EMULATOR=wine -DCMAKE_CXX_FLAGS=-Werror >/dev/null
cmake --build "$build" -j"$(nproc)"

export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# One server for the whole run, with Wine's own services started here: started by the first
# test instead, they would hold ctest's output pipe open until the server ends. Its dumps on a
# closed pseudo-terminal go to a log, not to the test output.
mkdir -p "$WINEPREFIX"
trap 'wineserver -k 2>/dev/null || true' EXIT
wineserver -p 2>>"$build/wineserver.log"
wineboot -i >/dev/null 2>&1
(cd "$build" && ctest --output-on-failure "$@")
