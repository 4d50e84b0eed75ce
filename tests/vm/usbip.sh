# Sourced by the guest script: the adapter as a full-speed USB device on the
# kernel's USB/IP virtual host controller (brisklink-usbip on vhci-hcd), met
# by the Linux IAP through usbhid and hidraw, as a real adapter is met:
# USB enumeration, descriptors, GET_REPORT as control transfers, interrupt
# transfers, re-enumeration on one port. Results in $out/usbip.
#
# usbip_scenarios runs beside the HID-layer scenarios, on the VM's second
# CPU, with identities of its own (3F27:1014 and 3F27:1015, updater-usb);
# usbip_timing and usbip_wine run alone, with the usual identities.
usb=$out/usbip
mkdir -p "$usb"

# start_usbip DUMPDIR OPTIONS...: the adapters, and their hidraw nodes.
start_usbip() {
  local dump=$1 count=1
  shift
  log=$dump.log
  for a in "$@"; do [ "${prev:-}" = --adapters ] && count=$a; prev=$a; done
  prev=
  taskset -c "$usb_cpu" "$bin/brisklink-usbip" --dump-dir "$dump" --verbose "$@" \
    >/tmp/usbip.log 2>&1 &
  adapter=$!
  # Nodes below the virtual host controller: the adapters' own.
  for _ in $(seq 400); do
    [ "$(ls -l /sys/class/hidraw 2>/dev/null | grep -c vhci_hcd)" -ge "$count" ] && return 0
    sleep 0.05
  done
  echo "guest: no hidraw device appeared for brisklink-usbip" >&2
  cat /tmp/usbip.log >&2
}
stop_usbip() {
  kill -TERM "$adapter"
  wait "$adapter"
  cp /tmp/usbip.log "$log"
}

# run_to FILE COMMAND...: the command's output and exit code.
run_to() {
  local file=$1 code=0
  shift
  "$@" >"$file" 2>&1 </dev/null || code=$?
  echo "exit code: $code" >>"$file"
  echo "guest: usbip ${*: -2}: exit $code"
}

usbip_scenarios() {
  usb_cpu=1
  vm_ids=(--ap 3F27:1014:01 --iap 3F27:1015:00 --command-key "$vm_key")
  vm_updater=updater-usb
  export BRISKLINK_TASKSET="taskset -c 1"
  local updater=$work/updater-usb
  # The transcripts and memory of the shared scenarios, as the emulator's.
  local started=$(date +%s%N)
start_adapter() { start_usbip "$@"; }
stop_adapter() { stop_usbip; }
run_scenarios "$usb/guest" "$work" 2>&1 | sed 's/^/usbip /'
echo "guest: usbip scenarios took $((($(date +%s%N) - started) / 1000000)) ms"

# Two adapters on ports 1 and 2: listed at their USB port paths with the
# serial numbers of their string descriptors; the second updated by its
# port through its restarts (the first untouched), then both by "/a /p".
start_usbip /tmp/usb-two "${vm_ids[@]}" --adapters 2
run_to "$usb/list.txt" taskset -c 1 "$updater" /l
run_to "$usb/json.txt" taskset -c 1 "$updater" /j /port:1-1 /c
run_to "$usb/port.txt" taskset -c 1 "$updater" /port:1-2 /f
run_to "$usb/list-after.txt" taskset -c 1 "$updater" /l
run_to "$usb/first.txt" taskset -c 1 "$updater" /port:1-1 /c
run_to "$usb/all.txt" taskset -c 1 "$updater" /a /p
ls /sys/bus/usb/devices >"$usb/devices.txt"
stop_usbip

# The cable pulled at the first report of the internal program pass: the
# run fails at once (the kernel fails the transfers), and once the adapter
# is back (in its loader, 2 s later) a rerun finishes the update.
start_usbip /tmp/usb-unplug "${vm_ids[@]}" --fault-vanish-at program:0x2000 --fault-once \
  --fault-vanish-ms 2000
t=$(date +%s%N)
run_to "$usb/unplug.txt" taskset -c 1 "$updater" /p
echo "$((($(date +%s%N) - t) / 1000000))" >"$usb/unplug-ms.txt"
sleep 2
run_to "$usb/unplug-rerun.txt" taskset -c 1 "$updater" /p
stop_usbip
cp /tmp/usb-unplug/flash.bin "$usb/unplug-flash.bin"
}

usbip_timing() {
  usb_cpu=0
# What usbhid costs against uhid, under the same emulated CPU: one status
# round trip (a ready check written, its reply fetched with GET_REPORT),
# and the program pass of a 64 KiB image.
program_pass() {
  taskset -c 0 "$work/updater-64k" /f | while IFS= read -r line; do
    echo "${EPOCHREALTIME/./} $line"
  done >"$usb/pass-$1.txt"
  awk '/Programming internal/ { s = $1 } /Verifing/ { print int(($1 - s) / 1000); exit }' \
    "$usb/pass-$1.txt"
}
for path in uhid usbip; do
  taskset -c 0 "$bin/brisklink-$path" "${vm_ids[@]}" --mode iap >/tmp/timing.log 2>&1 &
  adapter=$!
  for _ in $(seq 400); do ls /sys/class/hidraw | grep -q . && break; sleep 0.05; done
  sleep 0.3
  trip=$(taskset -c 0 python3 tests/vm/round_trip.py 3F27:1005 200)
  pass=$(program_pass "$path")
  kill -TERM "$adapter" && wait "$adapter"
  echo "$path $trip $pass" >>"$usb/timing.txt"
done
}

# IAP.exe under Wine against the USB device: discovery, "/l" and its
# reports reaching the adapter; what Wine gives for GET_REPORT is in the
# device's counts. In the guest's Wine session.
usbip_wine() {
  taskset -c 0 "$bin/brisklink-usbip" "${vm_ids[@]}" --mode iap --verbose --status-echo \
    >/tmp/usbip.log 2>&1 &
  adapter=$!
  sleep 1
  taskset -c 0 timeout 120 wine "$work/updater.exe" /c </dev/null >"$usb/wine-c.txt" 2>&1
  taskset -c 0 timeout 60 wine "$work/updater.exe" /l </dev/null >"$usb/wine-l.txt" 2>&1
  kill -TERM "$adapter" && wait "$adapter"
  cp /tmp/usbip.log "$usb/wine-usbip.log"
  echo "guest: IAP.exe under Wine against the USB device: $(tr -d '\r' <"$usb/wine-l.txt")"
}
