#!/usr/bin/env python3
"""The device library as another program uses it: the Linux shared library
from Python through ctypes, and the Windows DLL from a small C program under
Wine, each reading an emulated adapter's loader version and version record.
    read_adapter.py LIBRARY EMULATOR [PROBE.exe]"""
import ctypes
import os
import subprocess
import sys

KEY = bytes.fromhex("00112233445566778899AABBCCDDEEFF")


def end_with_parent():
    # PR_SET_PDEATHSIG: should this script die in the library, the emulator
    # goes too instead of holding the test runner's output open.
    ctypes.CDLL(None).prctl(1, 15)


def wine_environment():
    # A sanitizer runtime preloaded for the library has no place in Wine.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    env["WINEDEBUG"] = "-all"
    return env


def start_emulator(path):
    emu = subprocess.Popen([path, "--port", "0", "--mode", "iap", "--version", "1.0.0",
                            "--command-key", KEY.hex().upper()],
                           stdout=subprocess.PIPE, text=True, preexec_fn=end_with_parent)
    line = emu.stdout.readline()
    prefix = "brisklink-emu: listening on "
    if not line.startswith(prefix):
        sys.exit("read_adapter: brisklink-emu did not start: " + line)
    return emu, line[len(prefix):].strip()


def read_with_ctypes(path):
    lib = ctypes.CDLL(path)
    lib.CRYPT_SetCommandKey(KEY, len(KEY))
    if lib.ISP_IsConnectedToDevice(0x3F27, 0x1005, 0) != 1:
        sys.exit("read_adapter: the library found no loader")
    if lib.ISP_SendAuthentication() != 1:
        sys.exit("read_adapter: the authentication failed")
    text = (ctypes.c_uint16 * 32)()
    size = ctypes.c_int()
    if lib.ISP_GetInformation(4, text, ctypes.byref(size)) != 0:
        sys.exit("read_adapter: ISP_GetInformation failed")
    loader = "".join(chr(c) for c in text[: size.value // 2])
    record = (ctypes.c_uint8 * 64)()
    if lib.ISP_ReadData(0x1800, 0x183F, record) != 0:
        sys.exit("read_adapter: ISP_ReadData failed")
    length = int.from_bytes(bytes(record[0:4]), "little")
    version = bytes(record[4:4 + length]).decode()
    lib.ISP_ResetToIAP(1)
    lib.ISP_CloseSerialPortConnect()
    return loader, version


def main():
    library, emulator = sys.argv[1], sys.argv[2]
    probe = sys.argv[3] if len(sys.argv) > 3 else ""
    emu, address = start_emulator(emulator)
    os.environ["BRISKLINK_EMULATOR"] = address
    try:
        got = read_with_ctypes(library)
        if got != ("IAP V105", "1.0.0"):
            sys.exit("read_adapter: the library read %r" % (got,))
        print("read_adapter: Python read loader %s and record %s through %s"
              % (got[0], got[1], os.path.basename(library)))
        if probe and os.path.exists(probe):
            out = subprocess.run(["wine", probe], capture_output=True, text=True,
                                 env=wine_environment())
            lines = out.stdout.replace("\r", "")
            if out.returncode != 0 or lines != "loader: IAP V105\nrecord: 1.0.0\n":
                sys.exit("read_adapter: the DLL under Wine: exit %d, %r %r"
                         % (out.returncode, lines, out.stderr))
            print("read_adapter: a C program read the same through the DLL under Wine")
    finally:
        emu.terminate()
        emu.wait()


main()
