#!/usr/bin/env bash
# Runs every fuzz target for SECONDS (and at most RUNS executions, when given)
# on a working copy of its committed corpus, then prints, per target, the
# executions, the corpus size and the findings (crash, leak, time-out and
# out-of-memory inputs, kept in build/fuzz/findings/TARGET).
#   bench/fuzz.sh SECONDS [RUNS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: bench/fuzz.sh SECONDS [RUNS] [TARGET...]}
runs=${2:--1}
shift $(($# > 1 ? 2 : 1))
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(trailer device emulator_server emulator_client pack_show hid_descriptor intel_hex srecord elf)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null

status=0
printf '%-18s %12s %10s %8s %9s\n' target executions exec/s corpus findings
for t in "${targets[@]}"; do
  work=build/fuzz/corpus/$t
  findings=build/fuzz/findings/$t
  mkdir -p "$work" "$findings"
  cp -n tests/fuzz/corpus/"$t"/* "$work"/ 2>/dev/null || true
  log=build/fuzz/$t.log
  set +e
  build/fuzz/bin/${t}_fuzz "$work" -max_total_time="$seconds" -runs="$runs" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/" >"$log" 2>&1
  rc=$?
  set -e
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  count=$(find "$findings" -type f | wc -l)
  printf '%-18s %12s %10s %8s %9s\n' "$t" "${execs:-?}" "${rate:-?}" "$(ls "$work" | wc -l)" "$count"
  if [ "$rc" -ne 0 ] || [ "$count" -ne 0 ]; then
    status=1
    grep -m3 -E 'ERROR|SUMMARY|runtime error' "$log" | sed 's/^/    /' || true
  fi
done
exit $status
