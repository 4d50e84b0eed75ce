#!/usr/bin/env bash
# The main job: builds the Linux updater, packer and emulated adapter (preset
# main: no tests, nothing else installed), packs a sample firmware into the
# updater, starts the emulated adapter running an older firmware, then shows
# the whole update: "/c" (what the adapter runs), "/p" (the update), "/c"
# again (the new version). Exits with the last updater's exit code. The test
# command (scripts/test.sh) installs and builds everything else.
set -euo pipefail
cd "$(dirname "$0")/.."
began=$(date +%s)
bash scripts/setup.sh --main
cmake --preset main >/dev/null
cmake --build --preset main

bin=build/main/bin
work=build/main-job
key=00112233445566778899AABBCCDDEEFF
rm -rf "$work"
mkdir -p "$work"
head -c 65536 /dev/urandom >"$work/firmware.bin"
head -c 16384 /dev/urandom >"$work/external.bin"
"$bin/brisklink-pack" build --updater "$bin/IAP-emu" \
  --internal "$work/firmware.bin" \
  --external "$work/external.bin" --external-address 0x90000000 \
  --version "2.1.0" \
  --title "Brisklink Firmware Update" --headline "Brisklink USB programmer adapter" \
  --notice "Keep the adapter plugged in while it is updated." \
  --ap 3F27:1004:01 --iap 3F27:1005:00 --command-key "$key" \
  -o "$work/IAP-emu" >/dev/null
"$bin/brisklink-pack" show "$work/IAP-emu"

# The emulated adapter runs its application firmware, version 1.0.0.
source scripts/emulator.sh
emulator=
trap 'kill "$emulator" 2>/dev/null || true' EXIT
start_emulator "$bin" "$work/emulator.log" --mode ap --version 1.0.0 --command-key "$key" \
  --dump-dir "$work/adapter"
echo "Emulated adapter on $BRISKLINK_EMULATOR, running firmware 1.0.0"

code=0
for switch in /c /p /c; do
  echo
  echo "\$ $work/IAP-emu $switch"
  set +e
  "$work/IAP-emu" "$switch"
  code=$?
  set -e
  echo "exit code: $code"
  [ "$code" -eq 0 ] || exit "$code"
done

# The emulator writes its memory on exit: the new firmware must be in it.
kill -TERM "$emulator"
wait "$emulator" || true
trap - EXIT
if cmp -s <(tail -c +8193 "$work/adapter/flash.bin" | head -c 65536) "$work/firmware.bin" &&
  cmp -s <(head -c 16384 "$work/adapter/external.bin") "$work/external.bin"; then
  echo
  echo "The emulated adapter's flash holds the new firmware (internal at 0x2000, external at 0x90000000)."
  echo "Main job: $(($(date +%s) - began)) s."
else
  echo "The emulated adapter's flash does not hold the new firmware." >&2
  exit 1
fi
exit "$code"
