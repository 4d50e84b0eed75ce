#!/usr/bin/env bash
# Real runs of the Linux IAP-emu against the emulated adapters, every JSON line
# they write (events and journal) validated against docs/schema/: a batch with
# a failing adapter, a list, the carried version, a bad switch, a conflict, a
# read, an adapter already current and an update stopped by SIGINT.
#   run.sh BIN SOURCE_DIR
set -euo pipefail
bin=$1
source_dir=$2
work=$(mktemp -d)
emulator=
trap 'kill "$emulator" 2>/dev/null || true; rm -rf "$work"' EXIT
source "$source_dir/scripts/emulator.sh"
key=00112233445566778899AABBCCDDEEFF
head -c 40000 /dev/urandom >"$work/firmware.bin"
head -c 5000 /dev/urandom >"$work/external.bin"
"$bin/brisklink-pack" build --updater "$bin/IAP-emu" --internal "$work/firmware.bin" \
  --external "$work/external.bin" --external-address 0x90000000 --version 2.1.0 \
  --ap 3F27:1004:01 --iap 3F27:1005:00 --command-key "$key" --digest auto \
  -o "$work/IAP-emu" 2>/dev/null
events=$work/events.jsonl
journal=$work/journal.jsonl
iap() { "$work/IAP-emu" "$@" >>"$events" 2>/dev/null || true; }

start_emulator "$bin" "$work/emu.log" --adapters 3 --command-key "$key" \
  --fault-adapter 2 --fault-fail-verify 3
iap /j /a /p "/log:$journal"
iap /j /l
iap /j /e
iap /j /x
iap /j /a "/save:$work/copy.hex"
iap /j /c /port:emu-1 "/log:$journal"
iap /j /p /port:emu-1 "/log:$journal"
kill "$emulator"
wait "$emulator" 2>/dev/null || true

# An update stopped by the operator: interrupted, with the step it was in.
start_emulator "$bin" "$work/emu2.log" --command-key "$key" --pace-us 2000
stopped=$work/stopped.jsonl
"$work/IAP-emu" /j /f "/log:$journal" >"$stopped" 2>/dev/null &
updater=$!
for _ in $(seq 200); do
  grep -q '"pass":"program_internal"' "$stopped" && break
  sleep 0.1
done
kill -INT "$updater"
wait "$updater" || true
grep -q '"status":"interrupted".*"step":"program_internal"' "$stopped" ||
  { echo "no interrupted result in program_internal:"; tail -3 "$stopped"; exit 1; }
cat "$stopped" >>"$events"
grep -q '"status":"interrupted".*"step":"program_internal"' "$journal" ||
  { echo "the journal has no interrupted record:"; tail -1 "$journal"; exit 1; }

/usr/bin/python3 "$source_dir/tests/schema/validate.py" "$source_dir/docs/schema" events "$events"
/usr/bin/python3 "$source_dir/tests/schema/validate.py" "$source_dir/docs/schema" journal "$journal"
