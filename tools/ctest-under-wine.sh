#!/usr/bin/env bash
# Runs CTest with Wine's background services started beforehand, so that they
# do not hold CTest's output pipe open, and stops them afterwards.
# Usage: tools/ctest-under-wine.sh BUILD_DIR [CTEST ARGUMENTS...]
set -uo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath -m "$1")"
# The first window of a session also starts the desktop process (and rpcss),
# which would inherit the output pipe of whichever test made that window and
# keep that test "running" until Wine stops. Wine also ends that process a
# moment after the last window goes. So a hidden window made here holds the
# desktop for the whole run.
start_services() {
  wineserver -p
  wine cmd /c exit >/dev/null 2>&1
  wine "$build/bin/qvwriter-window-driver.exe" hold-desktop >/dev/null 2>&1 &
}
# The 32-bit form's tests (tools/wine32.sh) have a prefix of their own, made
# ready the same way on their route, and a display of their own, so that
# their windows never come into the pictures of this form's.
route_display=
if grep -q '^QV_I686_TREE:PATH=.' "$build/CMakeCache.txt" 2>/dev/null; then
  mkdir -p "$build/route32"
  rm -f "$build/route32/display"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$build/route32/display" 2>/dev/null &
  route_xvfb=$!
  for _ in $(seq 100); do [ -s "$build/route32/display" ] && break; sleep 0.1; done
  route_display=":$(cat "$build/route32/display")"
  export QV_WINE32_DISPLAY="$route_display"
  # A server left from another run may sit in another namespace, which does
  # not see this run's mounts.
  (. "$here/tools/wine-env.sh" "$build" route32 && wineserver -k 2>/dev/null)
  "$here/tools/wine32.sh" --build "$build" --shell bash -c \
    'wineserver -p; wine cmd /c exit >/dev/null 2>&1; wine "$0" hold-desktop >/dev/null 2>&1 &' \
    "$build/bin/qvwriter-window-driver.exe"
fi
. "$here/tools/wine-env.sh" "$build"
start_services
wine "$build/bin/qv_tests.exe" --gtest_filter='StatusTest.*' >/dev/null 2>&1
ctest --test-dir "$build" --output-on-failure -j2 --timeout 300 "${@:2}"
code=$?
# CTest shows no output of a skipped test; such a test says why on a line of its own.
grep -h '^skipped: ' "$build/Testing/Temporary/LastTest.log" 2>/dev/null
wineserver -k
if [ -n "$route_display" ]; then
  (. "$here/tools/wine-env.sh" "$build" route32 && wineserver -k)
  kill "$route_xvfb"
fi
exit $code
