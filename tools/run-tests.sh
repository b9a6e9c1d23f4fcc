#!/usr/bin/env bash
# README command 2: sets up, builds and runs every test under Wine.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath -m "${1:-$here/build}")"
"$here/tools/build.sh" "$build"
exec xvfb-run -a -s "-screen 0 1280x1024x24" "$here/tools/ctest-under-wine.sh" "$build"
