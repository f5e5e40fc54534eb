#!/usr/bin/env bash
# Peak memory and instruction count of one dic2d_cli run on the 1024 x 1024
# translation pair of dic2d_bench (radius 20, spacing 5, 30 px border).
#
#   bench/dic2d_memory.sh [BUILD_DIR]              peak resident memory (/usr/bin/time -v)
#   CALLGRIND=1 bench/dic2d_memory.sh [BUILD_DIR]  also instructions per solved point
#                                                  (valgrind --tool=callgrind, some minutes)
#
# BUILD_DIR is a CMake build with BUILD_TESTING=ON (default build/tests, as
# scripts/test.sh leaves it); it provides dic2d_bench and dic2d_cli.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build/tests}
cli=$build/dic2d/dic2d_cli
bench=$build/bench/dic2d_bench
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$bench" write "$work"
args=(--reference "$work/ref.bin" --deformed "$work/def.bin" --mask "$work/mask.bin"
      --seed-x 510 --seed-y 510 --output "$work/out.bin")

/usr/bin/time -v "$cli" "${args[@]}" >"$work/report.json" 2>"$work/time.txt"
input_bytes=$(($(stat -c %s "$work/ref.bin") + $(stat -c %s "$work/def.bin") + $(stat -c %s "$work/mask.bin")))
peak_kib=$(awk -F: '/Maximum resident set size/ {gsub(/ /, "", $2); print $2}' "$work/time.txt")
limit_kib=$((2 * input_bytes / 1024 + 32 * 1024))
solved=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["valid_points"])' "$work/report.json")
echo "solved points:        $solved"
echo "input files:          $((input_bytes / 1024)) KiB"
echo "peak resident memory: $peak_kib KiB (limit: twice the inputs + 32 MiB = $limit_kib KiB)"

if [ "${CALLGRIND:-0}" = 1 ]; then
  valgrind --tool=callgrind --callgrind-out-file="$work/callgrind.out" "$cli" "${args[@]}" \
    >/dev/null 2>"$work/callgrind.txt"
  total=$(awk '/Collected :/ {print $NF}' "$work/callgrind.txt")
  echo "instructions:         $total ($((total / solved)) per solved point)"
fi
