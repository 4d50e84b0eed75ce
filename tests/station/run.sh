#!/usr/bin/env bash
# A station's shift in miniature, through the real IAP-emu and brisklink-emu
# (plugged by hand through its standard input), one group at a time:
#   run.sh BIN SOURCE_DIR giveback|replug|journal|labels|fulldisk
set -euo pipefail
bin=$1 source_dir=$2 group=$3
work=$(mktemp -d)
emulator=
watch=
trap 'kill "$watch" "$emulator" 2>/dev/null || true; exec 3>&- || true; rm -rf "$work"' EXIT
source "$source_dir/scripts/emulator.sh"
fail() { echo "station $group: $*" >&2; exit 1; }
key=00112233445566778899AABBCCDDEEFF
head -c 65536 /dev/urandom >"$work/firmware.bin"
"$bin/brisklink-pack" build --updater "$bin/IAP-emu" --internal "$work/firmware.bin" \
  --version 2.1.0 --ap 3F27:1004:01 --iap 3F27:1005:00 --command-key $key \
  -o "$work/IAP" 2>/dev/null
journal=$work/journal.jsonl
# The emulator takes "plug K", "unplug K" on standard input, from fd 3.
mkfifo "$work/control"
exec 3<>"$work/control"
emulate() { EMULATOR_INPUT=$work/control start_emulator "$bin" "$work/emu.log" \
  --command-key $key --stdin-commands "$@"; }
say() { echo "$*" >&3; }
records() { [ -f "$journal" ] && wc -l <"$journal" || echo 0; }
recorded() { [ "$(records)" -ge "$1" ]; }
waitFor() { # waitFor SECONDS COMMAND...: until COMMAND succeeds
  local limit=$1
  shift
  for _ in $(seq $((limit * 10))); do "$@" && return 0; sleep 0.1; done
  return 1
}
field() { python3 -c "import json,sys; print([json.loads(l) for l in open(sys.argv[1])][int(sys.argv[2])][sys.argv[3]])" "$journal" "$1" "$2"; }

case $group in
giveback)
  # After its result the watch gives each adapter back: another updater may
  # read the idle one while the watch runs on.
  emulate --adapters 2
  "$work/IAP" /w /p /n:3 "/log:$journal" >"$work/watch.out" 2>&1 &
  watch=$!
  waitFor 60 recorded 2 || fail "no two results: $(cat "$work/watch.out")"
  "$work/IAP" /port:emu-2 /c >"$work/c.out" 2>&1 || fail "the idle adapter was kept: $(cat "$work/c.out")"
  grep -q "Chip F/W version: 2.1.0" "$work/c.out" || fail "$(cat "$work/c.out")"
  # Its restart after /c is no new plug for the watch.
  sleep 3
  [ "$(records)" = 2 ] || fail "the watch took the adapter /c restarted"
  kill -INT "$watch"
  wait "$watch" && fail "an interrupted watch exited 0" || true
  ;;
replug)
  # A cable pulled during the update and put back within a second: the run
  # fails, and the adapter there is taken again at once.
  emulate --pace-us 1000
  "$work/IAP" /w /p /n:2 "/log:$journal" /j >"$work/watch.out" 2>"$work/watch.err" &
  watch=$!
  waitFor 60 grep -q '"pass":"program_internal","percent":[1-9]' "$work/watch.out" ||
    fail "no programming: $(cat "$work/watch.out")"
  say "unplug 1"
  sleep 0.5
  say "plug 1"
  waitFor 60 recorded 2 || fail "no second run: $(cat "$journal" "$work/watch.err")"
  wait "$watch" || true
  [ "$(field 0 status)" = failed ] && [ "$(field 0 replug)" = taken_again ] ||
    fail "first result: $(sed -n 1p "$journal")"
  [ "$(field 1 status)" = updated ] || fail "second result: $(sed -n 2p "$journal")"
  ;;
journal)
  # A rotation (move, then SIGHUP) goes on in the new file; a journal whose
  # folder is removed stops the station with a word, and no record is lost
  # without it.
  emulate --adapters 1
  mkdir "$work/log"
  journal=$work/log/journal.jsonl
  "$work/IAP" /w /c "/log:$journal" >"$work/watch.out" 2>"$work/watch.err" &
  watch=$!
  waitFor 30 recorded 1 || fail "no first record: $(cat "$work/watch.err")"
  mv "$journal" "$journal.1"
  kill -HUP "$watch"
  say "unplug 1"; sleep 2; say "plug 1"
  waitFor 30 recorded 1 || fail "nothing in the new journal: $(cat "$work/watch.err")"
  [ "$(wc -l <"$journal.1")" = 1 ] || fail "the moved journal got more records"
  rm -rf "$work/log"
  say "unplug 1"; sleep 2; say "plug 1"
  waitFor 30 grep -q "No further adapter is taken" "$work/watch.err" || fail "$(cat "$work/watch.err")"
  set +e; wait "$watch"; code=$?; set -e
  [ "$code" = 1 ] || fail "a station that lost its journal exited $code"
  ;;
labels)
  # Each record names its station, the process's run and the tags.
  emulate --adapters 2
  "$work/IAP" /a /c /station:line-4 /tag:order=WO-1234 /tag:operator=Ana "/log:$journal" /j \
    >"$work/a.out" 2>&1 || fail "$(cat "$work/a.out")"
  python3 - "$journal" "$work/a.out" <<'PY' || fail "labels"
import json, sys
records = [json.loads(l) for l in open(sys.argv[1])]
events = [json.loads(l) for l in open(sys.argv[2])]
runs = {r["run"] for r in records + [e for e in events if "run" in e]}
assert len(records) == 2 and len(runs) == 1, (records, runs)
for r in records + [e for e in events if e["event"] in ("start", "result")]:
    assert r["station"] == "line-4" and r["tags"] == {"order": "WO-1234", "operator": "Ana"}, r
PY
  for bad in /station: /tag:Order=1 "/tag:x=$(printf 'a\tb')" "/station:$(head -c 65 /dev/zero | tr '\0' s)"; do
    out=$("$work/IAP" /c "$bad" 2>&1) && fail "$bad was taken"
    case $out in *"/station:"*|*"/tag:"*) ;; *) fail "$bad: $out" ;; esac
  done
  ;;
fulldisk)
  # A journal on a full disk: the record that does not fit is cut back, the
  # file ends with a whole line, the station says so and takes no more.
  if [ "$(id -u)" != 0 ] || ! mount -t tmpfs -o size=64k tmpfs "$work/log" 2>/dev/null; then
    mkdir -p "$work/log" 2>/dev/null
    mount -t tmpfs -o size=64k tmpfs "$work/log" 2>/dev/null ||
      { echo "station fulldisk: skipped (needs root to mount a small tmpfs)"; exit 0; }
  fi
  trap 'kill "$watch" "$emulator" 2>/dev/null || true; umount "$work/log" 2>/dev/null; rm -rf "$work"' EXIT
  journal=$work/log/journal.jsonl
  # Full but for the rest of the journal's last page: twelve records do not
  # fit there.
  emulate --adapters 12
  "$work/IAP" /port:emu-1 /c "/log:$journal" >/dev/null 2>"$work/err" || fail "$(cat "$work/err")"
  head -c 1M /dev/zero >"$work/log/filler" 2>/dev/null || true
  set +e; "$work/IAP" /a /c "/log:$journal" >"$work/out" 2>"$work/err"; code=$?; set -e
  [ "$code" = 1 ] || fail "exit $code with a full journal: $(cat "$work/out" "$work/err"; ls -la "$work/log"; df "$work/log")"
  grep -q "cannot be written: No space left on device. No further adapter is taken." "$work/err" ||
    fail "$(cat "$work/err")"
  python3 -c "import json,sys; [json.loads(l) for l in open(sys.argv[1])]" "$journal" ||
    fail "the journal does not parse: $(tail -c 300 "$journal")"
  [ "$(tail -c 1 "$journal" | od -An -c | tr -d ' ')" = '\n' ] || fail "no whole last line"
  ;;
*) fail "no such group" ;;
esac
echo "station $group: passed"
