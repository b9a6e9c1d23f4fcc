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
configure() {
  cmake -S "$here" -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-$2.cmake" \
    -DUPDATE_HOST="${QV_TEST_UPDATE_HOST:-localhost:47443}" \
    -DQV_MANIFEST_KEY="$here/tests/keys/publisher-test.pub.pem" "${@:3}" >/dev/null
}
# Where that is x86_64, the shipped 32-bit form of the tests is built beside it
# in BUILD_DIR/i686, and the suite runs it through tools/wine32.sh, in a 64-bit
# prefix of its own.
i686=
if [ "$arch" = x86_64 ]; then
  i686="$build/i686"
  configure "$i686" i686
  ln -sfn ../test-ca "$i686/test-ca"
  "$here/tools/wine-prefix.sh" "$build" route32
fi
configure "$build" "$arch" -DQV_I686_TREE="$i686"
cmake --build "$build" -j2
[ -z "$i686" ] || cmake --build "$i686" -j2 --target qv_tests qv_window_tests
