#!/usr/bin/env bash
# Creates the build tree's Wine prefix: never prompts, never opens a crash dialog.
# Usage: tools/wine-prefix.sh BUILD_DIR [route32]   (see tools/wine-env.sh)
set -euo pipefail
. "$(dirname "$0")/wine-env.sh" "$1" "${2:-}"
prefix="$WINEPREFIX"
[ -f "$prefix/.qv-ready" ] && exit 0
echo "setup: creating Wine prefix $prefix"
rm -rf "$prefix"
wineboot -i >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'Segoe UI' /t REG_SZ /d 'Liberation Sans' /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /t REG_SZ /d Default /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /t REG_SZ /d 1024x768 /f >/dev/null 2>&1
mkdir -p "$prefix/drive_c/windows/Fonts"
cp -n /usr/share/wine/fonts/*.ttf "$prefix/drive_c/windows/Fonts/" 2>/dev/null || true
cp -n /usr/share/fonts/truetype/liberation2/*.ttf "$prefix/drive_c/windows/Fonts/" 2>/dev/null || true
wineserver -w
touch "$prefix/.qv-ready"
