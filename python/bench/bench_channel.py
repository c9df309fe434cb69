"""Benchmark: kelmora's command channel from Python, beside the same channel in pure Python.

    PYTHONPATH=build/python /usr/bin/python3 python/bench/bench_channel.py [--quick] [--json]

Measured in one run:

1. Round trip: one `tick_once` on a one-node tree, the caller waiting for the worker's answer.
   - kelmora, the node in C++ (AlwaysSuccess);
   - kelmora, the node a Python tick function;
   - the baseline: the same synchronous channel written in pure Python, as the engine's design
     describes it (a threading.Condition guarding a one-element command list and a one-element
     result list, one worker thread), whose worker calls a Python tick function.
2. Throughput with one tree, then two trees each driven by its own Python thread, for kelmora
   (C++ nodes) and the baseline; the ratio two/one shows how far the two trees run in parallel.
   - round-trip bound: every command is one tick of a one-node tree;
   - work bound: every command is one tick_once of a tree that ticks 20 nodes 2,000 times over
     (Repeat of a Sequence); the baseline's worker runs 40,000 Python tick functions.

"cores" is the process's CPU time per wall-clock second during a run: how many cores the process
kept busy (spinning included). Numbers are wall-clock times; each is the best of several runs,
the one least disturbed by whatever else the machine does. Run it on an otherwise idle machine.
"""

import argparse
import json
import os
import sys
import threading
import time

from kelmora.core import NodeStatus
from kelmora.engine.trigger.mthread import ThreadEngine

ONE_NODE = '<root BTCPP_format="4"><BehaviorTree ID="T"><{0}/></BehaviorTree></root>'
REPEATS = 2000
HEAVY = ('<root BTCPP_format="4"><BehaviorTree ID="T"><Repeat num_cycles="%d"><Sequence>' % REPEATS
         + "<AlwaysSuccess/>" * 20 + "</Sequence></Repeat></BehaviorTree></root>")


class PurePythonChannel:
    """One tree's channel and worker thread, in pure Python."""

    def __init__(self, tick):
        self.cond = threading.Condition()
        self.command = [None]
        self.result = [None]
        self.thread = threading.Thread(target=self._run, args=(tick,))
        self.thread.start()

    def _run(self, tick):
        with self.cond:
            while True:
                while self.command[0] is None:
                    self.cond.wait()
                command = self.command[0]
                if command is False:
                    return
                self.result[0] = (command["type"], "tree", tick())
                self.command[0] = None
                self.cond.notify()

    def send(self, command_type, params=None):
        with self.cond:
            self.command[0] = {"type": command_type, "params": params or {}}
            self.cond.notify()
            while self.result[0] is None:
                self.cond.wait()
            result = self.result[0]
            self.result[0] = None
        return result[2]

    def stop(self):
        with self.cond:
            self.command[0] = False
            self.cond.notify()
        self.thread.join()


def python_tick(node=None):
    return NodeStatus.SUCCESS


def heavy_python_tick():
    for _ in range(REPEATS):
        for _ in range(20):
            python_tick()
    return NodeStatus.SUCCESS


def per_call(call, count):
    """Mean time per call (seconds) over `count` calls."""
    start = time.perf_counter()
    for _ in range(count):
        call()
    return (time.perf_counter() - start) / count


def throughput(calls, count):
    """Commands per second when each of `calls` runs `count` times on its own thread, and the
    process's CPU time per wall-clock second meanwhile (how many cores it kept busy)."""
    barrier = threading.Barrier(len(calls) + 1)

    def drive(call):
        barrier.wait()
        for _ in range(count):
            call()

    threads = [threading.Thread(target=drive, args=(c,)) for c in calls]
    for t in threads:
        t.start()
    barrier.wait()
    start, cpu = time.perf_counter(), time.process_time()
    for t in threads:
        t.join()
    wall = time.perf_counter() - start
    return len(calls) * count / wall, (time.process_time() - cpu) / wall


def interleaved(measures, repeats, better):
    """Runs every measure once per round, `repeats` rounds, so that a disturbance of the machine
    hits all of them alike; returns the best result of each (by `better`)."""
    best = [None] * len(measures)
    for _ in range(repeats):
        for i, measure in enumerate(measures):
            result = measure()
            best[i] = result if best[i] is None else better(best[i], result)
    return best


def silence_logging():
    from loguru import logger
    logger.remove()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer iterations")
    parser.add_argument("--json", action="store_true",
                        help="print one JSON object with the figures instead of the report")
    args = parser.parse_args()
    scale = 0.1 if args.quick else 1.0
    repeats = 3 if args.quick else 5
    silence_logging()
    report = {"cores": os.cpu_count(), "python": sys.version.split()[0],
              "load_average": os.getloadavg()[0]}
    say = (lambda *a: None) if args.json else print
    say("kelmora Python channel benchmark; %d cores; Python %s" %
        (os.cpu_count(), sys.version.split()[0]))

    engine = ThreadEngine()
    engine.register_action_behavior("PyTick", python_tick, [])
    cpp_trees = [engine.create_tree_from_text(ONE_NODE.format("AlwaysSuccess")) for _ in range(2)]
    py_tree = engine.create_tree_from_text(ONE_NODE.format("PyTick"))
    heavy_trees = [engine.create_tree_from_text(HEAVY) for _ in range(2)]
    channels = [PurePythonChannel(python_tick) for _ in range(2)]
    heavy_channels = [PurePythonChannel(heavy_python_tick) for _ in range(2)]
    for tree in cpp_trees + [py_tree] + heavy_trees:
        engine.tick_once(tree)  # built and warm

    count = int(20000 * scale)
    say("\n1. round trip of one tick_once on a one-node tree (best of %d x %d)" %
        (repeats, count))
    cpp, py, base = interleaved([
        lambda: per_call(lambda: engine.tick_once(cpp_trees[0]), count),
        lambda: per_call(lambda: engine.tick_once(py_tree), count),
        lambda: per_call(lambda: channels[0].send("tick_once"), count),
    ], repeats, min)
    say("   kelmora, C++ node          %7.2f us" % (cpp * 1e6))
    say("   kelmora, Python tick       %7.2f us" % (py * 1e6))
    say("   pure-Python channel        %7.2f us" % (base * 1e6))
    say("   speed-up over pure Python  %7.2fx (C++ node), %.2fx (Python tick)" %
        (base / cpp, base / py))
    report["round_trip_us"] = {"kelmora_cpp_node": cpp * 1e6, "kelmora_python_tick": py * 1e6,
                               "pure_python": base * 1e6}
    report["speed_up_over_pure_python"] = {"kelmora_cpp_node": base / cpp,
                                           "kelmora_python_tick": base / py}
    report["two_thread_ratio"] = {}

    say("\n2. node ticks per second, one tree vs two trees, each tree driven by its own "
        "Python thread (best of %d)" % repeats)
    light = int(20000 * scale)
    rows = [
        ("round-trip bound: tick_once of a one-node tree", 1,
         [lambda t=t: engine.tick_once(t) for t in cpp_trees], light,
         [lambda c=c: c.send("tick_once") for c in channels], light),
        ("work bound: tick_once of %d x 20 node ticks" % REPEATS, REPEATS * 20,
         [lambda t=t: engine.tick_once(t) for t in heavy_trees], int(1000 * scale),
         [lambda c=c: c.send("tick_once") for c in heavy_channels], int(100 * scale)),
    ]
    for key, (title, ticks, kelmora_calls, kelmora_count, python_calls, python_count) in zip(
            ("round_trip_bound", "work_bound"), rows):
        say("   %s" % title)
        results = interleaved([
            lambda: throughput(kelmora_calls[:1], kelmora_count),
            lambda: throughput(kelmora_calls, kelmora_count),
            lambda: throughput(python_calls[:1], python_count),
            lambda: throughput(python_calls, python_count),
        ], repeats, max)
        for name, (one, one_cores), (two, two_cores) in (
                ("kelmora (C++ nodes)", results[0], results[1]),
                ("pure-Python channel", results[2], results[3])):
            say("     %-20s 1 tree %10.0f/s (%.1f cores)   2 trees %10.0f/s (%.1f cores)"
                "   x%.2f" % (name, one * ticks, one_cores, two * ticks, two_cores, two / one))
        report["two_thread_ratio"][key] = {"kelmora": results[1][0] / results[0][0],
                                           "pure_python": results[3][0] / results[2][0]}

    for c in channels + heavy_channels:
        c.stop()
    engine.stop_all_trees()
    if args.json:
        print(json.dumps(report, indent=2))


if __name__ == "__main__":
    main()
