#!/usr/bin/env bash
# hash_file on a 512 MiB file against a bare CryptoAPI loop (same run, under
# Wine), with native sha256sum on the same file for context.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath -m "${1:-$here/build}")"
"$here/tools/build.sh" "$build" >/dev/null
file="$build/bench-512MiB.bin"
[ -f "$file" ] || head -c 536870912 /dev/urandom > "$file"
. "$here/tools/wine-env.sh" "$build"
wineserver -p; wine cmd /c exit >/dev/null 2>&1
wine "$build/bin/hash_bench.exe" "Z:${file//\//\\}" 3
start=$(date +%s.%N); sha256sum "$file" >/dev/null; end=$(date +%s.%N)
awk -v s="$start" -v e="$end" 'BEGIN { printf "native sha256sum: %.3f s (%.0f MB/s)\n", e - s, 512 / (e - s) }'
wineserver -k
