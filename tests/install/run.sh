#!/usr/bin/env bash
# cmake --install of the Linux build into a fresh prefix, then two C programs
# built against it, one through pkg-config and one through find_package,
# each reading the emulated adapter's version.
#   run.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source_dir=$2
work=$(mktemp -d)
emulator=
trap 'kill "$emulator" 2>/dev/null || true; rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
[ -e "$prefix/lib/libbrisklink-isp.so" ] || { echo "libbrisklink-isp.so not installed"; exit 1; }

export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
# shellcheck disable=SC2046
cc -Wall -Werror -o "$work/by-pkg-config" "$source_dir/tests/install/consumer.c" \
  $(pkg-config --cflags --libs brisklink-emu) -Wl,-rpath,"$prefix/lib"
cmake -S "$source_dir/tests/install" -B "$work/by-cmake" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_BUILD_RPATH="$prefix/lib" >/dev/null
cmake --build "$work/by-cmake" >/dev/null

bin=$build/bin
source "$source_dir/scripts/emulator.sh"
head -c 4096 /dev/urandom >"$work/firmware.bin"
"$bin/brisklink-pack" build --updater "$bin/IAP-emu" --internal "$work/firmware.bin" \
  --version 2.0.0 --ap 3F27:1004:01 --iap 3F27:1005:00 -o "$work/IAP-emu" 2>/dev/null
start_emulator "$bin" "$work/emu.log" --version 1.4.2
for consumer in "$work/by-pkg-config" "$work/by-cmake/consumer"; do
  out=$("$consumer" "$work/IAP-emu")
  [ "$out" = "emu-1 application 1.4.2" ] || { echo "$consumer: '$out'"; exit 1; }
  # Back in its application before the next one opens it.
  sleep 1.5
done
echo "installed: both consumers read emu-1 application 1.4.2"
