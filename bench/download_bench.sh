#!/usr/bin/env bash
# Downloads a 512 MiB image from the local update server (plain http) with
# download_image under Wine and with curl, in the same run, into the same
# folder, and prints the throughput ratio. Needs a built tree (tools/build.sh).
# Usage: bench/download_bench.sh [BUILD_DIR] [ROUNDS]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath -m "${1:-$here/build}")"
rounds="${2:-2}"
size=$((512 * 1048576))
port=47544
folder="$build/bench-download"
url="http://127.0.0.1:$port/bench/quenvar-os-bench.iso"
. "$here/tools/wine-env.sh" "$build"
mkdir -p "$folder"

python3 "$here/tests/server/update_server.py" --http-port "$port" >"$folder/server.log" 2>&1 &
server=$!
trap 'kill $server 2>/dev/null; rm -f "$folder"/*.iso*' EXIT
for _ in $(seq 50); do curl -sf "http://127.0.0.1:$port/__control/hello" >/dev/null && break; sleep 0.1; done
sha=$(curl -sf "http://127.0.0.1:$port/__control/image?path=/bench/quenvar-os-bench.iso&size=$size&seed=7")
wineserver -p 2>/dev/null || true
wine cmd /c exit >/dev/null 2>&1

best_curl=999999 best_ours=999999 best_curl_hash=999999 best_bare=999999 hash_only=0
for round in $(seq "$rounds"); do
  t=$(curl -sf -o "$folder/curl.iso" -w '%{time_total}' "$url")
  best_curl=$(python3 -c "print(min($best_curl, $t))")
  start=$(date +%s.%N)
  sha256sum "$folder/curl.iso" >/dev/null
  end=$(date +%s.%N)
  best_curl_hash=$(python3 -c "print(min($best_curl_hash, $t + $end - $start))")
  rm -f "$folder/curl.iso"
  line=$(wine "$build/bin/download_bench.exe" "$url" "$size" "$sha" "$(winepath -w "$folder")" | tr -d '\r')
  ours=$(echo "$line" | awk '{print $2}')
  best_ours=$(python3 -c "print(min($best_ours, $ours))")
  hash_only=$(echo "$line" | awk '{print $5}')
  bare=$(echo "$line" | awk '{print $8}')
  best_bare=$(python3 -c "print(min($best_bare, $bare))")
  echo "round $round: curl ${t} s, download_image ${ours} s (SHA-256 pass alone ${hash_only} s), bare WinHTTP read+write+hash loop ${bare} s"
done
wineserver -k || true
python3 - "$size" "$best_curl" "$best_ours" "$best_curl_hash" "$best_bare" <<'PY'
import sys
size, curl, ours, curl_hash, bare = int(sys.argv[1]), *map(float, sys.argv[2:])
mib = size / 1048576
print("512 MiB over http from the local server (best of the rounds):")
print("  curl -o file              %7.1f MB/s" % (mib / curl))
print("  curl -o file + sha256sum  %7.1f MB/s" % (mib / curl_hash))
print("  bare read+write+hash loop %7.1f MB/s" % (mib / bare))
print("  download_image (verifies) %7.1f MB/s" % (mib / ours))
print("  ratio download_image / curl:            %.2f" % (curl / ours))
print("  ratio download_image / curl + sha256sum: %.2f" % (curl_hash / ours))
print("  ratio download_image / bare loop:       %.2f" % (bare / ours))
PY
