#!/usr/bin/env bash
# The demo proper, run inside a virtual display.
set -uo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath -m "$1")"
. "$here/tools/wine-env.sh" "$build"
demo="$build/demo"
mkdir -p "$demo"
wineserver -p
wine cmd /c exit >/dev/null 2>&1
program="$build/bin/quenvar-os-usb-writer.exe"
harness="$build/bin/qvwriter-SIMULATED-DISKS-test-harness.exe"
windows_path() { echo "Z:${1//\//\\}"; }
# The test-write log lives in the Wine user's temporary-files folder.
log="$(winepath -u "$(wine cmd /c echo %TEMP% | tr -d '\r')")/qvwriter/writer.log"

# A demo image that is neither a whole number of MiB nor of sectors.
head -c 7340037 /dev/urandom > "$demo/demo.iso"
rm -f "$demo/stick.img"
cat > "$demo/machine.txt" <<MACHINE
# A PC with Windows on its SATA disk and one 1 GiB USB stick with a volume on E:
windows C:\\Windows
disk 0 bus=sata size=256G vendor="ATA" product="System SSD"
volume - letter=C type=fixed disk=0 partition=1
disk 1 bus=usb size=1G vendor="Quenvar " product="Demo Stick    " backing="$(windows_path "$demo/stick.img")"
volume - letter=E type=removable disk=1 partition=1 lock-refusals=2
MACHINE

echo "== 1. the program on this machine: Wine shows no USB disk, so disk 1 is no candidate"
rm -f "$log"
wine "$program" --test-write 1 "$(windows_path "$demo/demo.iso")"
echo "exit code: $?"
cat "$log"

echo
echo "== 2. the same program bound to a simulated machine ($demo/machine.txt):"
echo "==    a 1 GiB USB stick whose content is the file $demo/stick.img"
rm -f "$log"
QV_SIM_MACHINE="$(windows_path "$demo/machine.txt")" QV_SIM_REAL_CLOCK=1 \
  wine "$harness" --test-write 1 "$(windows_path "$demo/demo.iso")"
code=$?
echo "exit code: $code"
cat "$log"
size=$(stat -c %s "$demo/demo.iso")
if cmp -s -n "$size" "$demo/demo.iso" "$demo/stick.img"; then
  echo "stick.img holds demo.iso byte for byte over its $size bytes"
else
  echo "stick.img differs from demo.iso"
fi
echo "sha256 of demo.iso: $(sha256sum < "$demo/demo.iso" | cut -d' ' -f1)"

echo
echo "== 3. the window"
wine "$program" &
sleep 4
import -window root "$demo/window.png" 2>/dev/null && echo "screenshot: $demo/window.png"
wineserver -k
wait 2>/dev/null
exit 0
