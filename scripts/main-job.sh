#!/usr/bin/env bash
# The main job: builds the updater, packs a sample firmware into it and asks
# the packed updater which firmware it carries.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh linux windows

work=build/main-job
mkdir -p "$work"
head -c 65536 /dev/urandom > "$work/firmware.bin"
build/linux/bin/brisklink-pack build --updater build/linux/bin/IAP \
  --internal "$work/firmware.bin" --version "2.1.0" \
  --title "Brisklink Firmware Update" --headline "Brisklink USB programmer adapter" \
  --notice "Keep the adapter plugged in while it is updated." \
  --ap 3F27:1004:01 --iap 3F27:1005:00 --command-key 00112233445566778899AABBCCDDEEFF \
  -o "$work/IAP"
build/linux/bin/brisklink-pack show "$work/IAP"
echo "\$ $work/IAP /e"
set +e
"$work/IAP" /e
code=$?
set -e
echo "exit code: $code"
exit $code
