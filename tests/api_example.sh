#!/usr/bin/env bash
# Runs docs/api.md's Python example as it stands, from the project's folder,
# against brisklink-emu started as the document starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
block=$(awk '/^<!-- tests\/api_example.sh runs this block/ { on = 1; next }
  on && /^    / { sub(/^    /, ""); print; seen = 1; next }
  on && /^$/ { print; next }
  on && seen { exit }' docs/api.md)
$(grep -o 'build/linux/bin/brisklink-emu --port 47232 [^&]*' docs/api.md) >/dev/null &
trap 'kill $! 2>/dev/null || true' EXIT
sleep 0.5
out=$(BRISKLINK_EMULATOR=127.0.0.1:47232 python3 -c "$block" 2>&1) || true
[ "$out" = $'loader: IAP V105\nfirmware: 1.0.0' ] || { echo "api_example: $out" >&2; exit 1; }
echo "api_example: docs/api.md's example read the emulated adapter"
