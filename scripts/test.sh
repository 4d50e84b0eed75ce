#!/usr/bin/env bash
# Runs every test: builds Linux, Windows and the sanitizer build, then runs the
# Linux suite (which also drives IAP.exe under Wine), the VM test of the
# hidraw backend, the suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer, the release zip, and each fuzz target briefly on
# its corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh linux windows sanitize

export WINEDEBUG=-all
# Create the Wine prefix once, before tests run in parallel.
wine wineboot --init >/dev/null 2>&1 || true
wineserver -w 2>/dev/null || true

ctest --preset linux
# The Linux updater through a real kernel's hidraw, in a small VM.
bash tests/vm/run.sh
# The Wine tests (Windows, WindowsUpdate, Window) run the Windows binary;
# once is enough.
ctest --preset sanitize -E '^Window'
# The release zip as a user gets it: unpacked, its updaters packed by its
# own brisklink-pack (the Windows one under Wine) and run against its
# emulated adapter.
# Signed with a throw-away certificate, as a vendor signs with theirs.
certs=$(mktemp -d)
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$certs/key.pem" -out "$certs/cert.pem" \
  -days 2 -subj "/CN=Brisklink test signer" 2>/dev/null
export BRISKLINK_SIGN_PASSWORD=test-only
openssl pkcs12 -export -inkey "$certs/key.pem" -in "$certs/cert.pem" -out "$certs/test.p12" \
  -passout env:BRISKLINK_SIGN_PASSWORD
bash scripts/release.sh --no-build --sign "$certs/test.p12"
bash tests/release/run.sh "dist/brisklink-$(sed -n 's/^project(brisklink VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt).zip" "$certs"
# Every fuzz target replays its committed corpus and fuzzes on for a few
# seconds; a crash, leak or time-out fails the run.
bash bench/fuzz.sh 5
