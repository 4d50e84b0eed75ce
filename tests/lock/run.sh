#!/usr/bin/env bash
# The one-updater lock, met from another network namespace and probed many
# times: while one IAP-emu updates emu-1, ten updaters probe its lock and are
# each told which process holds it; a second one started under `unshare -n`
# (reaching the same emulator through a forwarder over a Unix socket file)
# is refused without a report, and so is one that spells the emulator's
# address another way. The first update then ends well.
#   bash tests/lock/run.sh [build/linux/bin]     (as root: unshare -n)
set -euo pipefail
cd "$(dirname "$0")/../.."
bin=$(cd "${1:-build/linux/bin}" && pwd)
if [ "$(id -u)" -ne 0 ] || ! unshare -n true 2>/dev/null; then
  echo "lock: needs root and unshare -n; skipped"
  exit 77
fi
work=$(mktemp -d)
emulator=
pids=()
trap 'kill "$emulator" "${pids[@]}" 2>/dev/null || true; rm -rf "$work"' EXIT
source scripts/emulator.sh
pack_updater "$bin" "$work" $((200 * 1024))
start_emulator "$bin" "$work/emu.log" --adapters 2 --pace-us 1000
port=${BRISKLINK_EMULATOR##*:}
fail() {
  echo "lock: $*" >&2
  exit 1
}

"$work/IAP-emu" /port:emu-1 /f >"$work/first.txt" 2>&1 &
first=$!
pids+=("$first")
for _ in $(seq 100); do
  grep -q "^Programming internal" "$work/first.txt" && break
  sleep 0.1
done
grep -q "^Programming internal" "$work/first.txt" || fail "the first update did not start"

for i in $(seq 10); do
  if "$work/IAP-emu" /port:emu-1 /c >"$work/probe.txt" 2>"$work/probe.err" ||
    ! grep -q "lock is held by process [0-9]* (IAP-emu) of user 0\.$" "$work/probe.err"; then
    fail "probe $i was not told the holder: $(cat "$work/probe.txt" "$work/probe.err")"
  fi
done

python3 tests/lock/forward.py unix "$work/emu.sock" "127.0.0.1:$port" >"$work/fwd.txt" &
pids+=("$!")
for _ in $(seq 50); do [ -S "$work/emu.sock" ] && break; sleep 0.1; done
set +e
unshare -n bash -c "python3 tests/lock/forward.py tcp 127.0.0.1:$port '$work/emu.sock' >'$work/inner.txt' &
  for _ in \$(seq 50); do grep -q ready '$work/inner.txt' && break; sleep 0.1; done
  BRISKLINK_EMULATOR=127.0.0.1:$port '$work/IAP-emu' /port:emu-1 /f" >"$work/inside.txt" 2>&1
inside=$?
BRISKLINK_EMULATOR=localhost:$port "$work/IAP-emu" /port:emu-1 /f >"$work/spelled.txt" 2>&1
spelled=$?
wait "$first"
code=$?
set -e
for run in inside spelled; do
  [ "$run" = inside ] && c=$inside || c=$spelled
  [ "$c" -eq 1 ] && grep -q "^Another updater is using the adapter" "$work/$run.txt" ||
    fail "the updater ($run) was not refused (exit $c): $(cat "$work/$run.txt")"
done
[ "$code" -eq 0 ] && grep -q "^Operation Success\.$" "$work/first.txt" ||
  fail "the first update did not end well (exit $code): $(cat "$work/first.txt")"
echo "lock: ten probes named the holder; another network namespace and another spelling" \
  "of the emulator's address were refused; the update ended well"

# What is not an updater is never called one: a process with a hostile name
# bound to the lock's socket (it greets nobody), then a shared flock on the
# lock file; the name reaches the terminal escaped.
name=brisklink-updater-emulator-127.0.0.1-$port-emu-1
python3 - "$name" >"$work/squat.txt" <<'PY' &
import ctypes, socket, sys, time
ctypes.CDLL(None).prctl(15, b"\x1b]0;pwn\x07\x1b[31m")
s = socket.socket(socket.AF_UNIX)
s.bind("\0" + sys.argv[1])
s.listen(1)
print("bound", flush=True)
time.sleep(60)
PY
squatter=$!
pids+=("$squatter")
for _ in $(seq 50); do grep -q bound "$work/squat.txt" && break; sleep 0.1; done
expect_refusal() { # HOLDER-NAME
  local code=0
  "$work/IAP-emu" /port:emu-1 /c >"$work/held.txt" 2>&1 || code=$?
  [ "$code" -eq 1 ] && grep -qF "The adapter's lock is held by process" "$work/held.txt" &&
    grep -qF "($1) of user 0, which is not an updater." "$work/held.txt" &&
    ! grep -q "Another updater" "$work/held.txt" && ! grep -q $'\e' "$work/held.txt" ||
    fail "a holder that is no updater (exit $code): $(cat -v "$work/held.txt")"
}
expect_refusal '\x1B]0;pwn\x07\x1B[31m'
kill "$squatter"
flock -s "/run/lock/$name" sleep 60 &
sharer=$!
pids+=("$sharer")
sleep 0.5
expect_refusal flock
pkill -P "$sharer"
wait "$sharer" || true

# A lock file another user put there first, which this user cannot read, and
# a lock directory this user cannot write: the socket alone guards the
# adapter, said once, and the run goes on.
chmod 755 "$work"
planted=/run/lock/brisklink-updater-emulator-127.0.0.1-$port-emu
for k in 1 2; do
  rm -f "$planted-$k"
  install -m 600 -o 65534 /dev/null "$planted-$k"
done
as_user() { setpriv --reuid=65533 --regid=65533 --clear-groups "$@"; }
as_user "$work/IAP-emu" /a /c >"$work/planted.txt" 2>&1 ||
  fail "a planted lock file kept the update off: $(cat "$work/planted.txt")"
[ "$(grep -c "^\[emu-[12]\] The lock file $planted-[12] belongs to user 65534 and cannot be used" \
  "$work/planted.txt")" = 1 ] || fail "the planted lock file was not said once: $(cat "$work/planted.txt")"
unshare -m bash -c "mount -t tmpfs -o mode=0755 tmpfs /run/lock &&
  setpriv --reuid=65533 --regid=65533 --clear-groups '$work/IAP-emu' /port:emu-2 /c" \
  >"$work/readonly.txt" 2>&1 || fail "a lock directory this user cannot write: $(cat "$work/readonly.txt")"
grep -q "^The lock directory /run/lock cannot be written by this user (Permission denied); the socket alone" \
  "$work/readonly.txt" || fail "the read-only lock directory was not said: $(cat "$work/readonly.txt")"
rm -f "$planted"-[12]
echo "lock: holders that are no updaters named as such; a planted lock file and a read-only" \
  "lock directory said once and passed"
