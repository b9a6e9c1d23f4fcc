#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine and prepares
# the Wine prefix inside the build tree. Quiet and quick when everything is there.
# Usage: tools/setup.sh [BUILD_DIR]
#        tools/setup.sh --packages     (the packages only, for the release build)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"

packages=(cmake ninja-build g++-mingw-w64-i686 g++-mingw-w64-x86-64 googletest wine
          wine64 xvfb xauth
          imagemagick xdotool fonts-wine fonts-liberation fonts-liberation2 python3 openssl
          ca-certificates curl
          osslsigncode g++)
# 32-bit Wine runs the tests as the shipped 32-bit program; without it they run as
# x86_64 (tools/wine-arch.sh), so it is installed last and may fail.
wine32=wine32:i386

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
apt_log="$(mktemp)"
trap 'rm -f "$apt_log"' EXIT
# The first error names the cause; the later ones only say that it mattered.
apt_error() { grep -m1 '^E: ' "$apt_log" | cut -c4- | sed 's/ *\[IP: [^]]*\]$//' || true; }

# A mirror in the middle of a sync fails one index; the others still serve.
update_failed=no
update_indexes() {
  as_root apt-get update -qq >"$apt_log" 2>&1 && return 0
  [ "$update_failed" = yes ] && return 0
  update_failed=yes
  echo "setup: the package index could not be fully updated ($(apt_error)); going on with the indexes at hand"
}
install_packages() {
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends \
    "$@" >"$apt_log" 2>&1
}

missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  update_indexes
  if ! install_packages "${missing[@]}"; then
    echo "setup: could not install ${missing[*]}: $(apt_error)" >&2
    exit 1
  fi
fi

# A failed attempt is made again on the next day, not on every run: it costs an
# index update and would say the same again.
wine32_failed="${XDG_CACHE_HOME:-$HOME/.cache}/quenvar-os-usb-writer/wine32-failed"
if ! installed "$wine32" && [ -z "$(find "$wine32_failed" -mmin -1440 2>/dev/null)" ]; then
  echo "setup: installing $wine32"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    as_root dpkg --add-architecture i386
    update_indexes
  elif [ ${#missing[@]} = 0 ]; then
    update_indexes
  fi
  if install_packages "$wine32"; then
    rm -f "$wine32_failed"
  else
    echo "setup: $wine32 could not be installed ($(apt_error)); the tests will run as x86_64"
    mkdir -p "$(dirname "$wine32_failed")" && : > "$wine32_failed" || true
  fi
fi

# Where 32-bit Wine cannot start (a kernel without its 32-bit emulation), the
# 32-bit programs run under qemu's i386 user mode instead (tools/wine32.sh).
if ! installed qemu-user-static &&
   { [ "${QV_WINE32_VIA_QEMU:-}" = 1 ] || ! /usr/lib/wine/wine --version >/dev/null 2>&1; }; then
  echo "setup: installing qemu-user-static"
  install_packages qemu-user-static ||
    echo "setup: qemu-user-static could not be installed ($(apt_error)); the 32-bit tests will report themselves skipped"
fi
[ "${1:-}" = --packages ] && exit 0

build="$(realpath -m "${1:-$here/build}")"
mkdir -p "$build"

# Test certificate authority for the local HTTPS update server; Wine's WinHTTP
# trusts the host's CA store.
"$here/tools/make-test-ca.sh" "$build/test-ca"

"$here/tools/wine-prefix.sh" "$build"
