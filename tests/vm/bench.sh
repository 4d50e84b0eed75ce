# Sourced by the guest script when the VM runs for bench/report_cost.sh:
# the same "/f" of a 64 KiB image once through hidraw (IAP against
# brisklink-uhid) and once through the emulator's TCP path (IAP-emu against
# brisklink-emu), both inside the VM, so both pay the same emulated CPU.
# One report's cost: the program and verify passes over their reports.
bench_size=$(stat -c %s "$work/bench-firmware.bin")
bench_reports=$((2 * ((bench_size + 51) / 52)))

# timed_passes UPDATER NAME: microseconds from "Programming internal..." to
# "Reset to AP..." of one "/f".
timed_passes() {
  taskset -c 0 "$1" /f | while IFS= read -r line; do
    # No process per line: a fork costs milliseconds under TCG.
    echo "${EPOCHREALTIME/./} $line"
  done >"$out/bench-$2.txt"
  awk '/Programming internal/ { s = $1 } /Reset to AP/ { print $1 - s; exit }' "$out/bench-$2.txt"
}

taskset -c 0 "$bin/brisklink-uhid" "${vm_ids[@]}" >/dev/null 2>&1 &
adapter=$!
sleep 0.5
hidraw=$(timed_passes "$work/bench-iap" hidraw)
kill -TERM "$adapter"
wait "$adapter"

"$bin/brisklink-emu" --port 0 "${vm_ids[@]}" >/tmp/emu.log 2>&1 &
adapter=$!
for _ in $(seq 100); do
  port=$(sed -n 's/^brisklink-emu: listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' /tmp/emu.log)
  [ -n "$port" ] && break
  sleep 0.1
done
export BRISKLINK_EMULATOR=127.0.0.1:$port
tcp=$(timed_passes "$work/bench-iap-emu" tcp)
kill -TERM "$adapter"
wait "$adapter"
cp /tmp/emu.log "$out/bench-emu.log"

echo "bench: $bench_reports reports; hidraw passes $((hidraw / 1000)) ms" \
  "($((hidraw / bench_reports)) us a report), emulator TCP passes $((tcp / 1000)) ms" \
  "($((tcp / bench_reports)) us a report)" | tee "$out/bench.txt"
