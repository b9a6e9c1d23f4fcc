# Sourced by the run scripts: the Wine settings of the build tree's prefix.
# Usage: . tools/wine-env.sh BUILD_DIR [route32]
#   route32: the 64-bit prefix in which tools/wine32.sh runs 32-bit programs
qv_tools="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
if [ "${2:-}" = route32 ]; then qv_arch=x86_64 qv_prefix=route32
else qv_arch="$("$qv_tools/wine-arch.sh")" qv_prefix="$qv_arch"
fi
export WINEPREFIX="$(realpath -m "$1")/wineprefix-$qv_prefix" WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
if [ "$qv_arch" = x86_64 ]; then
  export WINEARCH=win64 PATH="$qv_tools/wine64-bin:$PATH"
else
  export WINEARCH=win32
fi
