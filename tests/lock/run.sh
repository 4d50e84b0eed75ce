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
