#!/usr/bin/env bash
# Builds the release: dist/brisklink-VERSION/ and dist/brisklink-VERSION.zip
# with the Windows updater and packer, the Linux ones, the emulated adapter
# and the updaters built for it (to try everything without hardware), the
# docs, the quick start and a SHA-256 sums file. VERSION comes from the
# project's version in CMakeLists.txt. With --sign, the Windows executables
# are signed (Authenticode, SHA-256) with the PKCS#12 certificate FILE, its
# password taken from BRISKLINK_SIGN_PASSWORD when that is set.
#   bash scripts/release.sh [--no-build] [--sign FILE]
set -euo pipefail
cd "$(dirname "$0")/.."
build=yes
certificate=
while [ $# -gt 0 ]; do
  case $1 in
    --no-build) build=no ;;
    --sign)
      certificate=$(realpath "${2:?release: --sign needs a PKCS#12 file}")
      shift
      ;;
    *) echo "usage: bash scripts/release.sh [--no-build] [--sign FILE]" >&2; exit 2 ;;
  esac
  shift
done
if [ "$build" = yes ]; then
  bash scripts/setup.sh
  bash scripts/build.sh linux windows
fi

version=$(sed -n 's/^project(brisklink VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "release: no project version in CMakeLists.txt" >&2; exit 1; }
name=brisklink-$version
out=dist/$name
rm -rf "$out" "dist/$name.zip"
mkdir -p "$out/windows" "$out/linux" "$out/docs"

for exe in IAP.exe brisklink-pack.exe IAP-emu.exe; do
  if [ -n "$certificate" ]; then
    build/linux/bin/brisklink-pack sign "build/windows/bin/$exe" "$out/windows/$exe" \
      --pkcs12 "$certificate" ${BRISKLINK_SIGN_PASSWORD+--password-env BRISKLINK_SIGN_PASSWORD}
  else
    cp "build/windows/bin/$exe" "$out/windows/"
  fi
done
cp build/linux/bin/IAP build/linux/bin/brisklink-pack build/linux/bin/IAP-emu \
  build/linux/bin/brisklink-emu "$out/linux/"
# The device library for other programs, with its header.
mkdir -p "$out/library/windows" "$out/library/linux" "$out/library/include/brisklink"
cp build/windows/bin/brisklink-isp.dll build/windows/bin/brisklink-isp-emu.dll \
  build/windows/libbrisklink-isp.dll.a build/windows/libbrisklink-isp-emu.dll.a \
  "$out/library/windows/"
cp build/linux/bin/libbrisklink-isp.so build/linux/bin/libbrisklink-isp-emu.so "$out/library/linux/"
# As an installed library has them: #include <brisklink/brisklink.h>.
cp include/brisklink/isp.h include/brisklink/brisklink.h "$out/library/include/brisklink/"
# The handle interface from Python (ctypes, no build step) and its examples.
mkdir -p "$out/library/python" "$out/library/examples"
cp python/brisklink.py "$out/library/python/"
cp examples/*.py "$out/library/examples/"
cp docs/*.md "$out/docs/"
cp -r docs/images docs/schema "$out/docs/"

mkdir -p "$out/samples"
cp samples/firmware.bin "$out/samples/"

# Every command in it runs as written from the release's folder;
# tests/release/run.sh runs the Linux ones.
cat >"$out/QUICKSTART.txt" <<TEXT
Brisklink firmware update tool $version

Every command below runs as written from this folder.

windows/IAP.exe            the updater (no firmware in it yet)
windows/brisklink-pack.exe packs firmware into a copy of the updater
linux/IAP, linux/brisklink-pack   the same for Linux
linux/brisklink-emu        an emulated adapter, for trying without hardware
*/IAP-emu(.exe)            the updater built to talk to brisklink-emu
samples/firmware.bin       a sample firmware image (16 KiB) to pack
library/                   the device library for other programs (docs/api.md)
docs/                      how everything works (start with usage.md)

Pack an updater (Windows, in cmd):

  windows\\brisklink-pack.exe build --updater windows\\IAP.exe --internal samples\\firmware.bin --version 2.1.0 --title "Brisklink Firmware Update" --ap 3F27:1004:01 --iap 3F27:1005:00 --command-key 00112233445566778899AABBCCDDEEFF --digest auto -o Brisklink-Update-2.1.0.exe
  windows\\brisklink-pack.exe show --check Brisklink-Update-2.1.0.exe

The same on Linux:

  linux/brisklink-pack build --updater linux/IAP --internal samples/firmware.bin --version 2.1.0 --title "Brisklink Firmware Update" --ap 3F27:1004:01 --iap 3F27:1005:00 --command-key 00112233445566778899AABBCCDDEEFF --digest auto -o Brisklink-Update-2.1.0
  linux/brisklink-pack show --check Brisklink-Update-2.1.0

Sign the Windows one, after packing (Linux, with osslsigncode and your
certificate; docs/release.md):

  SIGN_PASSWORD=... linux/brisklink-pack sign Brisklink-Update-2.1.0.exe Brisklink-Update-2.1.0-signed.exe --pkcs12 vendor.p12 --password-env SIGN_PASSWORD

Run it: double-click for the window, or from a console:

  Brisklink-Update-2.1.0.exe /c     show the adapter's versions
  Brisklink-Update-2.1.0.exe /p     update when the carried version is newer
  Brisklink-Update-2.1.0.exe /f     update whatever the versions

Exit code 0 for success, 1 for error. docs/usage.md explains every message.
On Linux a user without root needs a udev rule (docs/linux.md):

  linux/brisklink-pack udev-rule Brisklink-Update-2.1.0

Without hardware (Linux): an emulated adapter that runs firmware 1.0.0,
updated by an updater built for it:

  linux/brisklink-pack build --updater linux/IAP-emu --internal samples/firmware.bin --version 2.1.0 --ap 3F27:1004:01 --iap 3F27:1005:00 --command-key 00112233445566778899AABBCCDDEEFF -o try-emu
  linux/brisklink-emu --port 47231 --like try-emu --version 1.0.0 &
  BRISKLINK_EMULATOR=127.0.0.1:47231 ./try-emu /p
  kill %1
TEXT

(cd "$out" && find . -type f ! -name SHA256SUMS -printf '%P\n' | LC_ALL=C sort |
  xargs sha256sum >SHA256SUMS)
# CMake writes the zip: nothing beyond the build tools is needed.
(cd dist && cmake -E tar cf "$name.zip" --format=zip "$name")
echo "release: dist/$name.zip ($(du -h "dist/$name.zip" | cut -f1))"
