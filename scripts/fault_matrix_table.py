#!/usr/bin/env python3
"""Writes docs/reliability.md from the fault matrix test's results.

    ctest --preset linux -R FaultMatrix
    python3 scripts/fault_matrix_table.py build/linux/fault-matrix > docs/reliability.md
"""
import json
import pathlib
import sys

HEAD = """# Reliability: the fault matrix

Every row is one run of the fault matrix test (tests/process/fault_matrix_test.cpp):
"/p" of a packed `IAP-emu` (4 KiB internal image, 2 KiB external image) against
brisklink-emu with one fault that fires once, for an "IAP" and an "ISP" loader.
Clocks run 20 times fast on both sides, so the 30 s and 60 s time-outs pass in
a few seconds. A late reply comes either 1 s late (within every time-out) or
3 s after the tool's limit for that command (30 s for the ready check and the
authentication, 60 s for a page erase, 6 s for acknowledgements, 2 s for the
others). *Message* is the run's last message line (without the closing
"Operation Failed." and the "EXE F/W version" line; a search line without its
dots), *exit* its exit code. The test fails when either differs from what the
row expects, and when "Operation Success." is printed over an adapter whose
flash does not hold both images and the version record.

*Restored* means: with the fault healed (brisklink-emu on SIGUSR1), a second
"/p" updated the adapter (or skipped, when the first run had already written
the version record), "/c" then found it running its application with version
2.1.0, and its flash held both images and the record.

This file is made by `scripts/fault_matrix_table.py` from the results of the
test; do not edit it by hand.

"""


def cell(text):
    return text.replace("\t", " ").replace("|", "\\|")


def main():
    directory = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "build/linux/fault-matrix")
    rows = [json.loads(p.read_text()) for p in sorted(directory.glob("*.json"))]
    if not rows:
        sys.exit(f"no results in {directory}: run ctest -R FaultMatrix first")
    rows.sort(key=lambda r: (r["order"], r["loader"]))
    out = [HEAD]
    faults = {r["fault"] for r in rows}
    phases = {(r["fault"], r["phase"]) for r in rows}
    restored = sum(1 for r in rows if r["restored"])
    out.append(f"{len(rows)} runs: {len(faults)} kinds of fault at {len(phases)} points "
               f"(fault and phase), each for the loaders it applies to; "
               f"{restored} of {len(rows)} restored by a rerun.\n\n")
    out.append("| fault | phase | loader | emulator options | message | exit | restored |\n")
    out.append("|---|---|---|---|---|---|---|\n")
    for r in rows:
        out.append("| {} | {} | {} | `{}` | {} | {} | {} |\n".format(
            cell(r["fault"]), cell(r["phase"]), r["loader"].upper(), cell(r["options"]),
            cell(r["message"]) or "(none)", r["exit"], "yes" if r["restored"] else "**no**"))
    sys.stdout.write("".join(out))


if __name__ == "__main__":
    main()
