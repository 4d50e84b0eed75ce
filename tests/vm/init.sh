#!/bin/busybox sh
# /init of the test VM's initramfs: loads the modules the test needs, mounts
# the host's root file system (read-only) and the result folder (writable)
# over 9p, and runs the guest script in a chroot of the host's system.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
# Loopback, for the emulator's TCP path.
ip link set lo up
for m in virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci netfs \
  fscache 9pnet 9pnet_virtio 9p hid hid-generic uhid usb-common usbcore usbip-core vhci-hcd \
  usbhid; do
  insmod /modules/$m.ko 2>/dev/null
done
arg() { tr ' ' '\n' </proc/cmdline | sed -n "s/^brisklink\.$1=//p"; }
guest=$(arg guest)
out=$(arg out)
root=$(arg root)
part=$(arg part)
opts=trans=virtio,version=9p2000.L,msize=524288
mount -t 9p -o $opts,ro,cache=loose host /host
# The project, kept aside: a checkout under /tmp, /run or /root would be
# hidden by the guest's own tmpfs there.
mkdir -p /project
mount -o bind "/host$root" /project
mount -t proc proc /host/proc
mount -t sysfs sysfs /host/sys
mount -t devtmpfs devtmpfs /host/dev
mkdir -p /host/dev/pts /host/dev/shm
mount -t devpts devpts /host/dev/pts
for d in /tmp /run /root /dev/shm; do mount -t tmpfs tmpfs "/host$d"; done
if [ ! -e "/host$root/tests/vm/guest.sh" ]; then
  mkdir -p "/host$root"
  mount -o bind /project "/host$root"
fi
mount -t 9p -o $opts out "/host$out"
echo "vm: up after $(cut -d' ' -f1 /proc/uptime) s"
chroot /host /bin/bash "$guest" "$out" "$part"
echo "vm: guest script ended with $?"
sync
poweroff -f
