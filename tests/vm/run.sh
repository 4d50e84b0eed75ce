#!/usr/bin/env bash
# The updater against a real kernel's HID stack: boots a small VM (QEMU,
# TCG) on Debian's own kernel, taken from its package and never installed
# here, with busybox for the initramfs and this machine's root file system
# shared read-only over 9p, so the built binaries run inside unchanged.
# Inside, the Linux IAP (hidraw) updates brisklink-uhid; the same scenarios
# run here first against brisklink-emu, and both must give the same
# transcripts, exit codes and adapter memory.
# Usage: bash tests/vm/run.sh   (after the linux build; needs qemu-system-x86,
# busybox-static and cpio, which scripts/setup.sh installs)
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
bin=$root/build/linux/bin
vm=$root/build/vm
ms() { echo $(($(date +%s%N) / 1000000)); }
begin=$(ms)
for tool in qemu-system-x86_64 busybox cpio; do
  command -v "$tool" >/dev/null || { echo "vm: $tool is not installed (scripts/setup.sh)" >&2; exit 1; }
done
[ -x "$bin/brisklink-uhid" ] || { echo "vm: no $bin/brisklink-uhid (build the linux preset)" >&2; exit 1; }

# Debian's kernel, from its package, kept between runs.
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -n 1
}
if [ ! -f "$vm/kernel/vmlinuz" ]; then
  package=$(kernel_package)
  if [ -z "$package" ]; then
    apt-get update -qq
    package=$(kernel_package)
  fi
  rm -rf "$vm/kernel" && mkdir -p "$vm/kernel/deb"
  (cd "$vm/kernel/deb" && apt-get download "$package" 2>/dev/null)
  dpkg-deb -x "$vm/kernel/deb/"*.deb "$vm/kernel/root"
  cp "$vm/kernel/root/boot/vmlinuz-"* "$vm/kernel/vmlinuz"
fi
modules=$(ls -d "$vm/kernel/root/lib/modules/"*)

# The initramfs: busybox, the modules, the init script.
rm -rf "$vm/initramfs" "$vm/out" "$vm/work"
mkdir -p "$vm/initramfs/"{bin,dev,proc,sys,host,modules} "$vm/out" "$vm/work"
cp "$(command -v busybox)" "$vm/initramfs/bin/busybox"
for m in virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci netfs \
  fscache 9pnet 9pnet_virtio 9p hid hid-generic uhid usb-common usbcore usbip-core vhci-hcd \
  usbhid; do
  cp "$(find "$modules" -name "$m.ko" | head -n 1)" "$vm/initramfs/modules/"
done
cp tests/vm/init.sh "$vm/initramfs/init"
chmod +x "$vm/initramfs/init"
(cd "$vm/initramfs" && find . | cpio -o -H newc --quiet | gzip -1) >"$vm/initramfs.gz"

# The updaters: a small image (a report round trip costs milliseconds
# under TCG); one for the emulator here, one for hidraw in the VM.
work=$vm/work
head -c 6000 /dev/urandom >"$work/firmware.bin"
head -c 2000 /dev/urandom >"$work/external.bin"
pack() {
  "$bin/brisklink-pack" build --updater "$1" --internal "$work/firmware.bin" \
    --external "$work/external.bin" --external-address 0x90000000 --version 2.1.0 \
    --ap 3F27:1004:01 --iap 3F27:1005:00 --command-key 00112233445566778899AABBCCDDEEFF \
    -o "$2" >/dev/null
}
pack "$bin/IAP" "$work/updater-iap"
# The USB/IP adapters that run beside the uhid ones have identities of
# their own.
"$bin/brisklink-pack" build --updater "$bin/IAP" --internal "$work/firmware.bin" \
  --external "$work/external.bin" --external-address 0x90000000 --version 2.1.0 \
  --ap 3F27:1014:01 --iap 3F27:1015:00 --command-key 00112233445566778899AABBCCDDEEFF \
  -o "$work/updater-usb" >/dev/null
# 64 KiB for the timing of a program pass through usbhid and uhid.
head -c 65536 /dev/urandom >"$work/firmware-64k.bin"
"$bin/brisklink-pack" build --updater "$bin/IAP" --internal "$work/firmware-64k.bin" \
  --version 2.1.0 --ap 3F27:1004:01 --iap 3F27:1005:00 \
  --command-key 00112233445566778899AABBCCDDEEFF -o "$work/updater-64k" >/dev/null
if [ -n "${BRISKLINK_VM_BENCH:-}" ]; then
  # bench/report_cost.sh: a larger image, through both paths, in the VM.
  head -c 65536 /dev/urandom >"$work/bench-firmware.bin"
  for variant in IAP IAP-emu; do
    "$bin/brisklink-pack" build --updater "$bin/$variant" --internal "$work/bench-firmware.bin" \
      --version 2.1.0 --ap 3F27:1004:01 --iap 3F27:1005:00 \
      --command-key 00112233445566778899AABBCCDDEEFF -o "$work/bench-${variant,,}" >/dev/null
  done
fi
if [ -f "$root/build/windows/bin/IAP.exe" ] && command -v wine >/dev/null; then
  pack "$root/build/windows/bin/IAP.exe" "$work/updater.exe"
  # A Wine prefix for the VM, made here once (its first start there would
  # take most of a minute): hidraw devices on (SDL off), no display. The VM
  # unpacks symlinks into it and real copies of its registry.
  prefix=$vm/wine/prefix
  if [ ! -f "$vm/wine/ready" ]; then
    rm -rf "$vm/wine" && mkdir -p "$vm/wine"
    export WINEPREFIX=$prefix WINEDEBUG=-all
    wine wineboot --init </dev/null >"$vm/wine/boot.log" 2>&1
    wine reg add 'HKLM\System\CurrentControlSet\Services\winebus' /v 'Enable SDL' \
      /t REG_DWORD /d 0 /f </dev/null >>"$vm/wine/boot.log" 2>&1
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f \
      </dev/null >>"$vm/wine/boot.log" 2>&1
    wineserver -w
    unset WINEPREFIX
    touch "$vm/wine/ready"
  fi
  rm -rf "$vm/wine/links" && mkdir -p "$vm/wine/links/.wine"
  cp -as "$prefix/drive_c" "$vm/wine/links/.wine/drive_c"
  # .update-timestamp too: without it Wine updates the prefix (most of a minute).
  cp -a "$prefix/dosdevices" "$prefix/"*.reg "$prefix/.update-timestamp" "$vm/wine/links/.wine/"
  tar -C "$vm/wine/links" -cf "$work/wineprefix.tar" .wine
fi

prepared=$(ms)

# The expected results: the same scenarios against brisklink-emu.
source scripts/emulator.sh
source tests/vm/scenarios.sh
mkdir -p "$vm/host"
pack "$bin/IAP-emu" "$vm/host/updater-iap"
emulator=
start_adapter() {
  local dump=$1
  shift
  start_emulator "$bin" "$dump.log" --dump-dir "$dump" "$@"
}
stop_adapter() {
  kill -TERM "$emulator"
  wait "$emulator" || true
}
# The VM: results come back in build/vm/out, the console in build/vm/console.txt.
# The expected results are made here while it boots and runs.
timeout 900 qemu-system-x86_64 -accel tcg -cpu max,smap=off -m 1024 -smp 2 \
  -nographic -no-reboot -kernel "$vm/kernel/vmlinuz" -initrd "$vm/initramfs.gz" \
  -append "console=ttyS0 quiet panic=-1 brisklink.guest=$root/tests/vm/guest.sh brisklink.out=$vm/out brisklink.root=$root brisklink.part=${BRISKLINK_VM_PART:-all}" \
  -virtfs local,path=/,mount_tag=host,security_model=none,readonly=on,multidevs=remap \
  -virtfs "local,path=$vm/out,mount_tag=out,security_model=none" \
  </dev/null >"$vm/console.txt" 2>&1 &
qemu_pid=$!
trap 'kill "$qemu_pid" "${emulator:-}" 2>/dev/null || true' EXIT
run_scenarios "$vm/expected" "$vm/host" >"$vm/host-times.txt"
expected=$(ms)
set +e
wait "$qemu_pid"
qemu=$?
set -e
booted=$(ms)
# The console starts with the firmware's terminal codes: lines are matched anywhere.
grep -a -o -E '(vm|guest|bench): .*|(iap|isp|fault) [0-9] \(.*' "$vm/console.txt" | tr -d '\r' || true
if [ ! -f "$vm/out/finished" ]; then
  echo "vm: the guest did not finish (qemu exit $qemu); console:" >&2
  tail -n 40 "$vm/console.txt" >&2
  exit 1
fi

# Byte for byte: transcripts with exit codes, and the adapter's memory. The
# one allowance: the dots of a search count its attempts, and how many pass
# while an adapter restarts depends on real time, so a run of dots (or none) before
# "-->OK" compares as one.
dots() { sed -E 's/^(Connecting (AP|IAP))\.*-->OK$/\1.-->OK/' "$1"; }
failed=0
# compare_with_emulator DIR LABEL: the shared scenarios' transcripts and
# memory in DIR against the emulator's.
compare_with_emulator() {
  local dir=$1 label=$2
  for f in "$vm/expected/"*.txt; do
    name=$(basename "$f")
    if ! cmp -s <(dots "$f") <(dots "$dir/$name"); then
      echo "vm: $label$name differs from the emulator's:" >&2
      diff "$f" "$dir/$name" >&2 || true
      failed=1
    fi
  done
  for s in iap isp fault; do
    for mem in flash.bin external.bin; do
      if ! cmp -s "$vm/expected/$s/$mem" "$dir/$s/$mem"; then
        echo "vm: $label$s $mem differs from the emulator's" >&2
        failed=1
      fi
    done
  done
}
# The HID-layer part (brisklink-uhid), unless only the USB/IP part ran.
if [ "${BRISKLINK_VM_PART:-all}" != usbip ]; then
compare_with_emulator "$vm/out/guest" ""
# Two adapters by location: both listed, the second updated by its port,
# then the first by "/a", each one's memory as the single adapter's.
if [ "$(grep -c '^brisklink-uhid/\([12]\)  application  3F27:1004  brisklink-\1$' "$vm/out/two-list.txt")" != 2 ] ||
  ! grep -q '^\[brisklink-uhid/1\] Operation Success\.$' "$vm/out/two-all.txt" ||
  ! grep -q '^2 adapters: 1 updated, 1 already current, 0 failed$' "$vm/out/two-all.txt" ||
  ! grep -q '^Operation Success\.$' "$vm/out/two-port.txt"; then
  echo "vm: two adapters by location:" >&2
  cat "$vm/out/two-list.txt" "$vm/out/two-port.txt" "$vm/out/two-all.txt" >&2
  failed=1
fi
for k in 1 2; do
  if ! cmp -s "$vm/expected/iap/flash.bin" "$vm/out/two/flash-$k.bin"; then
    echo "vm: adapter $k of two holds other memory than the single adapter's" >&2
    failed=1
  fi
done
if grep -q "Output queue is full" "$vm/out/dmesg.txt"; then
  echo "vm: uhid dropped output reports (dmesg: Output queue is full)" >&2
  failed=1
fi
# A user without access to the node: told which node and which rule, once.
if [ "$(grep -c 'this user may not open it' "$vm/out/denied.err")" != 1 ] ||
  ! grep -q '^/dev/hidraw[0-9]* is the adapter' "$vm/out/denied.err" ||
  ! grep -q '^SUBSYSTEM=="hidraw", KERNELS=="\*:3F27:1004\.\*", TAG+="uaccess"$' "$vm/out/denied.err" ||
  ! grep -q '^Connect AP Fail!$' "$vm/out/denied.txt"; then
  echo "vm: no access hint for a user without access to the node:" >&2
  cat "$vm/out/denied.err" "$vm/out/denied.txt" >&2
  failed=1
fi
# Through the --group udev rule, as a user in that group: "/c" and "/p" end
# with 0, the rule has no comment after a rule, and the unrelated node was
# never opened.
for switch in c p; do
  if ! grep -q '^exit code: 0$' "$vm/out/group$switch.txt" ||
    grep -q '"  *#' "$vm/out/udev-group.rules"; then
    echo "vm: /$switch as a member of plugdev through the udev rule failed:" >&2
    cat "$vm/out/udev-group.rules" "$vm/out/group-nodes.txt" "$vm/out/group$switch.txt" \
      "$vm/out/group$switch.err" >&2
    failed=1
  fi
  other_node=$(cat "$vm/out/group-other-node.txt")
  if [ -z "$other_node" ] || grep -q "\"$other_node\"" "$vm/out/group$switch.strace"; then
    echo "vm: /$switch opened the unrelated node ${other_node:-(not found)}" >&2
    failed=1
  fi
done
for mode in ap iap; do
  if ! grep -q '^TAGS=.*:uaccess:' "$vm/out/uaccess-$mode.txt"; then
    echo "vm: udevadm test does not tag the $mode node uaccess:" >&2
    tail -n 20 "$vm/out/uaccess-$mode.txt" >&2
    failed=1
  fi
done
if [ "$(cat "$vm/out/unplug-ms.txt")" -gt 15000 ] || ! grep -q '^Connecting IAP' "$vm/out/unplug.txt" ||
  grep -q 'takes no commands' "$vm/out/unplug.txt"; then
  echo "vm: an adapter unplugged during a status wait was waited for ($(cat "$vm/out/unplug-ms.txt") ms):" >&2
  cat "$vm/out/unplug.txt" >&2
  failed=1
fi
if [ "$(grep -c 'too old for the adapter.s status reads.*5\.11' "$vm/out/old-kernel.err")" != 1 ]; then
  echo "vm: no single old-kernel notice:" >&2
  cat "$vm/out/old-kernel.err" >&2
  failed=1
fi
for case in "short:^exit code: 137$" "signals:^exit code: 0$" "large:^exit code: 0$"; do
  name=${case%%:*}
  # A short answer taken as whole would have read the chip's version.
  if ! grep -q "${case#*:}" "$vm/out/$name.txt" ||
    { [ "$name" = short ] && grep -q '^Chip F/W' "$vm/out/$name.txt"; }; then
    echo "vm: the $name scenario ended otherwise:" >&2
    cat "$vm/out/$name.txt" >&2
    failed=1
  fi
done
# IAP.exe under Wine: it found the loader (identity, usage page, 65/65
# report lengths), and the adapter took its reports as whole: the
# authentication it checks against its key, scrambled commands whose frame
# CRC it checks after descrambling, no refused frame.
if [ -f "$work/updater.exe" ]; then
  uhid=$vm/out/wine-uhid.log
  if ! grep -q "^Connecting IAP-->OK" "$vm/out/wine-c.txt" ||
    ! grep -q "^adapter 1: auth$" "$uhid" || ! grep -q "^adapter 1: info" "$uhid" ||
    grep -q "refused: frame CRC" "$uhid" ||
    grep "^report " "$uhid" | grep -qv ": 65 bytes, id 00,"; then
    echo "vm: IAP.exe under Wine did not reach the uhid adapter as expected:" >&2
    head -n 5 "$vm/out/wine-c.txt" >&2
    head -n 12 "$uhid" >&2
    failed=1
  else
    echo "vm: IAP.exe under Wine found the loader and $(grep -c '^report ' "$uhid")" \
      "of its reports reached brisklink-uhid whole"
  fi
fi
fi

# The same adapter as a USB device (brisklink-usbip on vhci-hcd, usbhid):
# the shared scenarios as the emulator's, byte for byte.
usb=$vm/out/usbip
compare_with_emulator "$usb/guest" "usbip "
# Two adapters at their USB port paths (as /sys/bus/usb/devices names
# them), the same before and after the second's restarts, with the
# serial numbers of their string descriptors; the first untouched by the
# second's update; "/a /p" over both.
listed() { grep -c '^1-\([12]\)  application  3F27:1014  brisklink-\1$' "$1"; }
if [ "$(listed "$usb/list.txt")" != 2 ] || [ "$(listed "$usb/list-after.txt")" != 2 ] ||
  ! grep -qx '1-1' "$usb/devices.txt" || ! grep -qx '1-2' "$usb/devices.txt" ||
  ! grep -q '"location":"1-1".*"serial":"brisklink-1"' "$usb/json.txt" ||
  ! grep -q '^Operation Success\.$' "$usb/port.txt" ||
  ! grep -q '^Chip F/W version: 1\.0\.0$' "$usb/first.txt" ||
  ! grep -q '^2 adapters: 1 updated, 1 already current, 0 failed$' "$usb/all.txt"; then
  echo "vm: two USB adapters by port:" >&2
  cat "$usb/list.txt" "$usb/json.txt" "$usb/port.txt" "$usb/list-after.txt" "$usb/first.txt" \
    "$usb/all.txt" >&2
  failed=1
fi
# Unplugged mid-program: a failure within seconds, then a clean rerun.
if [ "$(cat "$usb/unplug-ms.txt")" -gt 15000 ] || ! grep -q '^exit code: 1$' "$usb/unplug.txt" ||
  ! grep -q '^Operation Success\.$' "$usb/unplug-rerun.txt" ||
  ! cmp -s "$vm/expected/iap/flash.bin" "$usb/unplug-flash.bin"; then
  echo "vm: a USB adapter unplugged mid-program ($(cat "$usb/unplug-ms.txt") ms):" >&2
  cat "$usb/unplug.txt" "$usb/unplug-rerun.txt" >&2
  failed=1
fi
if read -r _ uhid_trip uhid_pass && read -r _ usb_trip usb_pass; then
  echo "vm: usbhid against uhid (same emulated CPU): status round trip $usb_trip us against" \
    "$uhid_trip us (ratio $(awk -v a="$usb_trip" -v b="$uhid_trip" 'BEGIN { printf "%.2f", a / b }')), 64 KiB program pass" \
    "$usb_pass ms against $uhid_pass ms (ratio $(awk -v a="$usb_pass" -v b="$uhid_pass" 'BEGIN { printf "%.2f", a / b }'))"
else
  echo "vm: no timing of usbhid against uhid" >&2
  failed=1
fi <"$usb/timing.txt"
if [ -f "$work/updater.exe" ]; then
  if ! grep -q "^Connecting IAP-->OK" "$usb/wine-c.txt" || ! grep -q "^adapter 1: auth$" "$usb/wine-usbip.log"; then
    echo "vm: IAP.exe under Wine did not reach the USB adapter as expected:" >&2
    head -n 5 "$usb/wine-c.txt" >&2
    tail -n 12 "$usb/wine-usbip.log" >&2
    failed=1
  else
    echo "vm: IAP.exe under Wine against the USB adapter: /l $(tr -d '\r' <"$usb/wine-l.txt" | head -n 1);" \
      "$(sed -n 's/^brisklink-usbip: adapter 1: //p' "$usb/wine-usbip.log")"
  fi
fi
echo "vm: preparing (kernel, initramfs, updaters, Wine prefix) $((prepared - begin)) ms," \
  "VM (boot, scenarios, power-off) $((booted - prepared)) ms, the emulator's runs beside it $((expected - prepared)) ms"
[ "$failed" -eq 0 ] && echo "vm: the Linux IAP through hidraw (uhid and USB/IP) matched the emulator in every scenario"
exit "$failed"
