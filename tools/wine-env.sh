# Sourced by the run scripts: the Wine settings of the build tree's prefix.
# Usage: . tools/wine-env.sh BUILD_DIR
export WINEPREFIX="$(realpath -m "$1")/wineprefix" WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
