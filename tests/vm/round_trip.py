#!/usr/bin/env python3
"""Status round trips on a hidraw node, as the updater makes them: a ready
check written as an output report, then GET_REPORT (HIDIOCGINPUT) until the
adapter's reply comes. Prints the mean microseconds of one round trip.
Usage: round_trip.py VID:PID COUNT"""
import errno, fcntl, glob, os, sys, time

ident, count = sys.argv[1].upper().split(":"), int(sys.argv[2])
node = None
for uevent in glob.glob("/sys/class/hidraw/*/device/uevent"):
    if f"HID_ID=0003:0000{ident[0]}:0000{ident[1]}" in open(uevent).read():
        node = "/dev/" + uevent.split("/")[4]
if node is None:
    sys.exit(f"round_trip: no hidraw node for {sys.argv[1]}")
fd = os.open(node, os.O_RDWR)
HIDIOCGINPUT = 0xC0000000 | (65 << 16) | (ord("H") << 8) | 0x0A
ready = bytes([0, 0xFF]) + bytes([0x5A]) * 63
start = time.monotonic_ns()
for _ in range(count):
    os.write(fd, ready)
    for attempt in range(1000):
        buffer = bytearray(65)
        try:
            fcntl.ioctl(fd, HIDIOCGINPUT, buffer)
            break
        except OSError as e:  # no reply yet: the device stalled or refused
            if e.errno not in (errno.EPIPE, errno.EIO):
                raise
    else:
        sys.exit("round_trip: no reply")
print((time.monotonic_ns() - start) // 1000 // count)
