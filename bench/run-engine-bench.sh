#!/usr/bin/env bash
# The write-and-verify engine with the simulated build, in one run:
# - a 1 GiB image onto an unlimited file-backed stick, against a bare loop
#   doing the same calls;
# - a 256 MiB image onto sticks limited to 40/120 and 100/200 MB/s (write/read),
#   against the drive's own time for the same bytes;
# - a check of 256 MiB on the same sticks, against one image and against four,
#   against the drive's own read time for those bytes.
# Usage: bench/run-engine-bench.sh [BUILD_DIR]; ROUNDS (default 3) sets the rounds,
# HARNESS another build of the simulated program (an earlier one, to compare).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath -m "${1:-$here/build}")"
"$here/tools/build.sh" "$build" >/dev/null
work="$build/bench-engine"
mkdir -p "$work"
windows_path() { echo "Z:${1//\//\\}"; }
image="$work/image-1GiB.iso"
[ -f "$image" ] || head -c 1073741824 /dev/urandom > "$image"
small="$work/image-256MiB.iso"
[ -f "$small" ] || head -c 268435456 "$image" > "$small"
one_chunk="$work/image-1MiB.iso"
[ -f "$one_chunk" ] || head -c 1048576 "$image" > "$one_chunk"
# machine FILE [STICK_KEYS]: a PC with its system disk and one file-backed stick
machine() {
  cat > "$1" <<MACHINE
windows C:\\Windows
disk 0 bus=sata size=256G vendor="ATA" product="System SSD"
volume - letter=C type=fixed disk=0 partition=1
disk 1 bus=usb size=2G vendor="Bench" product="Stick" backing="$(windows_path "$work/stick.img")" ${2:-}
volume - letter=E type=removable disk=1 partition=1
MACHINE
}
machine "$work/machine.txt"
machine "$work/machine-40-120.txt" "write-rate=40M read-rate=120M"
machine "$work/machine-100-200.txt" "write-rate=100M read-rate=200M"
harness="$(windows_path "$(realpath "${HARNESS:-$build/bin/qvwriter-SIMULATED-DISKS-test-harness.exe}")")"
rounds="${ROUNDS:-3}"
. "$here/tools/wine-env.sh" "$build"
wineserver -p; wine cmd /c exit >/dev/null 2>&1
echo "== unlimited stick, 1 GiB, against the bare loop"
wine "$build/bin/engine_bench.exe" "$harness" "$(windows_path "$work/machine.txt")" \
  "$(windows_path "$image")" "$(windows_path "$work/bare-stick.img")" "$rounds"
for rates in "40 120" "100 200"; do
  set -- $rates
  echo "== stick limited to $1 MB/s write, $2 MB/s read, 256 MiB"
  wine "$build/bin/engine_bench.exe" --drive "$1" "$2" "$harness" \
    "$(windows_path "$work/machine-$1-$2.txt")" "$(windows_path "$small")" "$rounds" \
    "$(windows_path "$one_chunk")"
  echo "== check of 256 MiB on the stick limited to $2 MB/s read"
  wine "$build/bin/engine_bench.exe" --check "$(windows_path "$work/machine-$1-$2.txt")" \
    "$(windows_path "$small")" "$rounds"
done
wineserver -k
