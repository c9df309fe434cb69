#!/usr/bin/env bash
# Runs the demonstration: two behaviour trees ask a language model for the news and print the
# answers as they stream in.
#
#   bash scripts/demo.sh
#
# Installs what the build needs (scripts/setup.sh), builds kelmora_demo and the stand-in model
# server in ./build/demo, then runs the demo against the Ollama server that OLLAMA_HOST names (default
# http://127.0.0.1:11434). When no server answers there, it starts kelmora's stand-in model server
# on a free loopback port instead, says so on standard error, and stops it afterwards. Standard
# output holds only the demo's answers; the exit status is the demo's.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/demo"

bash "$root/scripts/setup.sh"

bash "$root/scripts/build.sh" "$build" -DKELMORA_BUILD_TESTS=OFF \
  --target=kelmora_demo --target=kelmora_standin_server >&2

demo="$build/examples/kelmora_demo"
standin="$build/tools/standin/kelmora_standin_server"

# The base URL of the server OLLAMA_HOST names, read by the same parser the client uses.
url="$("$standin" --print-ollama-url)"
if curl -s --noproxy 127.0.0.1,localhost,::1 --max-time 2 -o /dev/null "$url/api/tags"; then
  exec "$demo"
fi

standin_out="$(mktemp)"
"$standin" --port 0 --piece-delay-ms 20 >"$standin_out" &
standin_pid=$!
cleanup() {
  kill "$standin_pid" 2>/dev/null || true
  wait "$standin_pid" 2>/dev/null || true
  rm -f "$standin_out"
}
trap cleanup EXIT

address=""
for _ in $(seq 1 200); do
  line="$(head -n 1 "$standin_out")"
  if [[ "$line" == "listening on "* ]]; then
    address="${line#listening on }"
    break
  fi
  kill -0 "$standin_pid" 2>/dev/null || break
  sleep 0.05
done
if [ -z "$address" ]; then
  echo "demo: the stand-in model server did not start" >&2
  exit 1
fi

echo "no Ollama server answered at $url; using kelmora's stand-in model server on $address" \
  "(its answers are canned, not a model's)" >&2
status=0
OLLAMA_HOST="$address" "$demo" || status=$?
exit "$status"
