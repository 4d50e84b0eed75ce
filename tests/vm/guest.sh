#!/bin/bash
# Runs inside the test VM, in a chroot of the host's file system: the Linux
# IAP (hidraw backend) against brisklink-uhid. $1 is the writable result
# folder; the packed updaters are in its parent's work folder.
set -uo pipefail
out=$1
# "usbip": only the USB/IP part (BRISKLINK_VM_PART, while working on it).
part=${2:-all}
cd "$(dirname "$0")/../.."
bin=$PWD/build/linux/bin
work=$PWD/build/vm/work
source tests/vm/scenarios.sh

# The first hidraw node of a uhid device (not one of the USB/IP adapters
# that run beside these scenarios).
uhid_node() {
  ls -l /sys/class/hidraw 2>/dev/null | grep -v vhci_hcd | grep -o 'hidraw[0-9]*$' | head -n 1 | grep .
}

adapter=
start_adapter() {
  local dump=$1
  shift
  # On the updater's CPU, at real-time priority: each output report is
  # taken before the updater's write() returns, so uhid's short queue
  # never overflows.
  # Its log goes to memory first: a write over 9p would hold it up.
  log=$dump.log
  taskset -c 0 "$bin/brisklink-uhid" --dump-dir "$dump" --verbose "$@" >/tmp/uhid.log 2>&1 &
  adapter=$!
  # The loader or application node appears at once when uhid takes it.
  for _ in $(seq 200); do
    uhid_node >/dev/null && return 0
    sleep 0.05
  done
  echo "guest: no hidraw device appeared" >&2
  cat /tmp/uhid.log >&2
}
stop_adapter() {
  kill -TERM "$adapter"
  wait "$adapter"
  cp /tmp/uhid.log "$log"
}

export BRISKLINK_TASKSET="taskset -c 0"
source tests/vm/usbip.sh
if [ "$part" = usbip ]; then
  (usbip_scenarios)
  usbip_timing
  dmesg >"$out/dmesg.txt"
  echo done >"$out/finished"
  exit 0
fi
# The USB/IP part beside this one, on the other CPU.
(usbip_scenarios) >"$out/usbip-guest.txt" 2>&1 &
usbip_job=$!
started=$(date +%s%N)
run_scenarios "$out/guest" "$work" 2>&1 | tee "$out/guest-times.txt"
echo "guest: scenarios took $((($(date +%s%N) - started) / 1000000)) ms"
# A user who may not open the node (devtmpfs makes hidraw nodes root's,
# 0600): the updater names the node and the udev rule on standard error.
start_adapter /tmp/denied "${vm_ids[@]}"
t=$(date +%s%N)
code=0
setpriv --reuid=65534 --regid=65534 --clear-groups "$work/updater-iap" /c \
  >"$out/denied.txt" 2>"$out/denied.err" </dev/null || code=$?
echo "guest: /c as a user without access: exit $code, $((($(date +%s%N) - t) / 1000000)) ms"
stop_adapter

# udev as a machine without a seat has it: the printed --group rule (from
# /run, the host's /etc is read-only here), systemd-udevd giving both
# identities' nodes to the group, and a user in that group (not root)
# connecting and updating across the application -> loader re-enumeration.
# A second, unrelated device stays root's: discovery must not open it.
rules=/run/udev/rules.d
mkdir -p "$rules"
"$bin/brisklink-pack" udev-rule --group plugdev "$work/updater-iap" >"$rules/70-brisklink.rules"
cp "$rules/70-brisklink.rules" "$out/udev-group.rules"
/lib/systemd/systemd-udevd --daemon 2>"$out/udevd.err"
taskset -c 0 "$bin/brisklink-uhid" --ap 1111:2222:01 --iap 1111:2223:00 >/tmp/other.log 2>&1 &
other=$!
sleep 0.3
start_adapter /tmp/group "${vm_ids[@]}"
udevadm settle --timeout=10
ls -l /dev/hidraw* >"$out/group-nodes.txt"
for switch in /c /p; do
  code=0
  strace -f -e trace=open,openat -o "$out/group${switch#/}.strace" \
    setpriv --reuid=65534 --regid=65534 --groups=46 "$work/updater-iap" "$switch" \
    >"$out/group${switch#/}.txt" 2>"$out/group${switch#/}.err" </dev/null || code=$?
  echo "exit code: $code" >>"$out/group${switch#/}.txt"
  echo "guest: $switch as a member of plugdev through the udev rule: exit $code"
done
other_node=$(grep -l 'HID_ID=.*:00001111:00002222' /sys/class/hidraw/*/device/uevent |
  sed -n 's|^/sys/class/hidraw/\([^/]*\)/.*|/dev/\1|p')
echo "$other_node" >"$out/group-other-node.txt"
stop_adapter
kill -TERM "$other" && wait "$other"
# Two adapters, each with its own physical path (their location): "/l"
# lists both; "/port:" updates the second (on the higher node) and follows it
# through its application -> loader -> application re-enumeration; "/a /p"
# then updates the first and finds the second current.
start_adapter /tmp/two "${vm_ids[@]}" --adapters 2
sleep 0.5
for run in "two-list /l" "two-port /port:brisklink-uhid/2 /f" "two-all /a /p"; do
  code=0
  # On the adapter's CPU, as the scenarios run: uhid drops what it cannot
  # take at once.
  taskset -c 0 "$work/updater-iap" ${run#* } >"$out/${run%% *}.txt" 2>&1 </dev/null || code=$?
  echo "exit code: $code" >>"$out/${run%% *}.txt"
  echo "guest: ${run#* }: exit $code"
done
stop_adapter
mkdir -p "$out/two"
cp /tmp/two/adapter-1/flash.bin "$out/two/flash-1.bin"
cp /tmp/two/adapter-2/flash.bin "$out/two/flash-2.bin"

# The plain rule: udev tags both identities' nodes for the seat's user.
"$bin/brisklink-pack" udev-rule "$work/updater-iap" >"$rules/70-brisklink.rules"
udevadm control --reload
for mode in ap iap; do
  "$bin/brisklink-uhid" "${vm_ids[@]}" --mode "$mode" >/tmp/uaccess.log 2>&1 &
  adapter=$!
  # settle waits only for events already queued: on a busy machine the
  # node can come after it returns.
  node=
  for _ in $(seq 200); do
    node=$(uhid_node) && break
    sleep 0.05
  done
  udevadm settle --timeout=10
  udevadm test "/sys/class/hidraw/$node" >"$out/uaccess-$mode.txt" 2>&1
  kill -TERM "$adapter" && wait "$adapter"
done
udevadm control --exit

# The adapter unplugged while the updater waits for its answer (to the
# authentication it never answers): the link drops at once, the run ends
# without waiting out its 30 s limits.
start_adapter /tmp/unplug "${vm_ids[@]}" --mode iap --fault-no-reply auth
(sleep 2 && kill -TERM "$adapter") &
t=$(date +%s%N)
code=0
"$work/updater-iap" /c >"$out/unplug.txt" 2>&1 </dev/null || code=$?
echo "$((($(date +%s%N) - t) / 1000000))" >"$out/unplug-ms.txt"
echo "guest: /c with the adapter unplugged during a status wait: exit $code, $(cat "$out/unplug-ms.txt") ms"
wait "$adapter"
# A kernel before 5.11 fails every hidraw status read with EINVAL: said
# once on standard error, at once. Both runs here wait for an answer until
# they are stopped, with KILL: a TERM is only taken between two reports, and
# these waits last their whole limits.
shim=$bin/brisklink_hidraw_shim.so
start_adapter /tmp/old "${vm_ids[@]}" --mode iap
BRISKLINK_HIDRAW_SHIM=old-kernel LD_PRELOAD=$shim timeout -s KILL 5 "$work/updater-iap" /c \
  >"$out/old-kernel.txt" 2>"$out/old-kernel.err" </dev/null
# A GET_REPORT answer shorter than a report is no answer: nothing is taken
# from it (the run waits for a whole one until it is stopped).
BRISKLINK_HIDRAW_SHIM=short LD_PRELOAD=$shim timeout -s KILL 5 "$work/updater-iap" /c \
  >"$out/short.txt" 2>&1 </dev/null
echo "exit code: $?" >>"$out/short.txt"
stop_adapter
# A signal that does not ask the run to stop (SIGUSR1, with a handler, every
# 2 ms) does not fail a report wait: "/c" reads the adapter as ever.
start_adapter /tmp/signals "${vm_ids[@]}" --mode iap
# Ignored until the shim's handler is in place (a SIGUSR1 without a handler
# would end the process).
(
  trap '' USR1
  export BRISKLINK_HIDRAW_SHIM=signals LD_PRELOAD=$shim
  exec "$work/updater-iap" /c >"$out/signals.txt" 2>&1 </dev/null
) &
updater=$!
sleep 0.2
while kill -USR1 "$updater" 2>/dev/null; do sleep 0.002; done
wait "$updater"
echo "exit code: $?" >>"$out/signals.txt"
stop_adapter
# A report descriptor of 4096 bytes, the most a HID device may have (the
# kernel's ioctl gives at most 4095 of it): the adapter is still found.
start_adapter /tmp/large "${vm_ids[@]}" --mode iap --descriptor-size 4096
"$work/updater-iap" /c >"$out/large.txt" 2>&1 </dev/null
echo "exit code: $?" >>"$out/large.txt"
stop_adapter

wait "$usbip_job"
cat "$out/usbip-guest.txt"
usbip_timing
if [ -f "$work/bench-iap" ]; then
  source tests/vm/bench.sh
fi

# The Windows IAP.exe with its own HID code, under Wine, through Wine's HID
# stack over this kernel's hidraw. Wine answers GET_REPORT itself, so the
# protocol cannot go far; what counts is that IAP.exe finds the loader by
# identity, usage page and report lengths, and that its reports reach the
# adapter whole.
if [ -f "$work/updater.exe" ]; then
  export HOME=/root WINEPREFIX=/root/.wine WINEDEBUG=-all
  t=$(date +%s%N)
  tar -xf "$work/wineprefix.tar" -C /root
  echo "guest: Wine prefix unpacked in $((($(date +%s%N) - t) / 1000000)) ms"
  taskset -c 0 "$bin/brisklink-uhid" "${vm_ids[@]}" --mode iap --verbose --log-reports --status-echo \
    >/tmp/uhid.log 2>&1 &
  adapter=$!
  sleep 0.5
  # One server for the session; the first program's output goes to a file
  # (the services it starts inherit it).
  wineserver -p
  t=$(date +%s%N)
  wine cmd /c exit </dev/null >/tmp/wine-start.log 2>&1
  echo "guest: Wine started in $((($(date +%s%N) - t) / 1000000)) ms"
  t=$(date +%s%N)
  code=0
  taskset -c 0 timeout 120 wine "$work/updater.exe" /c </dev/null >"$out/wine-c.txt" \
    2>"$out/wine-c.err" || code=$?
  echo "guest: IAP.exe /c under Wine: exit $code, $((($(date +%s%N) - t) / 1000000)) ms"
  # The location Wine's HID stack gives the adapter (its parent's location
  # path or instance ID).
  taskset -c 0 timeout 60 wine "$work/updater.exe" /l </dev/null >"$out/wine-l.txt" 2>&1
  echo "guest: IAP.exe /l under Wine: $(tr -d '\r' <"$out/wine-l.txt")"
  kill -TERM "$adapter"
  wait "$adapter"
  cp /tmp/uhid.log "$out/wine-uhid.log"
  usbip_wine
  wineserver -k || true
fi
dmesg >"$out/dmesg.txt"
echo done >"$out/finished"
