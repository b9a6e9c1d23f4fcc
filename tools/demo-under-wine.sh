#!/usr/bin/env bash
# The demo proper, run inside a virtual display. Act 1: the program's window,
# bound to a simulated PC with one USB stick, downloads the published image
# from the local update server and writes it, driven as a technician would.
# Act 2: the headless test-write run.
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
driver="$build/bin/qvwriter-window-driver.exe"
# The update host that this build was made for, and the server's plain port beside it.
host="$(sed -n 's/^UPDATE_HOST:STRING=//p' "$build/CMakeCache.txt")"
https_port="${host##*:}"
http_port=$((https_port + 1))
control="http://127.0.0.1:$http_port/__control"
windows_path() { echo "Z:${1//\//\\}"; }
wine_folder() { winepath -u "$(wine cmd /c echo "%$1%" | tr -d '\r')"; }
drive() { wine "$driver" "$@" | tr -d '\r'; return "${PIPESTATUS[0]}"; }
shot() { import -window root "$demo/$1.png" 2>/dev/null && echo "   screenshot: $demo/$1.png"; }
step() { echo; echo "-- $*"; }

# ---- the local update server, with a published demo image -----------------
# A server of an older tree, which cannot sign the manifest, is replaced.
if curl -s -m 3 -X POST "$control/hello" | grep -q quenvar-update-server &&
   ! curl -s -m 3 -X POST "$control/features" | grep -q sign; then
  curl -s -m 200 -X POST "$control/lock?owner=demo-replacing&wait=180" >/dev/null
  curl -s -m 3 -X POST "$control/quit" >/dev/null
  sleep 1
fi
if ! curl -s -m 3 -X POST "$control/hello" | grep -q quenvar-update-server; then
  python3 "$here/tests/server/update_server.py" --https-port "$https_port" --http-port "$http_port" \
    --cert "$build/test-ca/server.pem" --daemon --log "$build/update-server.log" --idle-exit 300
  for _ in $(seq 50); do curl -s -m 1 -X POST "$control/hello" >/dev/null && break; sleep 0.2; done
fi
owner="demo-$$"
curl -s -m 300 -X POST "$control/lock?owner=$owner&wait=240" >/dev/null
trap 'curl -s -m 5 -X POST "$control/unlock?owner=$owner" >/dev/null' EXIT
curl -s -X POST "$control/reset" >/dev/null
image="$demo/quenvar-os-2.1.iso"
head -c 24117261 /dev/urandom > "$image"   # about 23 MiB, no whole number of sectors
size=$(stat -c %s "$image")
sha=$(sha256sum < "$image" | cut -d' ' -f1)
curl -s -X POST --data-binary @"$image" "$control/put?path=/isos/quenvar-os-2.1.iso" >/dev/null
# Signed with the test publisher's key (tests/keys/), the only one the test build takes.
printf '{"version": "2.1", "isoUrl": "https://%s/isos/quenvar-os-2.1.iso", "isoSha256": "%s", "isoSizeBytes": %s}' \
  "$host" "$sha" "$size" | curl -s -X POST --data-binary @- "$control/put?path=/updates/os-quenvar/latest.json&sign=publisher-test" >/dev/null

# ---- a PC with Windows on its SATA disk and one 1 GiB USB stick ------------
# A stick that writes 5 MB/s and reads 40 MB/s, whose writes also pause
# while $demo/hold exists, so the screenshot can catch the write half-way.
rm -f "$demo/stick.img" "$demo/hold"
cat > "$demo/machine.txt" <<MACHINE
windows C:\\Windows
disk 0 bus=sata size=256G vendor="ATA" product="System SSD"
volume - letter=C type=fixed disk=0 partition=1
disk 1 bus=usb size=1G vendor="Quenvar " product="Demo Stick    " backing="$(windows_path "$demo/stick.img")" hold="$(windows_path "$demo/hold")" hold-after=12M write-rate=5M read-rate=40M
volume - letter=E type=removable disk=1 partition=1 lock-refusals=2
MACHINE
appdata="$(wine_folder LOCALAPPDATA)/quenvar OS USB Writer"
mkdir -p "$appdata"
rm -f "$appdata"/quenvar-os-*.iso*
log_before=$(stat -c %s "$appdata/writer.log" 2>/dev/null || echo 0)

echo "== Act 1: the window writes the published quenvar OS image onto a simulated stick"
echo "   update server: https://$host publishes quenvar OS 2.1 ($size bytes)"
echo "   machine: $demo/machine.txt (the stick's content is $demo/stick.img)"
QV_SIM_MACHINE="$(windows_path "$demo/machine.txt")" QV_SIM_REAL_CLOCK=1 wine "$harness" &
window_pid=$!
step "the window checks for the latest version"
drive wait-text 103 "quenvar OS 2.1" 120 && drive wait-enabled 108 60
echo "   pen drive: $(drive text 106)"
shot 1-start
step "Write, and the question before the stick is erased"
touch "$demo/hold"
drive press 108 && drive answer yes 60
step "download, then the write with its progress"
drive wait-text 110 "Writing to the pen drive" 300 >/dev/null
sleep 3   # held at the 12th MiB by now, its speed shown
drive text 110
shot 2-writing
# The window alone: the desktop around it is one plain colour.
convert "$demo/2-writing.png" -trim +repage -strip -define png:compression-level=9 \
  "$demo/window-writing.png" &&
  echo "   the window alone: $demo/window-writing.png (docs/window-writing.png in README.md)"
rm -f "$demo/hold"
step "checked, and the ready dialog"
drive wait-box "The pen drive is ready." 300
shot 3-ready
drive answer ok 60 >/dev/null
drive text 110
drive close 60
wait "$window_pid"
step "the log of the run ($appdata/writer.log)"
tail -c +"$((log_before + 1))" "$appdata/writer.log"
if cmp -s -n "$size" "$image" "$demo/stick.img"; then
  echo "stick.img holds the published image byte for byte over its $size bytes"
else
  echo "stick.img differs from the published image"
fi

echo
echo "== Act 2: the headless test-write, the same engine from the command line"
# The test-write log lives in the Wine user's temporary-files folder.
log="$(wine_folder TEMP)/qvwriter/writer.log"
head -c 7340037 /dev/urandom > "$demo/demo.iso"
rm -f "$demo/stick2.img"
sed -e "s|stick.img|stick2.img|" -e "s| hold=.*||" "$demo/machine.txt" > "$demo/machine2.txt"
step "the program on this machine: Wine shows no USB disk, so disk 1 is no candidate"
rm -f "$log"
wine "$program" --test-write 1 "$(windows_path "$demo/demo.iso")"
echo "exit code: $?"
cat "$log"
step "the same program bound to the simulated machine"
rm -f "$log"
QV_SIM_MACHINE="$(windows_path "$demo/machine2.txt")" QV_SIM_REAL_CLOCK=1 \
  wine "$harness" --test-write 1 "$(windows_path "$demo/demo.iso")"
echo "exit code: $?"
cat "$log"
size2=$(stat -c %s "$demo/demo.iso")
if cmp -s -n "$size2" "$demo/demo.iso" "$demo/stick2.img"; then
  echo "stick2.img holds demo.iso byte for byte over its $size2 bytes"
else
  echo "stick2.img differs from demo.iso"
fi
wineserver -k
exit 0
