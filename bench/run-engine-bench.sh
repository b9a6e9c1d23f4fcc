#!/usr/bin/env bash
# Write and verify a 1 GiB image onto a file-backed simulated stick with the
# simulated build, against a bare loop doing the same calls, in the same run.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath -m "${1:-$here/build}")"
"$here/tools/build.sh" "$build" >/dev/null
work="$build/bench-engine"
mkdir -p "$work"
windows_path() { echo "Z:${1//\//\\}"; }
image="$work/image-1GiB.iso"
[ -f "$image" ] || head -c 1073741824 /dev/urandom > "$image"
cat > "$work/machine.txt" <<MACHINE
windows C:\\Windows
disk 0 bus=sata size=256G vendor="ATA" product="System SSD"
volume - letter=C type=fixed disk=0 partition=1
disk 1 bus=usb size=2G vendor="Bench" product="Stick" backing="$(windows_path "$work/stick.img")"
volume - letter=E type=removable disk=1 partition=1
MACHINE
. "$here/tools/wine-env.sh" "$build"
wineserver -p; wine cmd /c exit >/dev/null 2>&1
wine "$build/bin/engine_bench.exe" "$(windows_path "$build/bin/qvwriter-SIMULATED-DISKS-test-harness.exe")" \
  "$(windows_path "$work/machine.txt")" "$(windows_path "$image")" \
  "$(windows_path "$work/bare-stick.img")" "${ROUNDS:-2}"
wineserver -k
