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

# shellcheck source=lib/standin.sh
source "$root/scripts/lib/standin.sh"
start_standin "$standin" --piece-delay-ms 20 || { echo "demo: $(cat "$standin_out")" >&2; exit 1; }

echo "no Ollama server answered at $url; using kelmora's stand-in model server on $standin_address" \
  "(its answers are canned, not a model's)" >&2
status=0
OLLAMA_HOST="$standin_address" "$demo" || status=$?
exit "$status"
