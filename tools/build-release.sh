#!/usr/bin/env bash
# Builds the shipped program: 32-bit, talking to the production update host,
# with no test code in it, in a build tree of its own; signs it when a
# certificate is given (tools/sign-release.sh); and packs
# DIST_DIR/quenvar-os-usb-writer-VERSION.zip with the program, README.txt (the
# technicians' guide) and SHA256SUMS. The same sources give the same bytes,
# wherever they are built (a signature, which holds the signing time, aside).
# The program takes only update manifests signed by the publisher: the public
# half of the publisher's key is named in the environment,
#   QV_MANIFEST_KEY            RSA 3072 public key, PEM (openssl pkey -pubout)
# or, for a program that talks to a private test server and takes unsigned
# manifests, QV_RELEASE_TAKES_UNSIGNED_MANIFESTS=yes says so in so many words.
# Usage: tools/build-release.sh [BUILD_DIR] [DIST_DIR]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath -m "${1:-$here/build-release}")"
dist="$(realpath -m "${2:-$here/dist}")"
host=updates.quenvar.com
fail() { echo "build-release: $*" >&2; exit 1; }

if [ -n "${QV_MANIFEST_KEY:-}" ]; then
  [ -r "$QV_MANIFEST_KEY" ] || fail "cannot read QV_MANIFEST_KEY file $QV_MANIFEST_KEY"
  manifest_key="$(realpath "$QV_MANIFEST_KEY")"
elif [ "${QV_RELEASE_TAKES_UNSIGNED_MANIFESTS:-}" = yes ]; then
  manifest_key=
  echo "build-release: QV_RELEASE_TAKES_UNSIGNED_MANIFESTS=yes: this program takes update manifests that nobody signed; ship it to no shop"
else
  fail "no publisher key: name the public half of the key that signs latest.json in QV_MANIFEST_KEY (see README.md, Publishing an image), or set QV_RELEASE_TAKES_UNSIGNED_MANIFESTS=yes for a program that takes unsigned manifests from a private test server"
fi

"$here/tools/setup.sh" --packages
version="$(sed -n 's/^#define QV_VERSION_TEXT L"\([^"]*\)"$/\1/p' "$here/app/app_info.h")"
[ -n "$version" ] || fail "no QV_VERSION_TEXT in app/app_info.h"

cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-i686.cmake" \
  -DQV_BUILD_TESTS=OFF -DQV_REPRODUCIBLE=ON -DUPDATE_HOST="$host" \
  -DQV_MANIFEST_KEY="$manifest_key" >/dev/null
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
