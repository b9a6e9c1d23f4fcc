#!/usr/bin/env bash
# README command 1: sets up, builds and shows the program at work under Wine.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath -m "${1:-$here/build}")"
"$here/tools/build.sh" "$build"
exec xvfb-run -a -s "-screen 0 1024x768x24" "$here/tools/demo-under-wine.sh" "$build"
