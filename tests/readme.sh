#!/usr/bin/env bash
# Runs the README's emulator block exactly as it stands, line by line, in a
# scratch folder that sees the build as the project's folder does: the Linux
# updater must update the adapter and the Windows one read the new version.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'pkill -f "brisklink-emu --port 47231" 2>/dev/null || true; rm -rf "$work"' EXIT
ln -s "$root/build" "$work/build"
block=$(awk '/^<!-- tests\/readme.sh runs this block/ { on = 1; next }
  on && /^    / { sub(/^    /, ""); print; seen = 1; next }
  on && seen && !/^$/ { exit }' "$root/README.md")
[ -n "$block" ] || { echo "readme: no block found in README.md" >&2; exit 1; }
cd "$work"
set +e
bash -c "$block" >out.txt 2>&1
code=$?
set -e
out=$(tr -d '\r' <out.txt)
if [ "$code" -ne 0 ] || ! grep -q '^Operation Success\.$' <<<"$out" ||
  ! grep -q '^Chip F/W version: 2\.1\.0$' <<<"$out"; then
  echo "readme: the README's emulator block did not update the adapter (exit $code):" >&2
  cat out.txt >&2
  exit 1
fi
echo "readme: the README's emulator block updated the emulated adapter"
