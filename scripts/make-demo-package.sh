#!/usr/bin/env bash
# Makes a firmware package for trying the updater: versions.ini with two migration statements
# and a 16 MiB image whose name contains ".iso".
#
#   scripts/make-demo-package.sh [--forced] [--no-image] [DATA_DIR]
#
# DATA_DIR (default: demo/pkg at the project's root) becomes a data folder; the package goes
# to DATA_DIR/Brenvik/Updater, where the updater looks when DATA_DIR is the first entry of
# XDG_DATA_DIRS:
#
#   XDG_DATA_DIRS="$PWD/demo/pkg:/usr/local/share:/usr/share" build/app/brenvik-updater
#
# --forced   the package demands the update without keeping users' data (Forced=YES)
# --no-image leave the image out (the updater then reports "Updater File Not Found")
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
forced=NO
image=yes
data_dir=
for arg in "$@"; do
    case "$arg" in
        --forced) forced=YES ;;
        --no-image) image=no ;;
        -h|--help) sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        -*) echo "unknown option: $arg" >&2; exit 2 ;;
        *) data_dir=$arg ;;
    esac
done
data_dir=${data_dir:-$root/demo/pkg}
pkg="$data_dir/Brenvik/Updater"
mkdir -p "$pkg"
rm -f "$pkg"/*.iso

# The simulated console reports firmware 01020304 (read as 20304): below VChanged, so the
# users' data is migrated, and above minorVersion, so the update is allowed.
printf '%s\r\n' \
    '[Versions]' \
    'Full=v11.30.06.01.1.10' \
    'Bootloader=01.10' \
    'Application=11.30.06' \
    'Build=01' \
    'Bluetooth=01.10' \
    'Date=20161215' \
    'minorVersion=010000' \
    'VChanged=300000' \
    "Forced=$forced" \
    'Query=2' \
    "ALTER TABLE users ADD COLUMN units TEXT DEFAULT 'metric';" \
    "INSERT OR REPLACE INTO settings (key, value) VALUES ('schema', '11.30');" \
    > "$pkg/versions.ini"

if [ "$image" = yes ]; then
    # A repeating text pattern: the same bytes on every run, and not all zeros.
    # (yes ends on SIGPIPE once head has enough, hence the "|| true".)
    { yes 'BRENVIK DEMO FIRMWARE IMAGE v11.30.06 ' || true; } | head -c 16777216 \
        > "$pkg/brenvik_fs_v11.30.06.iso"
fi

echo "Package made in $pkg:"
ls -l "$pkg"
echo
echo "Run the updater on it with:"
echo "  XDG_DATA_DIRS=\"$data_dir:/usr/local/share:/usr/share\" <build>/app/brenvik-updater"
