# Sourced by the scripts that run an updater against the emulated adapter.
# start_emulator BIN LOG [options...]: starts BIN/brisklink-emu on a free port
# with the options, sets $emulator to its pid and exports BRISKLINK_EMULATOR.
# Its standard input is $EMULATOR_INPUT (for --stdin-commands), else nothing.
start_emulator() {
  local bin=$1 log=$2 port=
  shift 2
  "$bin/brisklink-emu" --port 0 "$@" <"${EMULATOR_INPUT:-/dev/null}" >"$log" 2>&1 &
  emulator=$!
  for _ in $(seq 100); do
    port=$(sed -n 's/^brisklink-emu: listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$log")
    [ -n "$port" ] && break
    sleep 0.1
  done
  if [ -z "$port" ]; then
    echo "brisklink-emu did not start:" >&2
    cat "$log" >&2
    return 1
  fi
  export BRISKLINK_EMULATOR=127.0.0.1:$port
}

# pack_updater BIN WORK SIZE: WORK/IAP-emu, an updater carrying SIZE random
# bytes as its internal image (version 9.9.9), for the timed runs.
pack_updater() {
  local bin=$1 work=$2 size=$3
  head -c "$size" /dev/urandom >"$work/firmware.bin"
  "$bin/brisklink-pack" build --updater "$bin/IAP-emu" --internal "$work/firmware.bin" \
    --version 9.9.9 --ap 3F27:1004:01 --iap 3F27:1005:00 -o "$work/IAP-emu" >/dev/null
}
