#!/usr/bin/env bash
# A timed save: "/save:FILE" of an adapter whose application area is 256 KiB
# (flash 0x42000, application from 0x2000), brisklink-emu paced like a
# full-speed link (one report per millisecond), against the floor of its data
# reports, ceil(L / 64) ms.
# Usage: bash bench/time_save.sh [build/linux/bin] [size in bytes, a multiple of 2048]
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${1:-build/linux/bin}
size=${2:-262144}
work=$(mktemp -d)
emulator=
trap 'kill "$emulator" 2>/dev/null || true; rm -rf "$work"' EXIT

source scripts/emulator.sh
pack_updater "$bin" "$work" 4096
start_emulator "$bin" "$work/emulator.log" --pace-us 1000 --flash-size $((0x2000 + size))

start=$(date +%s%N)
"$work/IAP-emu" /save:"$work/saved.hex" | while IFS= read -r line; do
  printf '%6d ms  %s\n' $((($(date +%s%N) - start) / 1000000)) "$line"
done | tee "$work/timed.txt"

at() { awk -v t="$1" 'index($0, t) { print $1; exit }' "$work/timed.txt"; }
saving=$(($(at "Saved ") - $(at "Saving to")))
floor=$(((size + 63) / 64))
echo
echo "application area: $size bytes, $floor data reports, floor $floor ms"
echo "save: $saving ms (ratio $(awk -v a="$saving" -v b="$floor" 'BEGIN { printf "%.2f", a / b }'), with the version record and the rediscovery, ready check and status reply of each 64 KiB read)"

# A range of a quarter of the area: "/range:" reads only that (and the
# version record), at the same floor per byte.
quarter=$((size / 4))
last=$(printf '0x%X' $((0x2000 + quarter - 1)))
start=$(date +%s%N)
"$work/IAP-emu" /save:"$work/range.hex" /range:0x2000-"$last" | while IFS= read -r line; do
  printf '%6d ms  %s\n' $((($(date +%s%N) - start) / 1000000)) "$line"
done >"$work/timed.txt"
saving=$(($(at "Saved ") - $(at "Saving to")))
floor=$(((quarter + 63) / 64))
echo "range 0x2000-$last: $quarter bytes, floor $floor ms; save: $saving ms (ratio $(awk -v a="$saving" -v b="$floor" 'BEGIN { printf "%.2f", a / b }'))"
