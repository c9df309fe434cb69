#!/usr/bin/env bash
# Sets up the machine, builds kelmora and runs every test:
#   1. a normal build with warnings as errors (C++ tests, Python tests, the mypy --strict check of
#      the Python package, its examples and the READMEs' snippets, benchmarks built), then
#      the installed package used by a separate project from a temporary prefix, then the Python
#      package installed with pip into a fresh virtual environment (the demonstration runs from
#      there) and built as a wheel;
#   2. an AddressSanitizer + UndefinedBehaviorSanitizer build running the whole C++ suite;
#   3. a ThreadSanitizer build of the concurrency tests only, running them (the stress program
#      among them, for about a minute);
#   4. the fuzz targets (clang, ASan + UBSan), FUZZ_SECONDS (default 30) seconds each.
# Exits non-zero on the first failure. Each step reports how long it took.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

python=/usr/bin/python3
step_start=$SECONDS
step_name=""
step() {
  [ -n "$step_name" ] && printf '=== %s: %d s\n' "$step_name" $((SECONDS - step_start)) >&2
  step_name=$*
  step_start=$SECONDS
  [ -n "$step_name" ] && printf '\n=== %s\n' "$step_name" >&2
  return 0
}

step "normal build (warnings are errors)"
bash scripts/build.sh build/test -DKELMORA_WERROR=ON -DKELMORA_BUILD_PYTHON=ON \
  -DKELMORA_BUILD_BENCH=ON -DPython_EXECUTABLE=$python -DPYTHON_EXECUTABLE=$python
ctest --test-dir build/test --output-on-failure --parallel 2

step "installed package used by another project (find_package from a temporary prefix)"
bash scripts/check-install.sh build/test

step "Python package: pip install into a fresh venv, the demonstration from there, a wheel"
bash scripts/check-python-package.sh build/test

step "AddressSanitizer + UndefinedBehaviorSanitizer build"
bash scripts/build.sh build/asan -DKELMORA_WERROR=ON -DKELMORA_SANITIZE="address;undefined" \
  -DKELMORA_BUILD_EXAMPLES=ON
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure --parallel 2

step "ThreadSanitizer build (concurrency tests)"
bash scripts/build.sh build/tsan -DKELMORA_WERROR=ON -DKELMORA_SANITIZE=thread \
  -DKELMORA_TEST_ONLY_LABEL=concurrency
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build/tsan --output-on-failure -L concurrency

step "fuzzing (clang, AddressSanitizer + UndefinedBehaviorSanitizer)"
FUZZ_SECONDS=${FUZZ_SECONDS:-30} bash scripts/fuzz.sh

step ""
printf '=== all steps passed in %d s\n' "$SECONDS" >&2
