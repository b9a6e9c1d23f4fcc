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
windows_path() { echo "Z:${1//\//\\}"; }

echo "== headless test write against this machine (Wine shows no USB disk)"
head -c 3000000 /dev/urandom > "$demo/demo.iso"
# The test-write log lives in the Wine user's temporary-files folder.
log="$(winepath -u "$(wine cmd /c echo %TEMP% | tr -d '\r')")/qvwriter/writer.log"
rm -f "$log"
wine "$program" --test-write 1 "$(windows_path "$demo/demo.iso")"
echo "exit code: $?"
echo "-- $log:"
cat "$log"

echo "== the window"
wine "$program" &
sleep 4
import -window root "$demo/window.png" 2>/dev/null && echo "screenshot: $demo/window.png"
wineserver -k
wait 2>/dev/null
exit 0
