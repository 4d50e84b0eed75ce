#!/usr/bin/env bash
# Installs what building and testing need on a Debian 12 machine. Safe to run
# again: it installs only what is missing.
#   bash scripts/setup.sh          everything the tests need
#   bash scripts/setup.sh --main   only what the main job builds with: the
#                                  compiler, CMake, Ninja and the two
#                                  header-only libraries
set -euo pipefail

main=(cmake ninja-build g++ pkg-config libcli11-dev nlohmann-json3-dev)
packages=(
  cmake ninja-build g++ binutils pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev nlohmann-json3-dev
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64 xvfb xdotool imagemagick
  qemu-system-x86 busybox-static cpio udev strace
  clang-format clang libclang-rt-14-dev
  osslsigncode openssl python3 python3-jsonschema
  gcc-arm-none-eabi srecord
  prometheus-node-exporter rsyslog python3-pyte python3-prometheus-client
)

[ "${1:-}" != --main ] || packages=("${main[@]}")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  echo "Installing: ${missing[*]}"
  # The tests start their own node_exporter and rsyslogd on private ports and
  # sockets: the packages' services are not started (policy-rc.d says no).
  policy=/usr/sbin/policy-rc.d
  placed=
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
    $SUDO chmod 755 "$policy"
    placed=1
    trap '$SUDO rm -f "$policy"' EXIT
  fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
