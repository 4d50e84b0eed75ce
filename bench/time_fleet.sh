#!/usr/bin/env bash
# "/a /f" of a 64 KiB image on 1, 2, 4, 8 and 16 emulated adapters, each
# paced like a full-speed link (one report per millisecond on its own
# endpoint), against one "/port: /f" of one adapter: each time and its ratio
# to that single run (the target: at most 1.03).
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

# One run of the updater with ARGS on N adapters: its time in ms.
timed() {
  local n=$1
  shift
  start_emulator "$bin" "$work/emulator-$n.log" --pace-us 1000 --adapters "$n"
  local start
  start=$(date +%s%N)
  "$work/IAP-emu" "$@" >"$work/run-$n.txt" || {
    cat "$work/run-$n.txt" >&2
    exit 1
  }
  echo $((($(date +%s%N) - start) / 1000000))
  kill "$emulator" && wait "$emulator" 2>/dev/null || true
}

single=$(timed 1 /port:emu-1 /f)
printf '%-24s %10s %8s\n' run "time (ms)" ratio
printf '%-24s %10d %8s\n' "/port:emu-1 /f, 1" "$single" 1.00
for n in 1 2 4 8 16; do
  ms=$(timed "$n" /a /f)
  printf '%-24s %10d %8s\n' "/a /f, $n" "$ms" "$(awk -v a="$ms" -v b="$single" 'BEGIN { printf "%.2f", a / b }')"
  tail -n 1 "$work/run-$n.txt" | grep -Eq "^$n adapters?: $n updated" || {
    cat "$work/run-$n.txt" >&2
    exit 1
  }
done
