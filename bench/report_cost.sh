#!/usr/bin/env bash
# What one report costs on the hidraw path (IAP against brisklink-uhid
# through the kernel's HID stack) and on the emulator's TCP path (IAP-emu
# against brisklink-emu), both measured inside the test VM (QEMU, TCG), so
# that both pay the same emulated CPU: the program and verify passes of a
# 64 KiB "/f" over their reports. Runs the whole VM test with the bench added.
# Usage: bash bench/report_cost.sh   (after the linux build)
set -euo pipefail
cd "$(dirname "$0")/.."
BRISKLINK_VM_BENCH=1 bash tests/vm/run.sh | grep -E '^(bench|vm): '
cat build/vm/out/bench.txt
