# Sourced by scripts that need kelmora's stand-in model server.
#
#   start_standin <kelmora_standin_server> [options...]
#
# Starts the stand-in on a free loopback port with the options given, waits until it listens,
# and sets `standin_address` (host:port, usable as OLLAMA_HOST). The stand-in is stopped when
# the calling shell exits (an EXIT trap). Returns non-zero when it did not start.
start_standin() {
  local binary=$1
  shift
  standin_out="$(mktemp)"
  "$binary" --port 0 "$@" >"$standin_out" &
  standin_pid=$!
  trap 'kill "$standin_pid" 2>/dev/null || true; wait "$standin_pid" 2>/dev/null || true;
        rm -f "$standin_out"' EXIT
  standin_address=""
  local line
  for _ in $(seq 1 200); do
    line="$(head -n 1 "$standin_out")"
    if [[ "$line" == "listening on "* ]]; then
      standin_address="${line#listening on }"
      return 0
    fi
    kill -0 "$standin_pid" 2>/dev/null || break
    sleep 0.05
  done
  echo "the stand-in model server did not start" >&2
  return 1
}
