#!/usr/bin/env bash
# Runs every test: builds Linux, Windows and the sanitizer build (preset fuzz:
# the fuzz targets, the in-process tests and the tools under
# AddressSanitizer and UndefinedBehaviorSanitizer), then runs, side by side
# where they do not compete for the cores, the Linux suite (which also drives
# IAP.exe under Wine) and the VM test of the hidraw backend; then the
# sanitizer build's tests, the signed release zip and each fuzz target
# briefly on its corpus. Prints each part's time at the end.
#   bash scripts/test.sh           every test
#   bash scripts/test.sh --quick   the in-process tests and the Linux process
#                                  tests only, for the edit-compile-test loop
set -euo pipefail
cd "$(dirname "$0")/.."
quick=no
case ${1:-} in
  --quick) quick=yes ;;
  "") ;;
  *) echo "usage: bash scripts/test.sh [--quick]" >&2; exit 2 ;;
esac
export WINEDEBUG=-all
began=$(date +%s)
times=()
# part NAME COMMAND...: runs COMMAND and keeps its time for the summary.
part() {
  local name=$1 start
  start=$(date +%s)
  shift
  "$@"
  times+=("$(printf '%-44s %4d s' "$name" $(($(date +%s) - start)))")
}
summary() {
  local code=$?
  # A part that failed leaves no VM behind.
  if [ -n "${vm:-}" ] && kill -0 "$vm" 2>/dev/null; then
    pkill -TERM -P "$vm" 2>/dev/null || true
    kill "$vm" 2>/dev/null || true
  fi
  echo
  for t in "${times[@]}"; do echo "test: $t"; done
  echo "test: total $(($(date +%s) - began)) s, exit $code"
}
trap summary EXIT
part "install check" bash scripts/setup.sh

if [ "$quick" = yes ]; then
  part "build linux" bash scripts/build.sh linux
  part "Linux suite without Wine" ctest --preset linux -j 8 -E '^(Window|Windows|WindowsUpdate|WindowsRelease|Readme)[./]'
  exit 0
fi

# The Wine prefix is made once, before tests run in parallel, and beside the
# builds: it mostly waits for its own services.
(wine wineboot --init >/dev/null 2>&1 || true) &
wineboot=$!
part "build linux" bash scripts/build.sh linux
part "build windows" bash scripts/build.sh windows
part "build sanitizer (fuzz preset)" bash scripts/build.sh fuzz
part "Wine prefix (made beside the builds)" bash -c "wait $wineboot 2>/dev/null; wineserver -w 2>/dev/null || true"

# The Linux updater through a real kernel's hidraw, in a small VM: it keeps
# about one core busy and the Linux suite mostly waits, so they run side by
# side, and so do the release test and the fuzz replays on the other core.
# The window tests come last, alone: a window that has to appear, take keys
# and update within its waits is at the mercy of a loaded machine.
vm_log=$(mktemp)
vm_start=$(date +%s)
bash tests/vm/run.sh >"$vm_log" 2>&1 &
vm=$!
windows='^(Window)\.'
part "Linux suite (and Wine), without the window" ctest --preset linux -j 6 -E "$windows"
# The sanitizer build: every in-process test, and the process tests of what
# they do not reach (the updater's main, console and lock, the emulator's
# client and server, the packer), run by the same test programs against the
# sanitized binaries.
part "sanitizer: in-process tests" build/fuzz/bin/brisklink_unit_tests --gtest_brief=1 \
  --gtest_shuffle
processes='Update\.(WholeUpdateThroughAnIapLoader|AnInterrupted|ASecondUpdater|AClosedStandard)'
processes+='|Update\.AnUpdaterBeyond|Pack\.|Updater\.|UpdaterText\.|Emulator\.'
part "sanitizer: process tests" ctest --preset fuzz -j 4 -R "^($processes)" -E GivesUpAfterSixty
# The release zip as a user gets it, signed with a throw-away certificate as
# a vendor signs with theirs: unpacked, its updaters packed by its own
# brisklink-pack (the Windows one under Wine), signed and run against its
# emulated adapter.
certs=$(mktemp -d)
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$certs/key.pem" -out "$certs/cert.pem" \
  -days 2 -subj "/CN=Brisklink test signer" 2>/dev/null
export BRISKLINK_SIGN_PASSWORD=test-only
openssl pkcs12 -export -inkey "$certs/key.pem" -in "$certs/cert.pem" -out "$certs/test.p12" \
  -passout env:BRISKLINK_SIGN_PASSWORD
version=$(sed -n 's/^project(brisklink VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
part "release" bash -c "bash scripts/release.sh --no-build --sign '$certs/test.p12' &&
  bash tests/release/run.sh 'dist/brisklink-$version.zip' '$certs'"
rm -rf "$certs"
# A short shift: 200 plug cycles of 16 adapters with faults, a rotation and a
# full disk; what the watch holds must not grow (bench/soak_station.sh).
part "soak (200 plug cycles)" bash bench/soak_station.sh 200
# Every fuzz target replays its committed corpus and fuzzes on for a few
# seconds; a crash, leak or time-out fails the run.
part "fuzz" bash bench/fuzz.sh 5

set +e
wait "$vm"
vm_code=$?
set -e
vm=
cat "$vm_log"
rm -f "$vm_log"
times+=("$(printf '%-44s %4d s' "VM test (beside the suites)" $(($(date +%s) - vm_start)))")
[ "$vm_code" -eq 0 ] || exit "$vm_code"
# The window alone, once the VM is done.
part "the window under Wine" ctest --preset linux -R "$windows"
