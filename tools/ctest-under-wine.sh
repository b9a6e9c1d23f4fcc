#!/usr/bin/env bash
# Runs CTest with Wine's background services started beforehand, so that they
# do not hold CTest's output pipe open, and stops them afterwards.
set -uo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath -m "$1")"
. "$here/tools/wine-env.sh" "$build"
wineserver -p
wine cmd /c exit >/dev/null 2>&1
ctest --test-dir "$build" --output-on-failure -j2 --timeout 300
code=$?
wineserver -k
exit $code
