#!/usr/bin/env bash
# A timed tool run: "/f" updating a 256 KiB internal image on brisklink-emu
# paced like a full-speed link (one report per millisecond), against the floor
# of the program and verify passes, 2 x ceil(256 KiB / 52) ms.
# Usage: bash bench/time_update.sh [build/linux/bin] [size in bytes]
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${1:-build/linux/bin}
size=${2:-262144}
work=$(mktemp -d)
emulator=
trap 'kill "$emulator" 2>/dev/null || true; rm -rf "$work"' EXIT

source scripts/emulator.sh
pack_updater "$bin" "$work" "$size"
start_emulator "$bin" "$work/emulator.log" --pace-us 1000

# Every line of the updater's output with the milliseconds since the start.
start=$(date +%s%N)
"$work/IAP-emu" /f | while IFS= read -r line; do
  printf '%6d ms  %s\n' $((($(date +%s%N) - start) / 1000000)) "$line"
done | tee "$work/timed.txt"
total=$((($(date +%s%N) - start) / 1000000))

reports=$(((size + 51) / 52))
floor=$((2 * reports))
at() { awk -v t="$1" 'index($0, t) { print $1; exit }' "$work/timed.txt"; }
programming=$(at "Programming internal...")
after=$(at "Reset to AP...")
passes=$((after - programming))
echo
echo "image: $size bytes, $reports reports per pass, floor of the two passes: $floor ms"
echo "program + verify passes: $passes ms (ratio $(awk -v a="$passes" -v b="$floor" 'BEGIN { printf "%.2f", a / b }'))"
echo "whole /f run: $total ms (ratio $(awk -v a="$total" -v b="$floor" 'BEGIN { printf "%.2f", a / b }'), with the connection and the fixed 3 s pause before the return check)"
