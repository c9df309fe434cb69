#!/usr/bin/env bash
# scripts/check-install.sh <build-dir>: installs the kelmora built in <build-dir> into a new
# temporary prefix that no compiler searches by default, then configures, builds and runs the
# user project in tests/consumer against it with find_package(kelmora). Fails when the installed
# package is incomplete (headers, targets, dependencies) or the program fails.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: scripts/check-install.sh <build-dir>}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
bash scripts/build.sh "$work/consumer" --source=tests/consumer -DCMAKE_PREFIX_PATH="$work/prefix" \
  >/dev/null
"$work/consumer/consumer"
