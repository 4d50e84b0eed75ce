#!/usr/bin/env bash
# A timed tool run of the window beside the console: the Windows IAP-emu.exe
# under Wine updates a 256 KiB internal image on brisklink-emu paced like a
# full-speed link (--pace-us 1000), once with "/f" and once through the
# window's Connect and Program buttons (clicked through the X server, the
# window read by brisklink-window-probe.exe). Needs the linux and windows
# builds, Wine, Xvfb (when there is no $DISPLAY) and xdotool.
# Usage: bash bench/time_window.sh [size in bytes]
set -euo pipefail
cd "$(dirname "$0")/.."
size=${1:-262144}
bin=build/linux/bin
win=build/windows/bin
title="Brisklink Firmware Update"
work=$(mktemp -d)
emulator= xvfb= window=
trap 'kill $window $emulator $xvfb 2>/dev/null || true; rm -rf "$work"' EXIT
export WINEDEBUG=-all

head -c "$size" /dev/urandom >"$work/firmware.bin"
"$bin/brisklink-pack" build --updater "$win/IAP-emu.exe" --internal "$work/firmware.bin" \
  --version 9.9.9 --title "$title" --ap 3F27:1004:01 --iap 3F27:1005:00 \
  -o "$work/IAP-emu.exe" >/dev/null
source scripts/emulator.sh
start_emulator "$bin" "$work/emulator.log" --pace-us 1000
if [ -z "${DISPLAY:-}" ]; then
  export DISPLAY=:79
  Xvfb "$DISPLAY" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb=$!
  sleep 1
fi
ms() { echo $(($(date +%s%N) / 1000000)); }
# The probe's output through a file: Wine's services may hold a pipe open.
probe() { wine "$win/brisklink-window-probe.exe" "$@" >"$work/probe.out" 2>/dev/null; cat "$work/probe.out"; }
click() { xdotool mousemove $(probe centre "$title" "$1") click 1; }

# Wine itself started once, so that neither run pays for its start.
wine "$work/IAP-emu.exe" /h >/dev/null 2>&1 || true

start=$(ms)
wine "$work/IAP-emu.exe" /f >"$work/console.txt" 2>&1
console=$(($(ms) - start))
tail -n 2 "$work/console.txt" | head -n 1

wine "$work/IAP-emu.exe" >/dev/null 2>&1 &
window=$!
probe controls "$title" 120 >/dev/null
start=$(ms)
click 1010
probe wait "$title" 1007 Connected 60 >/dev/null
connected=$(ms)
click 1003
probe follow "$title" "Operation successful." 600 >"$work/follow.txt"
finished=$(ms)
tail -n 1 "$work/follow.txt"

reports=$(((size + 51) / 52))
echo
echo "image: $size bytes, $reports reports per pass, floor of the two passes: $((2 * reports)) ms"
echo "console /f under Wine:                 $console ms"
echo "window, Connect to Operation successful: $((finished - start)) ms" \
  "(connection $((connected - start)) ms, update $((finished - connected)) ms)"
