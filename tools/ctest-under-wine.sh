#!/usr/bin/env bash
# Runs CTest with Wine's background services started beforehand, so that they
# do not hold CTest's output pipe open, and stops them afterwards.
# Usage: tools/ctest-under-wine.sh BUILD_DIR [CTEST ARGUMENTS...]
set -uo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath -m "$1")"
. "$here/tools/wine-env.sh" "$build"
wineserver -p
wine cmd /c exit >/dev/null 2>&1
# The first window of a session also starts the desktop process (and rpcss),
# which would inherit the output pipe of whichever test made that window and
# keep that test "running" until Wine stops. Wine also ends that process a
# moment after the last window goes. So a hidden window made here holds the
# desktop for the whole run.
wine "$build/bin/qvwriter-window-driver.exe" hold-desktop >/dev/null 2>&1 &
wine "$build/bin/qv_tests.exe" --gtest_filter='StatusTest.*' >/dev/null 2>&1
ctest --test-dir "$build" --output-on-failure -j2 --timeout 300 "${@:2}"
code=$?
# CTest shows no output of a skipped test; such a test says why on a line of its own.
grep -h '^skipped: ' "$build/Testing/Temporary/LastTest.log" 2>/dev/null
wineserver -k
exit $code
