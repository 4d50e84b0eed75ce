#!/usr/bin/env bash
# The handle interface as an integrator meets it: the Python examples against
# four emulated adapters (versions read in parallel, all updated with a
# progress line each, versions read again), a second handle on an open adapter
# refused, and a C program opening two adapters by location through the DLL
# under Wine (when the Windows build is there).
#   examples.sh LIBRARY EMULATOR PACKER UPDATER-EXE [HANDLES-PROBE.exe]
set -euo pipefail
library=$1 emu_bin=$2 packer=$3 updater=$4 probe=${5:-}
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
emulator=
trap 'kill "$emulator" 2>/dev/null || true; rm -rf "$work"' EXIT
key=00112233445566778899AABBCCDDEEFF
head -c 9000 /dev/urandom >"$work/firmware.bin"
"$packer" build --updater "$updater" --internal "$work/firmware.bin" --version 2.1.0 \
  --ap 3F27:1004:01 --iap 3F27:1005:00 --command-key $key -o "$work/update" 2>/dev/null
source "$root/scripts/emulator.sh"
start_emulator "$(dirname "$emu_bin")" "$work/emu.log" --adapters 4 --command-key $key
export BRISKLINK_LIBRARY=$library
fail() { echo "examples: $*" >&2; exit 1; }

versions() {
  python3 "$root/examples/read_versions.py" "$work/update" >"$work/versions.txt" ||
    fail "read_versions.py failed: $(cat "$work/versions.txt")"
  for k in 1 2 3 4; do
    grep -qx "emu-$k  brisklink-$k  $1" "$work/versions.txt" ||
      fail "read_versions.py did not read $1 on emu-$k: $(cat "$work/versions.txt")"
  done
}
versions 1.0.0
python3 "$root/examples/update_all.py" "$work/update" >"$work/update.txt" ||
  fail "update_all.py failed: $(cat "$work/update.txt")"
grep -qx '4 adapters: 4 updated, 0 failed' "$work/update.txt" &&
  [ "$(grep -c '^\[emu-[1-4]\] program_internal 100%$' "$work/update.txt")" = 4 ] ||
  fail "update_all.py: $(cat "$work/update.txt")"
versions 2.1.0
# One adapter, one handle: the second is refused with the reason.
PYTHONPATH=$root/python python3 - "$work/update" <<'PY' || fail "a second handle was not refused"
import sys, brisklink
with brisklink.Adapter(sys.argv[1], "emu-1"):
    try:
        brisklink.Adapter(sys.argv[1], "emu-1").open()
        sys.exit(1)
    except brisklink.Error as e:
        assert "open already" in str(e), e
PY
# A cancel from another thread stops the update in the step it is in, and a
# close from another thread stops it too, waits for it and frees the handle:
# either leaves the adapter as an interrupted update leaves it, and updating
# again (the updater itself, with no replug) restores it.
PYTHONPATH=$root/python python3 - "$work/update" <<'PY' || fail "a cancelled or closed update"
import sys, threading, brisklink
with brisklink.Adapter(sys.argv[1], "emu-2") as a:
    def progress(step, percent):
        # As the pass starts: its first report is never sent.
        if step == "program_internal":
            threading.Thread(target=a.cancel).start()
            threading.Event().wait(0.2)
    try:
        a.update(progress=progress)
        sys.exit("the update was not cancelled")
    except brisklink.Interrupted as e:
        assert "cancelled during program_internal" in str(e) and e.status == "interrupted", e
    a.update()
    assert a.read_version() == "2.1.0", a.read_version()
a = brisklink.Adapter(sys.argv[1], "emu-3").open()
started = threading.Event()
closer = threading.Thread(target=lambda: (started.wait(), a.close()))
closer.start()
try:
    a.update(progress=lambda step, percent: step == "program_internal" and started.set())
    sys.exit("the update was not stopped by the close")
except brisklink.Interrupted:
    pass
closer.join()
try:
    a.read_version()
    sys.exit("a closed adapter was used")
except brisklink.Error as e:
    assert "not open" in str(e), e
PY
"$work/update" /port:emu-3 /f >"$work/rerun.txt" 2>&1 ||
  fail "a full update after the close failed: $(cat "$work/rerun.txt")"
echo "examples: four adapters read, updated and read again through the handles; a cancel stops one"
if [ -n "$probe" ] && [ -f "$probe" ] && command -v wine >/dev/null; then
  out=$(WINEDEBUG=-all wine "$probe" "Z:$work/update" emu-2 emu-3 </dev/null | tr -d '\r') ||
    fail "the C program under Wine: $out"
  [ "$out" = "$(printf 'emu-2 2.1.0\nemu-3 2.1.0\nsecond handle: the adapter at emu-2 is open already')" ] ||
    fail "the C program under Wine printed: $out"
  echo "examples: a C program opened two adapters by location through the DLL under Wine"
fi
