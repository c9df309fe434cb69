#!/usr/bin/env bash
# scripts/check-python-package.sh <build-dir>: checks the Python package as a user gets it.
#   1. A fresh virtual environment of `python3` (the first on PATH, as a user's) and
#      `pip install --no-build-isolation .` from this clone (no network: the in-tree build
#      backend builds the extension with CMake); then the demonstration runs from that
#      environment, against the stand-in model server built in <build-dir>, and must print the
#      two answers; the type stubs and py.typed must be installed.
#   2. `python3 -m build --no-isolation --wheel` (Debian's python3 and python3-build) makes a
#      wheel, which installs into a second fresh environment and imports there.
# Both builds share one CMake build folder per interpreter tag under build/.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: scripts/check-python-package.sh <build-dir>}
work=$(mktemp -d)
cleanup_work() { rm -rf "$work"; }
trap cleanup_work EXIT

python3 -m venv "$work/venv"
"$work/venv/bin/pip" install --quiet --no-build-isolation . >&2

# shellcheck source=lib/standin.sh
source scripts/lib/standin.sh
start_standin "$build/tools/standin/kelmora_standin_server"
trap 'cleanup_work; kill "$standin_pid" 2>/dev/null || true' EXIT
(cd "$work" && OLLAMA_HOST="$standin_address" "$work/venv/bin/python" \
  -m kelmora.engine.trigger.mthread >"$work/demo.out" 2>"$work/demo.err") || {
  cat "$work/demo.err" >&2
  exit 1
}
lines=$(wc -l <"$work/demo.out")
if [ "$lines" -ne 2 ] || ! grep -q "中国上海的新闻" "$work/demo.out" ||
   ! grep -q "中国北京的新闻" "$work/demo.out"; then
  echo "the demonstration from the installed package printed:" >&2
  cat "$work/demo.out" >&2
  exit 1
fi
echo "installed package: the demonstration printed both answers"
# The type information is installed with the package: the marker and the extension's stubs.
"$work/venv/bin/python" -c "
import importlib.resources, kelmora
files = importlib.resources.files(kelmora)
missing = [f for f in ('py.typed', '_native.pyi', 'engine/trigger/mthread.pyi')
           if not files.joinpath(f).is_file()]
assert not missing, 'not installed: %s' % missing"

/usr/bin/python3 -m build --no-isolation --wheel --outdir "$work/dist" . >&2
/usr/bin/python3 -m venv "$work/venv2"
"$work/venv2/bin/pip" install --quiet "$work"/dist/kelmora-*.whl
(cd "$work" && "$work/venv2/bin/python" -c \
  "import kelmora.engine.trigger.mthread, kelmora.llm; print('wheel: imported', kelmora.__name__)")
