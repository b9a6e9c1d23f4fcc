# Sourced by the run scripts: the Wine settings of the build tree's prefix.
# Usage: . tools/wine-env.sh BUILD_DIR
qv_tools="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
qv_arch="$("$qv_tools/wine-arch.sh")"
export WINEPREFIX="$(realpath -m "$1")/wineprefix-$qv_arch" WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
if [ "$qv_arch" = x86_64 ]; then
  export WINEARCH=win64 PATH="$qv_tools/wine64-bin:$PATH"
else
  export WINEARCH=win32
fi
