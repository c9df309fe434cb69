#!/usr/bin/env bash
# scripts/flake-hunt.sh: hunts flaky concurrency tests. A developer tool, not a CI step.
#
#   scripts/flake-hunt.sh [-n N] [-j J] [--builds normal,tsan] [--stress-seconds S]
#                         [--stress-repeat M] [--load-seconds L] [--no-build]
#                         [-- cmake options...]
#
# Builds the normal build (build/test) and the ThreadSanitizer build (build/tsan) with
# scripts/build.sh and the options scripts/test.sh uses (plus any cmake options after --, e.g.
# -DCMAKE_CXX_COMPILER_LAUNCHER=ccache), then, in each build in turn, runs the tests labelled
# "concurrency" up to N times each (ctest --repeat until-fail:N) while two extra busy processes
# load the machine. Prints a summary of the failures; exits 1 if any test failed.
#
#   -n N                 repetitions of each test (default 30)
#   -j J                 tests ctest runs at once (default 2)
#   --builds LIST        which builds to hunt in: normal, tsan or both (default normal,tsan)
#   --stress-seconds S   run the stress program for S seconds per repetition instead of its
#                        ctest length (10 s normal, 60 s under ThreadSanitizer); it still runs
#                        its warm-up rounds and checks every round after them
#   --stress-repeat M    repetitions of the stress program (default N)
#                        With either of these two, the stress program runs on its own, after
#                        the other tests, rather than as ctest's stress_run among them.
#   --load-seconds L     time limit of each busy process (default 7200); a hunt in one build
#                        that lasts longer goes on without the load
#   --no-build           use the builds as they are
#
# The busy processes are started anew for each build and killed when its hunt ends or the script
# ends, however it ends; each also stops by itself after its time limit, so none outlives a
# killed script for long. Logs go to build/flake-hunt/.
set -euo pipefail
cd "$(dirname "$0")/.."

repeat=30
jobs=2
builds=normal,tsan
stress_seconds=""
stress_repeat=""
load_seconds=7200
build=1
cmake_extra=()
while [ $# -gt 0 ]; do
  case $1 in
    -n) repeat=${2:?-n needs a number}; shift 2 ;;
    -j) jobs=${2:?-j needs a number}; shift 2 ;;
    --builds) builds=${2:?--builds needs a list}; shift 2 ;;
    --stress-seconds) stress_seconds=${2:?--stress-seconds needs a number}; shift 2 ;;
    --stress-repeat) stress_repeat=${2:?--stress-repeat needs a number}; shift 2 ;;
    --load-seconds) load_seconds=${2:?--load-seconds needs a number}; shift 2 ;;
    --no-build) build=0; shift ;;
    --) shift; cmake_extra=("$@"); break ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "flake-hunt: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
done
for number in "$repeat" "$jobs" "$load_seconds" ${stress_seconds:+"$stress_seconds"} \
              ${stress_repeat:+"$stress_repeat"}; do
  [[ $number =~ ^[1-9][0-9]*$ ]] || { echo "flake-hunt: not a positive number: $number" >&2; exit 2; }
done
separate_stress=0
[ -n "$stress_seconds$stress_repeat" ] && separate_stress=1
stress_repeat=${stress_repeat:-$repeat}

python=/usr/bin/python3
logs=build/flake-hunt
mkdir -p "$logs"
stamp=$(date +%Y%m%d-%H%M%S)

# --- load and children ------------------------------------------------------------------------
load_pids=()
child_pid=""
stop_load() {
  local pid
  for pid in "${load_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${load_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  load_pids=()
}
# Ends the running ctest or stress program too, when the script is interrupted.
# shellcheck disable=SC2317  # called by the trap
cleanup() {
  if [ -n "$child_pid" ]; then
    kill "$child_pid" 2>/dev/null || true
    wait "$child_pid" 2>/dev/null || true
  fi
  stop_load
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Two busy processes, each ended by `timeout` after `limit` seconds even if nobody kills it.
start_load() {
  local limit=$1 i
  for i in 1 2; do
    timeout "$limit" bash -c 'while :; do :; done' &
    load_pids+=($!)
  done
}

# --- builds -----------------------------------------------------------------------------------
dir_of() { [ "$1" = tsan ] && echo build/tsan || echo build/test; }

build_one() {
  case $1 in
    normal)
      bash scripts/build.sh build/test -DKELMORA_WERROR=ON -DKELMORA_BUILD_PYTHON=ON \
        -DKELMORA_BUILD_BENCH=ON -DPython_EXECUTABLE=$python -DPYTHON_EXECUTABLE=$python \
        "${cmake_extra[@]}" ;;
    tsan)
      bash scripts/build.sh build/tsan -DKELMORA_WERROR=ON -DKELMORA_SANITIZE=thread \
        "${cmake_extra[@]}" ;;
    *) echo "flake-hunt: unknown build $1 (normal or tsan)" >&2; exit 2 ;;
  esac
}

IFS=, read -r -a build_list <<<"$builds"
if [ "$build" = 1 ]; then
  for b in "${build_list[@]}"; do
    printf '=== building %s in %s\n' "$b" "$(dir_of "$b")" >&2
    build_one "$b"
  done
fi

# --- the hunt ---------------------------------------------------------------------------------
summary=()
failed_any=0

# Runs a command in the background and waits for it, so that a signal to the script is handled
# at once (bash runs traps only between commands); returns its exit status.
run_child() {
  "$@" &
  child_pid=$!
  local rc=0
  wait "$child_pid" || rc=$?
  child_pid=""
  return "$rc"
}

# Runs ctest in build `b` with the given selection; records what failed.
hunt_ctest() {
  local b=$1 what=$2 log=$3
  shift 3
  local dir start rc
  dir=$(dir_of "$b")
  start=$SECONDS
  printf '=== %s: %s, up to %d times each, under load (log: %s)\n' "$b" "$what" "$repeat" "$log" >&2
  rc=0
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    run_child ctest --test-dir "$dir" --output-on-failure --parallel "$jobs" \
      --repeat "until-fail:$repeat" "$@" >"$log" 2>&1 || rc=$?
  local seconds=$((SECONDS - start))
  local failed
  failed=$(sed -n '/^The following tests FAILED:/,$p' "$log" | grep -E '^[[:space:]]+[0-9]+ - ' || true)
  local totals
  totals=$(grep -E 'tests passed, [0-9]+ tests? failed' "$log" | tail -1 || true)
  if [ "$rc" -ne 0 ]; then
    failed_any=1
    summary+=("$b: $what: FAILED after ${seconds} s (${totals:-ctest exit $rc})")
    [ -n "$failed" ] && while IFS= read -r line; do summary+=("    $line"); done <<<"$failed"
  else
    summary+=("$b: $what: passed in ${seconds} s (${totals})")
  fi
}

# Runs the stress program itself `stress_repeat` times for `stress_seconds` seconds each (by
# default as long as the build's stress_run).
hunt_stress() {
  local b=$1 log=$2
  local program dir stress_seconds=$stress_seconds
  dir=$(dir_of "$b")
  program=$dir/tests/kelmora_stress
  if [ -z "$stress_seconds" ]; then
    stress_seconds=$(sed -n 's/^KELMORA_STRESS_SECONDS:[A-Z]*=//p' "$dir/CMakeCache.txt")
  fi
  local start=$SECONDS i rc=0 runs=0
  printf '=== %s: kelmora_stress --seconds %s, up to %d times, under load (log: %s)\n' \
    "$b" "$stress_seconds" "$stress_repeat" "$log" >&2
  : >"$log"
  for ((i = 1; i <= stress_repeat; i++)); do
    runs=$i
    echo "--- run $i" >>"$log"
    # The same bound as its ctest TIMEOUT: three times its length plus two minutes.
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
      run_child timeout $((stress_seconds * 3 + 120)) "$program" --seconds "$stress_seconds" \
      >>"$log" 2>&1 || { rc=$?; break; }
  done
  local seconds=$((SECONDS - start))
  if [ "$rc" -ne 0 ]; then
    failed_any=1
    summary+=("$b: kelmora_stress --seconds $stress_seconds: FAILED in run $runs (exit $rc) after ${seconds} s")
  else
    summary+=("$b: kelmora_stress --seconds $stress_seconds: $runs runs passed in ${seconds} s")
  fi
}

hunt_start=$SECONDS
for b in "${build_list[@]}"; do
  dir=$(dir_of "$b")
  [ -f "$dir/CTestTestfile.cmake" ] || { echo "flake-hunt: $dir is not built" >&2; exit 2; }
  start_load "$load_seconds"
  if [ "$separate_stress" = 1 ]; then
    hunt_ctest "$b" "concurrency tests but stress_run" "$logs/$stamp-$b.log" \
      -L concurrency -E '^stress_run$'
    hunt_stress "$b" "$logs/$stamp-$b-stress.log"
  else
    hunt_ctest "$b" "concurrency tests" "$logs/$stamp-$b.log" -L concurrency
  fi
  stop_load
done

printf '\n=== flake hunt: %d repetitions, %d s in all\n' "$repeat" $((SECONDS - hunt_start))
printf '%s\n' "${summary[@]}"
exit "$failed_any"
