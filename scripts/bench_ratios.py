#!/usr/bin/env python3
"""Prints each kelmora benchmark beside its baseline from the same run, with the ratio.

Usage: bench_ratios.py RESULTS_DIR, where RESULTS_DIR holds bench_thread_engine.json,
bench_core.json, bench_scripting.json and bench_long_actions.json as written by Google Benchmark's --benchmark_out (scripts/bench.sh does this).
"""
import json, os, statistics, sys

runs = {}
for name in ("bench_thread_engine", "bench_core", "bench_scripting", "bench_long_actions"):
    path = os.path.join(sys.argv[1], name + ".json")
    if not os.path.exists(path):
        continue
    with open(path) as f:
        for b in json.load(f)["benchmarks"]:
            if b.get("run_type", "iteration") == "iteration":
                runs.setdefault(b.get("run_name", b["name"]), []).append(b)

def get(name, field="real_time"):
    """The median over the repetitions; for memory, the first repetition."""
    values = [b[field] for b in sorted(runs.get(name, []), key=lambda b: b.get("repetition_index", 0))
              if field in b]
    if not values:
        return None
    return values[0] if "ResidentMemory" in name else statistics.median(values)

def row(label, value, unit, base_label, base, note=""):
    if value is None or base is None:
        print("  %-48s (missing)" % label)
        return
    print("  %-48s %12.2f %-6s | %-34s %12.2f %-6s | x%.2f %s"
          % (label, value, unit, base_label, base, unit, value / base if base else float("nan"), note))

ns = lambda n: get(n, "real_time")
print("  time per round trip (ns), ratio to the baseline:")
row("tick_once round trip, no spinning", ns("BM_EngineTickOnceRoundTrip/0/real_time"), "ns",
    "condition-variable ping-pong", ns("BM_PlainMutexCondvarPingPong/real_time"))
row("tick_once round trip, default spin (4 us)", ns("BM_EngineTickOnceRoundTrip/4000/real_time"), "ns",
    "condition-variable ping-pong", ns("BM_PlainMutexCondvarPingPong/real_time"))
row("tick_once round trip, spin 10 us", ns("BM_EngineTickOnceRoundTrip/10000/real_time"), "ns",
    "condition-variable ping-pong", ns("BM_PlainMutexCondvarPingPong/real_time"))
row("tick_once round trip, no spinning", ns("BM_EngineTickOnceRoundTrip/0/real_time"), "ns",
    "the tick in place (SequentialEngine)", ns("BM_SequentialEngineTickOnceInPlace"))

rate = lambda n: get(n, "ticks_per_s")
print("  100-node tree, ticks per second (baseline / kelmora = how much slower):")
for label, name in (("in place (SequentialEngine)", "BM_HundredNodeTreeTickInPlace"),
                    ("thread engine, tick_n_times(1000)",
                     "BM_HundredNodeTreeTickNTimes1000ThroughThreadEngine/real_time"),
                    ("thread engine, one tick_once per tick",
                     "BM_HundredNodeTreeTickOnceThroughThreadEngine/real_time")):
    for base_label, base in (("100 virtual calls", "BM_BaselineHundredVirtualCalls"),
                             ("100 std::function calls", "BM_BaselineHundredStdFunctionCalls")):
        k, b = rate(name), rate(base)
        if k and b:
            print("  %-40s %12.0f /s | %-24s %12.0f /s | %.1fx slower" % (label, k, base_label, b, b / k))

print("  two at once vs. one (ticks per second; speed-up, 2.0 = perfect on 2 cores):")
for label, name in (("two trees vs. one tree", "BM_BusyTreesInParallel/%d/real_time"),
                    ("baseline: two plain threads vs. one", "BM_BaselineBusyPlainThreadsInParallel/%d/real_time"),
                    ("two trees reading text ports vs. one", "BM_TextPortTreesInParallel/%d/real_time"),
                    ("baseline: the same reads, plain threads",
                     "BM_BaselineTextReadsPlainThreadsInParallel/%d/real_time")):
    one, two = rate(name % 1), rate(name % 2)
    if one and two:
        print("  %-40s %10.0f /s -> %10.0f /s | speed-up x%.2f" % (label, one, two, two / one))

ms = lambda n: get(n, "real_time")
print("  1,000 trees (ms), memory and idle CPU:")
row("create + first tick + stop, 1,000 trees", ms("BM_CreateTickStop1000Trees/real_time"), "ms",
    "start + ping + join, 1,000 threads", ms("BM_StartPingJoin1000PlainThreads/real_time"))
row("resident memory per idle tree", get("BM_ResidentMemoryPer1000IdleTrees/iterations:1", "KiB_per_tree"), "KiB",
    "per idle plain thread", get("BM_ResidentMemoryPer1000IdlePlainThreads/iterations:1", "KiB_per_thread"))
cpu = get("BM_IdleCpuOf100TreesOverOneSecond/iterations:1", "cpu_us")
if cpu is not None:
    print("  %-48s %12.0f us of CPU in 1 s" % ("100 idle trees", cpu))
print("  scripts, time per evaluation (ns; allocations per evaluation in brackets):")
for label, name, base_label, base in (
        ("battery > 20 && state == IDLE", "BM_ScriptPrecondition",
         "lambda over std::map<string, any>", "BM_BaselineLambdaPrecondition"),
        ("count += 1", "BM_ScriptIncrement",
         "lambda over std::map<string, any>", "BM_BaselineLambdaIncrement"),
        ("label := name .. '-' .. count", "BM_ScriptStringBuild",
         "lambda over std::map<string, any>", "BM_BaselineLambdaStringBuild")):
    row("%s [%s]" % (label, get(name, "allocs")), ns(name), "ns",
        "%s [%s]" % (base_label, get(base, "allocs")), ns(base))

print("  long actions (median of the repetitions), ratio to the baseline:")
c = lambda n, f: get(n, f)
row("stop_tree, RUNNING action in a tick loop (median)",
    c("BM_StopTreeInsideTickLoopWithRunningAction/iterations:1", "median_us"), "us",
    "stop_tree of an idle tree (median)", c("BM_StopIdleTree/iterations:1", "median_us"))
row("stop_tree, RUNNING action in a tick loop (p99)",
    c("BM_StopTreeInsideTickLoopWithRunningAction/iterations:1", "p99_us"), "us",
    "stop_tree of an idle tree (p99)", c("BM_StopIdleTree/iterations:1", "p99_us"))
row("CPU of 1 s waiting on a RUNNING action",
    c("BM_CpuOfATreeWaitingOneSecondOnARunningAction/10000/iterations:1", "cpu_us"), "us",
    "CPU of an idle tree's second", c("BM_CpuOfAnIdleTreeOverOneSecond/iterations:1", "cpu_us"))
row("CPU of 1 s of the old busy loop (period 0)",
    c("BM_CpuOfATreeWaitingOneSecondOnARunningAction/0/iterations:1", "cpu_us"), "us",
    "CPU of an idle tree's second", c("BM_CpuOfAnIdleTreeOverOneSecond/iterations:1", "cpu_us"))
row("two 0.5 s answers under Parallel (wall)",
    c("BM_TwoHalfSecondAnswersUnderParallelVersusOne/iterations:1", "two_s"), "s",
    "one answer alone (wall)",
    c("BM_TwoHalfSecondAnswersUnderParallelVersusOne/iterations:1", "one_s"), "(aim <= 1.2)")
