#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer) in
# build/fuzz and runs each for FUZZ_SECONDS (default 60) seconds, starting from its seed corpus
# (fuzz/corpus/<target>) and the inputs fuzzing found before (tests/data/fuzz_regressions/<target>).
# Fails when a target crashes, leaks, hangs or breaks one of its checks; the input is then in
# build/fuzz/work/artifacts/<target>/ — fix the bug and add the input to
# tests/data/fuzz_regressions/<target>/, where the normal tests replay it.
#   scripts/fuzz.sh [target...]      (default: fuzz_xml fuzz_script fuzz_ndjson fuzz_ollama_host)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/setup.sh

dir=${FUZZ_DIR:-build/fuzz}
case $dir in /*) ;; *) dir=$root/$dir ;; esac
seconds=${FUZZ_SECONDS:-60}
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(fuzz_xml fuzz_script fuzz_ndjson fuzz_ollama_host)

target_options=()
for target in "${targets[@]}"; do target_options+=("--target=$target"); done
CC=clang CXX=clang++ bash scripts/build.sh "$dir" -DKELMORA_BUILD_FUZZ=ON \
  -DKELMORA_SANITIZE="address;undefined" -DKELMORA_WERROR=ON -DKELMORA_BUILD_TESTS=OFF \
  -DKELMORA_BUILD_EXAMPLES=OFF "${target_options[@]}"

# Per target: the longest input worth trying, and its dictionary.
max_len() {
  case $1 in
    fuzz_xml) echo 4096 ;;
    fuzz_ndjson) echo 8192 ;;
    fuzz_script) echo 512 ;;
    *) echo 256 ;;
  esac
}
dict() {
  case $1 in
    fuzz_xml) echo "$root/fuzz/xml.dict" ;;
    fuzz_ndjson) echo "$root/fuzz/ndjson.dict" ;;
    fuzz_script) echo "$root/fuzz/script.dict" ;;
    *) echo "$root/fuzz/ollama_host.dict" ;;
  esac
}

# Absolute paths throughout: fuzz_xml works in a scratch folder of its own (its includes resolve
# against the working directory).
work=$dir/work
status=0
for target in "${targets[@]}"; do
  corpus=$work/corpus/$target
  artifacts=$work/artifacts/$target
  mkdir -p "$corpus" "$artifacts"
  seeds=("$root/fuzz/corpus/$target")
  [ -d "$root/tests/data/fuzz_regressions/$target" ] && seeds+=("$root/tests/data/fuzz_regressions/$target")
  echo "== $target: $seconds s" >&2
  if ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$dir/fuzz/$target" -max_total_time="$seconds" -max_len="$(max_len "$target")" \
      -rss_limit_mb=2048 -timeout=20 -print_final_stats=1 -dict="$(dict "$target")" \
      -artifact_prefix="$artifacts/" "$corpus" "${seeds[@]}" >"$work/$target.log" 2>&1; then
    grep -E '^stat::(number_of_executed_units|new_units_added|peak_rss_mb)' "$work/$target.log" >&2 || true
  else
    status=1
    echo "FAIL: $target found a problem; input in $artifacts, log in $work/$target.log:" >&2
    grep -v -E '^#[0-9]+' "$work/$target.log" | tail -40 >&2
  fi
done
exit $status
