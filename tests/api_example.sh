#!/usr/bin/env bash
# Runs the Python example of docs/api.md as it stands, from the project's
# folder, against brisklink-emu started as the document says: it must bring
# the adapter into its loader, read both versions and send it back.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
block=$(awk '/^<!-- tests\/api_example.sh runs this block/ { on = 1; next }
  on && /^    / { sub(/^    /, ""); print; seen = 1; next }
  on && /^$/ { print; next }
  on && seen { exit }' docs/api.md)
[ -n "$block" ] || { echo "api_example: no block found in docs/api.md" >&2; exit 1; }
start=$(grep -o 'build/linux/bin/brisklink-emu --port [0-9]* [^&]*' docs/api.md | head -n 1)
port=$(sed 's/.*--port \([0-9]*\).*/\1/' <<<"$start")
$start >/dev/null &
emu=$!
trap 'kill $emu 2>/dev/null || true' EXIT
sleep 0.5
out=$(BRISKLINK_EMULATOR=127.0.0.1:$port python3 -c "$block" 2>&1) || {
  echo "api_example: the example failed:" >&2
  echo "$out" >&2
  exit 1
}
if [ "$out" != $'loader: IAP V105\nfirmware: 1.0.0' ]; then
  echo "api_example: the example printed:" >&2
  echo "$out" >&2
  exit 1
fi
echo "api_example: docs/api.md's example read the emulated adapter"
