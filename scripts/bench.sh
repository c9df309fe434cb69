#!/usr/bin/env bash
# Runs every benchmark of kelmora beside its baseline and prints the ratios:
#   bench/bench_thread_engine  command round trip vs. condition-variable ping-pong, memory per idle
#                              tree vs. per plain thread, idle CPU, 1,000 trees vs. 1,000 threads;
#   bench/bench_core           100-node tree ticks/s vs. 100 virtual / std::function calls, two
#                              trees on two cores vs. one, two trees reading text ports vs. one
#                              (and plain threads the same);
#   bench/bench_scripting      a precondition script, an update and a string build vs. the same
#                              in hand-written C++ over a std::map of std::any;
#   bench/bench_long_actions   stop_tree latency of a tree whose action is RUNNING vs. an idle
#                              tree, CPU of a tree waiting 1 s on a RUNNING action vs. an idle
#                              tree (and the busy loop), two 0.5 s answers under Parallel vs. one;
#   python/bench/bench_channel.py  the channel from Python vs. the same channel in pure Python.
# Builds a Release tree in build/bench (BENCH_DIR overrides). Each C++ benchmark runs REPEAT
# times (default 3) and the medians are compared (memory: the first run, before freed stacks and
# heap are around to reuse); QUICK=1 runs shorter. The numbers are only as
# good as the machine is idle: the load average is printed with them.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

dir=${BENCH_DIR:-build/bench}
python=/usr/bin/python3
BUILD_TYPE=Release bash scripts/build.sh "$dir" -DKELMORA_BUILD_BENCH=ON -DKELMORA_BUILD_PYTHON=ON \
  -DKELMORA_BUILD_TESTS=OFF -DKELMORA_BUILD_EXAMPLES=OFF -DKELMORA_SANITIZE= \
  -DPython_EXECUTABLE=$python -DPYTHON_EXECUTABLE=$python
mkdir -p "$dir/results"

flags=(--benchmark_repetitions="${REPEAT:-3}" --benchmark_display_aggregates_only=true)
quick=()
if [ "${QUICK:-0}" = 1 ]; then
  flags+=(--benchmark_min_time=0.1)
  quick=(--quick)
fi

echo "== machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')," \
  "load average $(cut -d' ' -f1-3 /proc/loadavg)"
for program in bench_thread_engine bench_core bench_scripting bench_long_actions; do
  echo
  echo "== $program"
  "$dir/bench/$program" "${flags[@]}" --benchmark_out="$dir/results/$program.json" \
    --benchmark_out_format=json
done

echo
echo "== python/bench/bench_channel.py"
PYTHONPATH="$dir/python" $python python/bench/bench_channel.py "${quick[@]}"

echo
echo "== ratios (kelmora beside its baseline, same run)"
$python scripts/bench_ratios.py "$dir/results"
