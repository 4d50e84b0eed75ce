#!/usr/bin/env python3
"""A forgery of a signed Windows executable that needs no key: one byte of
its code changed, and the new Authenticode digest (which osslsigncode
computes) written over the signed one in the certificate table. The digest
then matches the file; only the signature over it tells the change.
    forge.py SIGNED OUT"""
import re
import shutil
import subprocess
import sys

signed, out = sys.argv[1], sys.argv[2]
shutil.copyfile(signed, out)
with open(out, "r+b") as f:
    f.seek(0x3C)
    pe = int.from_bytes(f.read(4), "little")
    f.seek(pe + 24 + 60)  # the optional header's SizeOfHeaders
    at = int.from_bytes(f.read(4), "little") + 16  # a byte of the first section
    f.seek(at)
    byte = f.read(1)[0]
    f.seek(at)
    f.write(bytes([byte ^ 0xFF]))
report = subprocess.run(["osslsigncode", "verify", "-in", out], capture_output=True, text=True).stdout
current = re.search(r"Current message digest\s*:\s*([0-9A-F]{64})", report).group(1)
calculated = re.search(r"Calculated message digest\s*:\s*([0-9A-F]{64})", report).group(1)
data = open(out, "rb").read()
old, new = bytes.fromhex(current), bytes.fromhex(calculated)
assert data.count(old) == 1 and old != new
open(out, "wb").write(data.replace(old, new))
