#!/usr/bin/env bash
# A shift at a station: "/w /f /log:FILE" over 16 emulated adapters plugged
# and unplugged through the emulator's standard input, CYCLES plug cycles in
# all, at a time scale that keeps a long run within minutes. Mixed in: an
# adapter pulled mid-update and put back at once (taken again), one whose
# verify always fails, one flapping every 200 ms, a rotation (move, then
# SIGHUP) and, last, a full-disk spell (root: a small tmpfs), which stops the
# station with its word; the disk cleared, a new watch goes on.
# Prints plugs and results, and the watch's threads, descriptors, RSS and
# VmSize after warm-up and at the end (growth goal: under 5 %), the lock
# files left and whether every journal line parses.
#   bash bench/soak_station.sh [CYCLES] [build/linux/bin]   (default 2000)
set -euo pipefail
cd "$(dirname "$0")/.."
cycles=${1:-2000}
bin=${2:-build/linux/bin}
scale=10
work=$(mktemp -d)
emulator= watch=
cleanup() {
  kill "$watch" "$emulator" 2>/dev/null || true
  umount "$work/disk" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
source scripts/emulator.sh
pack_updater "$bin" "$work" 4096
mkfifo "$work/control"
exec 3<>"$work/control"
mkdir "$work/disk"
full_disk=no
if [ "$(id -u)" = 0 ] && mount -t tmpfs -o size=4m tmpfs "$work/disk" 2>/dev/null; then
  full_disk=yes
fi
journal=$work/disk/journal.jsonl
say() { echo "$*" >&3; }
EMULATOR_INPUT=$work/control start_emulator "$bin" "$work/emu.log" --adapters 16 \
  --unplugged "$(seq -s, 1 16)" --stdin-commands --time-scale $scale --fault-adapter 16 --fault-fail-verify 2
export BRISKLINK_EMULATOR_TIME_SCALE=$scale
start_watch() {
  "$work/IAP-emu" /w /f /station:soak "/log:$journal" >"$work/watch.out" 2>>"$work/watch.err" &
  watch=$!
}
probe() { # threads fds rss_kb vmsize_kb of the watch
  local s=/proc/$watch/status
  echo "$(awk '/^Threads/{print $2}' "$s") $(ls "/proc/$watch/fd" | wc -l)" \
    "$(awk '/^VmRSS/{print $2}' "$s") $(awk '/^VmSize/{print $2}' "$s")"
}
records() { cat "$work"/disk/journal.jsonl* "$work"/journal.jsonl.* 2>/dev/null | wc -l || true; }
start_watch
plugs=0 rounds=$(((cycles + 14) / 15))
warm= began=$(date +%s)
for ((r = 1; r <= rounds; r++)); do
  # A round: the 15 adapters out long enough to count as unplugged, then in;
  # 15 plug cycles.
  for k in $(seq 1 15); do say "unplug $k"; done
  sleep 0.3
  for k in $(seq 1 15); do say "plug $k"; done
  plugs=$((plugs + 15))
  k=$((r % 15 + 1))
  if [ $((r % 4)) = 1 ]; then                 # pulled mid-update, back at once: taken again
    sleep 0.15; say "unplug $k"; sleep 0.03; say "plug $k"
  fi
  if [ $((r % 3)) = 0 ]; then                 # adapter 16: its verify fails
    say "unplug 16"; sleep 0.3; say "plug 16"; plugs=$((plugs + 1))
  fi
  if [ $((r % 5)) = 0 ]; then                 # adapter 16 flapping every 200 ms (scaled)
    for _ in 1 2 3 4 5; do say "unplug 16"; sleep 0.02; say "plug 16"; sleep 0.02; done
  fi
  if [ "$r" = $((rounds / 2)) ]; then         # a rotation: move, then SIGHUP
    mv "$journal" "$work/journal.jsonl.1"
    kill -HUP "$watch"
  fi
  sleep 1.2                                   # the round's runs (about 0.7 s each here)
  [ "$r" = $((rounds < 8 ? 2 : 6)) ] && warm=$(probe)
done
sleep 3
end=$(probe)
results_before=$(records)
stopped=no
if [ "$full_disk" = yes ]; then                                # a full-disk spell
  head -c 8M /dev/zero >"$work/disk/filler" 2>/dev/null || true
  for k in $(seq 1 15); do say "unplug $k"; done
  sleep 0.5
  for k in $(seq 1 15); do say "plug $k"; plugs=$((plugs + 1)); done
  for _ in $(seq 100); do grep -q "No further adapter is taken" "$work/watch.err" && break; sleep 0.1; done
  grep -q "No further adapter is taken" "$work/watch.err" && stopped=yes
  kill -INT "$watch" 2>/dev/null || true
  wait "$watch" 2>/dev/null || true
  rm -f "$work/disk/filler"
  start_watch                                                  # cleared: a new watch
  for k in $(seq 1 15); do say "unplug $k"; done
  sleep 0.5
  for k in $(seq 1 15); do say "plug $k"; plugs=$((plugs + 1)); done
  sleep 4
fi
kill -INT "$watch" 2>/dev/null || true
wait "$watch" 2>/dev/null || true
watch=
parses=$(cat "$work"/disk/journal.jsonl* "$work"/journal.jsonl.* | python3 -c '
import json, sys, collections
counts = collections.Counter()
for line in sys.stdin:
    record = json.loads(line)
    counts[record["status"]] += 1
    if "replug" in record:
        counts["pulled, " + record["replug"]] += 1
print(", ".join(f"{k} {v}" for k, v in sorted(counts.items())))') || parses="NO: a line does not parse"
# The lock files of this emulator's adapters stay (empty, one per adapter,
# taken again by name); none may still be held.
port=${BRISKLINK_EMULATOR##*:}
files=0 held=0
for f in /run/lock/brisklink-*-"$port"-*; do
  [ -e "$f" ] || continue
  files=$((files + 1))
  flock -n "$f" true || held=$((held + 1))
done
read -r w_threads w_fds w_rss w_vm <<<"$warm"
read -r e_threads e_fds e_rss e_vm <<<"$end"
growth() { python3 -c "print(f'{(int($2) - int($1)) * 100 / int($1):+.1f} %')"; }
echo "soak: $((rounds * 15)) cycles in $(($(date +%s) - began)) s at time scale $scale: $plugs plugs, $(records) results ($parses)"
echo "soak: after warm-up threads $w_threads, descriptors $w_fds, RSS $w_rss kB, VmSize $w_vm kB"
echo "soak: at the end     threads $e_threads, descriptors $e_fds, RSS $e_rss kB ($(growth "$w_rss" "$e_rss")), VmSize $e_vm kB ($(growth "$w_vm" "$e_vm"))"
echo "soak: journal stopped on the full disk: $stopped (full-disk spell: $full_disk); results before it $results_before; lock files $files, held $held"
[ "$parses" != "NO: a line does not parse" ] && [ "$held" = 0 ]
