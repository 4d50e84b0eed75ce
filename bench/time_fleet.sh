#!/usr/bin/env bash
# "/a /p" of a 64 KiB image on 1, 2, 4 and 8 emulated adapters, each paced
# like a full-speed link (one report per millisecond on its own endpoint),
# with each time and its ratio to one adapter's.
# Usage: bash bench/time_fleet.sh [build/linux/bin] [size in bytes]
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${1:-build/linux/bin}
size=${2:-65536}
work=$(mktemp -d)
emulator=
trap 'kill "$emulator" 2>/dev/null || true; rm -rf "$work"' EXIT

source scripts/emulator.sh
pack_updater "$bin" "$work" "$size"

printf '%-9s %10s %8s\n' adapters "time (ms)" ratio
one=
for n in 1 2 4 8; do
  start_emulator "$bin" "$work/emulator-$n.log" --pace-us 1000 --adapters "$n"
  start=$(date +%s%N)
  "$work/IAP-emu" /a /p >"$work/run-$n.txt" || {
    cat "$work/run-$n.txt" >&2
    exit 1
  }
  ms=$((($(date +%s%N) - start) / 1000000))
  kill "$emulator" && wait "$emulator" 2>/dev/null || true
  one=${one:-$ms}
  printf '%-9s %10d %8s\n' "$n" "$ms" "$(awk -v a="$ms" -v b="$one" 'BEGIN { printf "%.2f", a / b }')"
  tail -n 1 "$work/run-$n.txt" | grep -Eq "^$n adapters?: $n updated" || {
    cat "$work/run-$n.txt" >&2
    exit 1
  }
done
