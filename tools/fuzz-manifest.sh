#!/usr/bin/env bash
# Fuzzes the manifest text functions with libFuzzer (clang, AddressSanitizer
# and UndefinedBehaviorSanitizer) for a set time. Not part of CI.
# Usage: tools/fuzz-manifest.sh [SECONDS] [WORK_DIR]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-120}"
work="$(realpath -m "${2:-$here/build/fuzz-manifest}")"
command -v clang++ >/dev/null || { echo "fuzz: install clang (Debian package clang)"; exit 2; }
mkdir -p "$work/corpus" "$work/crashes"

clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  -I"$here" "$here/source/manifest_text.cpp" "$here/bench/fuzz/manifest_fuzz.cpp" \
  -o "$work/manifest_fuzz"

sha=5f2b0c9d4e7a61839b0d2c4e6f8a1b3c5d7e9f0a2b4c6d8e0f1a3b5c7d9e1f20
printf '{"version": "2.1", "isoUrl": "https://h/x.iso", "isoSha256": "%s", "isoSizeBytes": 3221225472}' \
  "$sha" > "$work/corpus/seed-good"
printf '{"isoVersion" :\t"2.1\\u00e9\\n\\"", "version"\r\n: "a\\\\b", "isoSizeBytes": 1.5e9}' \
  > "$work/corpus/seed-escapes"
printf 'version\n{"x": {"version": "nested"}, "version": 2, "isoSha256": "%s"' "$sha" \
  > "$work/corpus/seed-nested"

cd "$work"
set +e
./manifest_fuzz -max_total_time="$seconds" -max_len=70000 -print_final_stats=1 \
  -artifact_prefix="$work/crashes/" corpus > "$work/fuzz.log" 2>&1
code=$?
set -e
runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' fuzz.log | grep -o '[0-9]*$' || echo 0)
crashes=$(find "$work/crashes" -type f | wc -l)
echo "fuzz-manifest: ${runs} executions in ${seconds} s, ${crashes} crash file(s), exit ${code}"
grep -E 'ERROR|runtime error' fuzz.log | head -5 || true
[ "$code" = 0 ] && [ "$crashes" = 0 ]
