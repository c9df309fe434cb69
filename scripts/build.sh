#!/usr/bin/env bash
# scripts/build.sh <build-dir> [cmake options...] [--target=NAME...] [--source=DIR]: configures
# <build-dir> once (Ninja when present, BUILD_TYPE or RelWithDebInfo; CC/CXX choose the compiler
# at that first configure) and builds everything there, or only the targets named. The project is
# kelmora itself, or the CMake project in DIR (relative to the repository's root). Every script
# that builds with CMake goes through here, so the choice of generator is made in one place.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:?usage: scripts/build.sh <build-dir> [cmake options...] [--target=NAME...] [--source=DIR]}
shift
options=()
targets=()
source=.
for argument in "$@"; do
  case $argument in
    --target=*) targets+=(--target "${argument#--target=}") ;;
    --source=*) source=${argument#--source=} ;;
    *) options+=("$argument") ;;
  esac
done
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S "$source" -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" \
    "${options[@]}" >/dev/null
elif [ ${#options[@]} -gt 0 ]; then
  cmake "$dir" "${options[@]}" >/dev/null
fi
cmake --build "$dir" --parallel "$(nproc)" "${targets[@]}"
