# Sourced by the VM test on both sides: the same updates run once on the host
# (IAP-emu against brisklink-emu, the expected results) and once in the VM
# (IAP through hidraw against brisklink-uhid). Each run leaves, per
# scenario, one transcript per updater run with its exit code and the
# adapter's memory.
#
# run_scenarios DIR WORK: WORK holds the packed updater ($vm_updater,
# updater-iap unless set, for the identities of vm_ids); start_adapter
# DUMPDIR OPTIONS... and stop_adapter are defined by the caller.
vm_key=00112233445566778899AABBCCDDEEFF
vm_ids=(--ap 3F27:1004:01 --iap 3F27:1005:00 --command-key "$vm_key")

# runs NAME UPDATER SWITCH...: one updater run per switch.
runs() {
  local name=$1 updater=$2 n=0
  shift 2
  for switch in "$@"; do
    n=$((n + 1))
    local started=$(date +%s%N) code=0
    ${BRISKLINK_TASKSET:-} "$updater" "$switch" >"$dir/$name-$n.txt" 2>"$dir/$name-$n.err" || code=$?
    echo "exit code: $code" >>"$dir/$name-$n.txt"
    echo "$name $n ($switch): exit $code, $((($(date +%s%N) - started) / 1000000)) ms"
  done
}

run_scenarios() {
  dir=$1
  local work=$2 updater=$2/${vm_updater:-updater-iap}
  mkdir -p "$dir"
  # An IAP loader: what it runs, the update, the new version.
  start_adapter "$dir/iap" "${vm_ids[@]}"
  runs iap "$updater" /c /p /c
  stop_adapter
  # An ISP loader: mass erase, restart, reconnection.
  start_adapter "$dir/isp" "${vm_ids[@]}" --loader isp
  runs isp "$updater" /p /f
  stop_adapter
  # A rejected verify report, then a clean rerun restores the adapter.
  start_adapter "$dir/fault" "${vm_ids[@]}" --fault-fail-verify 3 --fault-once
  runs fault "$updater" /p /p
  stop_adapter
}
