#!/usr/bin/env bash
# Sets up the machine, then configures and builds everything into BUILD_DIR.
# Usage: tools/build.sh [BUILD_DIR]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath -m "${1:-$here/build}")"
"$here/tools/setup.sh" "$build"
# The tests run the build under Wine, so it is built for what Wine can run here.
# It takes only manifests signed by the test publisher's key (tests/keys/).
arch="$("$here/tools/wine-arch.sh")"
if [ "$(cat "$build/arch" 2>/dev/null)" != "$arch" ]; then
  find "$build" -mindepth 1 -maxdepth 1 ! -name 'test-ca' ! -name 'wineprefix-*' -exec rm -rf {} +
  echo "$arch" > "$build/arch"
fi
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-$arch.cmake" \
  -DUPDATE_HOST="${QV_TEST_UPDATE_HOST:-localhost:47443}" \
  -DQV_MANIFEST_KEY="$here/tests/keys/publisher-test.pub.pem" >/dev/null
cmake --build "$build" -j2
