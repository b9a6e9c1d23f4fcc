#!/usr/bin/env bash
# Builds the shipped program: 32-bit, talking to the production update host,
# with no test code in it, in a build tree of its own; signs it when a
# certificate is given (tools/sign-release.sh); and packs
# DIST_DIR/quenvar-os-usb-writer-VERSION.zip with the program, README.txt (the
# technicians' guide) and SHA256SUMS. The same sources give the same bytes,
# wherever they are built (a signature, which holds the signing time, aside).
# Usage: tools/build-release.sh [BUILD_DIR] [DIST_DIR]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath -m "${1:-$here/build-release}")"
dist="$(realpath -m "${2:-$here/dist}")"
host=updates.quenvar.com

"$here/tools/setup.sh" --packages
version="$(sed -n 's/^#define QV_VERSION_TEXT L"\([^"]*\)"$/\1/p' "$here/app/app_info.h")"
[ -n "$version" ] || { echo "build-release: no QV_VERSION_TEXT in app/app_info.h" >&2; exit 1; }

cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-i686.cmake" \
  -DQV_BUILD_TESTS=OFF -DQV_REPRODUCIBLE=ON -DUPDATE_HOST="$host" >/dev/null
cmake --build "$build" -j2 --target quenvar-os-usb-writer

# Signing changes the file, so it works on a copy: the build tree keeps the
# unsigned program and a later build never signs a signed one.
stage="$build/stage"
rm -rf "$stage"
mkdir -p "$stage" "$dist"
cp "$build/bin/quenvar-os-usb-writer.exe" "$stage/"
"$here/tools/sign-release.sh" "$stage/quenvar-os-usb-writer.exe"

zip="$dist/quenvar-os-usb-writer-$version.zip"
python3 "$here/tools/pack-release.py" "$stage/quenvar-os-usb-writer.exe" \
  "$here/docs/technician-guide.txt" "$version" "$host" "$zip"
echo "build-release: $zip"
echo "build-release: sha256 $(sha256sum < "$zip" | cut -d' ' -f1)"
