#!/usr/bin/env bash
# A station's time per adapter: 8 emulated adapters, each paced like a
# full-speed link (--pace-us 1000), plugged in 0.5 s apart into a running
# "/w /n:8 /p /log:FILE", against one adapter plugged in alone. Prints each
# adapter's time from the watch taking it to its result, and its ratio to
# the single adapter's (goal: within 1.1, no adapter waiting for another).
# Usage: bash bench/time_station.sh [build/linux/bin] [size in bytes]
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${1:-build/linux/bin}
size=${2:-65536}
work=$(mktemp -d)
emulator=
trap 'kill "$emulator" 2>/dev/null || true; exec 3>&- || true; rm -rf "$work"' EXIT
source scripts/emulator.sh # pack_updater
pack_updater "$bin" "$work" "$size"
mkfifo "$work/commands"
# Read-write, so that neither end waits for the other to open.
exec 3<>"$work/commands"

# station N: N adapters plugged in 0.5 s apart; the watch's result lines.
station() {
  local n=$1 unplugged
  unplugged=$(seq -s, 1 "$n")
  # Started here, not by start_emulator: a job in the background would get
  # /dev/null as its standard input instead of the commands.
  "$bin/brisklink-emu" --port 0 --pace-us 1000 --adapters "$n" --unplugged "$unplugged" \
    --stdin-commands <&3 >"$work/emu-$n.log" 2>&1 &
  emulator=$!
  until grep -q "listening on" "$work/emu-$n.log"; do sleep 0.1; done
  export BRISKLINK_EMULATOR=127.0.0.1:$(sed -n 's/.*127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/emu-$n.log")
  "$work/IAP-emu" /w "/n:$n" /p "/log:$work/journal-$n.jsonl" >"$work/watch-$n.txt" 2>/dev/null &
  local watch=$!
  for k in $(seq "$n"); do
    echo "plug $k" >&3
    sleep 0.5
  done
  wait "$watch" || { cat "$work/watch-$n.txt" >&2; exit 1; }
  kill "$emulator" && wait "$emulator" 2>/dev/null || true
  grep -E '^\[emu-[0-9]+\] .* updated in [0-9.]+ s$' "$work/watch-$n.txt" |
    sed 's/^\[\(emu-[0-9]*\)\].* in \([0-9.]*\) s$/\1 \2/'
}

single=$(station 1 | awk '{ print $2 }')
printf '%-9s %10s %8s\n' adapter "time (s)" ratio
printf '%-9s %10s %8s\n' alone "$single" 1.00
station 8 | sort -V | while read -r name seconds; do
  printf '%-9s %10s %8s\n' "$name" "$seconds" "$(awk -v a="$seconds" -v b="$single" 'BEGIN { printf "%.2f", a / b }')"
done
echo "journal lines: $(wc -l <"$work/journal-8.jsonl"); one append with its flush: bench_journal"
