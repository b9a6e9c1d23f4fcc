#!/usr/bin/env bash
# Start-up time of the window against a minimal Win32 program, and the peak
# private memory of a whole download-and-write job, in one run.
# Usage: bench/run-window-bench.sh [BUILD_DIR]   (ROUNDS=9 IMAGE_MIB=256)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath -m "${1:-$here/build}")"
"$here/tools/build.sh" "$build" >/dev/null
exec xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  . "$1/tools/wine-env.sh" "$2"
  wineserver -p; wine cmd /c exit >/dev/null 2>&1
  wine "$2/bin/window_bench.exe" "${ROUNDS:-9}" "${IMAGE_MIB:-256}"
  code=$?
  wineserver -k
  exit $code' bench "$here" "$build"
