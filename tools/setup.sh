#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine and prepares
# the Wine prefix inside the build tree. Quiet and quick when everything is there.
# Usage: tools/setup.sh [BUILD_DIR]
#        tools/setup.sh --packages     (the packages only, for the release build)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"

packages=(cmake ninja-build g++-mingw-w64-i686 g++-mingw-w64-x86-64 googletest wine wine32:i386
          wine64 xvfb xauth
          imagemagick xdotool fonts-wine fonts-liberation fonts-liberation2 python3 openssl
          ca-certificates curl
          osslsigncode g++)

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  dpkg --print-foreign-architectures | grep -qx i386 || as_root dpkg --add-architecture i386
  as_root apt-get update -qq
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi
[ "${1:-}" = --packages ] && exit 0

build="$(realpath -m "${1:-$here/build}")"
mkdir -p "$build"

# Test certificate authority for the local HTTPS update server; Wine's WinHTTP
# trusts the host's CA store.
"$here/tools/make-test-ca.sh" "$build/test-ca"

"$here/tools/wine-prefix.sh" "$build"
