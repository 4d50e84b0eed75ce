#!/usr/bin/env bash
# The window under Wine against the emulated adapter: builds everything,
# packs a sample firmware (2.1.0) into IAP-emu.exe, starts brisklink-emu with
# an adapter running 1.0.0, and opens the updater's window on $DISPLAY (or on
# a virtual display of its own when there is none). Press Connect, then
# Program; close the window to end.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh linux windows

bin=build/linux/bin
work=build/window
rm -rf "$work"
mkdir -p "$work"
head -c 65536 /dev/urandom >"$work/firmware.bin"
"$bin/brisklink-pack" build --updater build/windows/bin/IAP-emu.exe \
  --internal "$work/firmware.bin" --version "2.1.0" \
  --title "Brisklink Firmware Update" --headline "Brisklink USB programmer adapter" \
  --notice "Keep the adapter plugged in while it is updated." \
  --ap 3F27:1004:01 --iap 3F27:1005:00 -o "$work/IAP-emu.exe" >/dev/null

source scripts/emulator.sh
emulator= xvfb=
trap 'kill $emulator $xvfb 2>/dev/null || true' EXIT
start_emulator "$bin" "$work/emulator.log" --mode ap --version 1.0.0 --verbose
if [ -z "${DISPLAY:-}" ]; then
  export DISPLAY=:77
  Xvfb "$DISPLAY" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb=$!
  echo "No display: the window opens on the virtual display $DISPLAY (drive it with xdotool)."
fi
echo "Emulated adapter on $BRISKLINK_EMULATOR, running firmware 1.0.0; its log: $work/emulator.log"
WINEDEBUG=-all wine "$work/IAP-emu.exe"
