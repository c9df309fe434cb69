#!/usr/bin/env bash
# scripts/build.sh <build-dir> [cmake options...]: configures (once) and builds kelmora there.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:?usage: scripts/build.sh <build-dir> [cmake options...]}
shift
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" "$@" >/dev/null
else
  cmake "$dir" "$@" >/dev/null
fi
cmake --build "$dir" --parallel "$(nproc)"
