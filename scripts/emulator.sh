# Sourced by the scripts that run an updater against the emulated adapter.
# start_emulator BIN LOG [options...]: starts BIN/brisklink-emu on a free port
# with the options, sets $emulator to its pid and exports BRISKLINK_EMULATOR.
start_emulator() {
  local bin=$1 log=$2 port=
  shift 2
  "$bin/brisklink-emu" --port 0 "$@" >"$log" 2>&1 &
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
