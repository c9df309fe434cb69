#!/usr/bin/env bash
# Installs every Debian package kelmora needs to build, test and run. Idempotent: when all
# packages are already present it does nothing and prints nothing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git curl
  libpugixml-dev libspdlog-dev libfmt-dev
  nlohmann-json3-dev libcurl4-openssl-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  python3 python3-dev python3-venv python3-build pybind11-dev python3-loguru python3-pytest
  python3-pytest-asyncio python3-mypy
  libsqlite3-dev libcpp-httplib-dev libssl-dev zlib1g-dev libbrotli-dev graphviz
  chromium chromium-driver python3-selenium
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "setup: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq >/dev/null
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
