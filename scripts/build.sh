#!/usr/bin/env bash
# scripts/build.sh <build-dir> [cmake options...] [--target=NAME...]: configures <build-dir> once
# (Ninja when present, BUILD_TYPE or RelWithDebInfo; CC/CXX choose the compiler at that first
# configure) and builds everything there, or only the targets named. Every script that builds
# kelmora goes through here.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:?usage: scripts/build.sh <build-dir> [cmake options...] [--target=NAME...]}
shift
options=()
targets=()
for argument in "$@"; do
  case $argument in
    --target=*) targets+=(--target "${argument#--target=}") ;;
    *) options+=("$argument") ;;
  esac
done
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" \
    "${options[@]}" >/dev/null
elif [ ${#options[@]} -gt 0 ]; then
  cmake "$dir" "${options[@]}" >/dev/null
fi
cmake --build "$dir" --parallel "$(nproc)" "${targets[@]}"
