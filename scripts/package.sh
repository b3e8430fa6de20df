#!/usr/bin/env bash
# Builds the Debian package of the updater and the transfer tools, and prints its path:
#
#   bash scripts/package.sh        -> build/package/brenvik-updater_<version>-1_<arch>.deb
#
# It installs what is missing, builds BUILD_DIR (default build/; nothing is rebuilt when it is
# up to date) and packs what `cmake --install` would install, under /usr, with CPack. The
# package's dependencies come from the binaries (dpkg-shlibdeps). SKIP_BUILD=1 packs BUILD_DIR
# as it is.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}

if [ "${SKIP_BUILD:-0}" != 1 ]; then # set by the test stage, which has just built
    bash "$root/scripts/deps.sh" >&2
    BUILD_DIR=$build bash "$root/scripts/build.sh" >&2
fi
rm -rf "$build/package"
(cd "$build" && cpack -G DEB) >&2
debs=("$build"/package/*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    echo "package.sh: expected one .deb in $build/package" >&2
    exit 1
fi
echo "${debs[0]}"
