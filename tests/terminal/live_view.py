#!/usr/bin/env python3
"""A batch's live view as a person sees it: IAP-emu /a /p under a
pseudo-terminal (standard output and standard error both on it, 100x30),
its bytes fed to a terminal emulator (pyte). Mid-update each adapter is on
exactly one row with its percent and no transcript line is on the screen;
the terminal then shrinks to 40 columns, and at the end each adapter is
still on one row, cut and never wrapped, with its status in colour, the
totals and the summary below.
    live_view.py BIN"""
import fcntl
import os
import pty
import select
import struct
import subprocess
import sys
import tempfile
import termios
import time

import pyte

bin_dir = sys.argv[1]
work = tempfile.mkdtemp()


def fail(why, screen=None):
    shown = "\n".join(screen.display) if screen else ""
    sys.exit(f"live_view: {why}\n{shown}")


with open(os.path.join(work, "firmware.bin"), "wb") as f:
    f.write(os.urandom(120 * 1024))
updater = os.path.join(work, "IAP-emu")
subprocess.run([os.path.join(bin_dir, "brisklink-pack"), "build", "--updater",
                os.path.join(bin_dir, "IAP-emu"), "--internal", f.name, "--version", "2.1.0",
                "--ap", "3F27:1004:01", "--iap", "3F27:1005:00", "-o", updater],
               check=True, capture_output=True)
emu = subprocess.Popen([os.path.join(bin_dir, "brisklink-emu"), "--port", "0", "--adapters", "3",
                        "--version", "1.0.0", "--pace-us", "400"], stdout=subprocess.PIPE, text=True)
address = emu.stdout.readline().strip().rsplit(" ", 1)[-1]

screen = pyte.Screen(100, 30)
stream = pyte.ByteStream(screen)
pid, master = pty.fork()
if pid == 0:
    fcntl.ioctl(0, termios.TIOCSWINSZ, struct.pack("HHHH", 30, 100, 0, 0))
    os.environ.update(BRISKLINK_EMULATOR=address, TERM="xterm")
    os.environ.pop("NO_COLOR", None)
    os.execv(updater, [updater, "/a", "/p", "/log:" + os.path.join(work, "journal.jsonl")])


def pump(seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        ready, _, _ = select.select([master], [], [], 0.1)
        if ready:
            try:
                data = os.read(master, 65536)
            except OSError:
                return False
            if not data:
                return False
            stream.feed(data)
    return True


def rows(text):
    return [line for line in screen.display if text in line]


try:
    # Mid-update: every adapter programming, each on one row with a percent.
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        pump(0.2)
        if all(len(rows(f"emu-{k} ")) == 1 and "%" in rows(f"emu-{k} ")[0] for k in (1, 2, 3)):
            break
    else:
        fail("never saw three adapters each on one row with a percent", screen)
    if any(line.startswith("[emu-") for line in screen.display):
        fail("transcript lines on the screen beside the view", screen)
    if not rows("running 3, updated 0"):
        fail("no totals line", screen)
    # Narrower: rows are cut at 39 columns from the next draw on.
    fcntl.ioctl(master, termios.TIOCSWINSZ, struct.pack("HHHH", 30, 40, 0, 0))
    screen.resize(30, 40)
    while pump(1):
        pass
    _, status = os.waitpid(pid, 0)
finally:
    emu.terminate()
    emu.wait()

if os.waitstatus_to_exitcode(status) != 0:
    fail(f"exit {os.waitstatus_to_exitcode(status)}", screen)
for k in (1, 2, 3):
    found = rows(f"emu-{k} ")
    if len(found) != 1 or "updated" not in found[0] or len(found[0].rstrip()) > 39:
        fail(f"emu-{k} at the end: {found}", screen)
    y = screen.display.index(found[0])
    x = found[0].index("updated")
    if screen.buffer[y][x].fg != "green":
        fail(f"emu-{k}'s status is not green ({screen.buffer[y][x].fg})", screen)
if not rows("running 0, updated 3") or not rows("3 adapters: 3 updated"):
    fail("no totals or summary at the end", screen)
print("live_view: three adapters on one row each with their percent, cut at 40 columns, "
      "green at the end, totals and summary below")
