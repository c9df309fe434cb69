"""Where one machine ends: memory per idle tree, commands per second, model streams at once.

    PYTHONPATH=build/python python3 python/bench/bench_scaling.py [--standin PATH] [--trees N]

Prints one JSON object; every figure comes with the load average (/proc/loadavg) read just
before it was measured. Figures for docs/scaling.md.
"""

import argparse
import asyncio
import json
import os
import subprocess
import threading
import time

from kelmora import llm
from kelmora.aio import AsyncThreadEngine
from kelmora.core import NodeStatus, TreeNode
from kelmora.engine.trigger.mthread import ThreadEngine
from kelmora.nodes.action_node import SimpleActionNode

ONE_NODE = '<root BTCPP_format="4"><BehaviorTree ID="T"><AlwaysSuccess/></BehaviorTree></root>'
STREAM_TREE = """<root BTCPP_format="4"><BehaviorTree ID="A"><Sequence>
  <CreateAgentOllama model_id="m" description="d" agent="{agent}"/>
  <GetStreamResponse agent="{agent}" instructions="" user_input="{user_input}"
                     response_stream="{stream}"/>
  <CollectAnswer response_stream="{stream}" answer="{answer}"/>
</Sequence></BehaviorTree></root>"""


def load():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def memory_per_idle_tree(count):
    engine = ThreadEngine()
    engine.create_tree_from_text(ONE_NODE, "warm")
    engine.tick_once("warm")
    before_load, before = load(), rss_kib()
    ids = [engine.create_tree_from_text(ONE_NODE) for _ in range(count)]
    for tree in ids:
        engine.tick_once(tree)  # built and served once: the idle state of a live tree
    time.sleep(0.5)
    per_tree = (rss_kib() - before) / count
    engine._native.close()
    return {"trees": count, "kib_per_idle_tree": round(per_tree, 1),
            "trees_per_gib": int(1024 * 1024 / per_tree), "load": before_load}


def sync_commands(threads, seconds=1.5):
    engine = ThreadEngine()
    trees = [engine.create_tree_from_text(ONE_NODE) for _ in range(threads)]
    for tree in trees:
        engine.tick_once(tree)
    counts = [0] * threads
    stop = time.monotonic() + seconds
    start_load = load()

    def drive(i):
        n = 0
        while time.monotonic() < stop:
            engine.tick_once(trees[i])
            n += 1
        counts[i] = n

    workers = [threading.Thread(target=drive, args=(i,)) for i in range(threads)]
    began = time.monotonic()
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    elapsed = time.monotonic() - began
    engine._native.close()
    return {"caller_threads": threads, "commands_per_s": int(sum(counts) / elapsed),
            "load": start_load}


async def async_commands(trees_count, dispatchers, seconds=2.0):
    async with AsyncThreadEngine(dispatchers=dispatchers) as engine:
        trees = [engine.create_tree_from_text(ONE_NODE) for _ in range(trees_count)]
        await asyncio.gather(*(engine.tick_once(t) for t in trees))
        start_load = load()
        done = 0
        began = time.monotonic()
        while time.monotonic() - began < seconds:
            await asyncio.gather(*(engine.tick_once(t) for t in trees))
            done += trees_count
        elapsed = time.monotonic() - began
    return {"trees": trees_count, "dispatchers": dispatchers,
            "commands_per_s": int(done / elapsed), "load": start_load}


class CollectAnswer(SimpleActionNode):
    ports = [{"name": "response_stream", "type": "object", "direction": "input",
              "description": ""},
             {"name": "answer", "type": "string", "direction": "output", "description": ""}]

    @staticmethod
    def tick(node: TreeNode) -> NodeStatus:
        node.setOutput("answer", "".join(p.content for p in node.getInputObject("response_stream")))
        return NodeStatus.SUCCESS


async def streams_at_once(host, count, dispatchers):
    os.environ["OLLAMA_HOST"] = host
    async with AsyncThreadEngine(dispatchers=dispatchers) as engine:
        for cls in (llm.CreateAgentOllama, llm.GetStreamResponse, CollectAnswer):
            engine.register_action_class(cls)
        trees = [engine.create_tree_from_text(STREAM_TREE) for _ in range(count)]
        for t in trees:
            await engine.set_blackboard_data(t, "user_input", "q " + t)
        start_load = load()
        began = time.monotonic()
        await asyncio.gather(*(engine.tick_until_success(t) for t in trees))
        elapsed = time.monotonic() - began
        answers = [await engine.get_blackboard_data(t, "answer") for t in trees]
    assert all(a.endswith("user=q " + t) for a, t in zip(answers, trees))
    return {"streams": count, "dispatchers": dispatchers, "seconds": round(elapsed, 2),
            "load": start_load}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--standin", default=os.environ.get("KELMORA_STANDIN", ""))
    parser.add_argument("--trees", type=int, default=2000)
    parser.add_argument("--piece-delay-ms", type=int, default=20)
    args = parser.parse_args()
    figures = {"memory": memory_per_idle_tree(args.trees),
               "sync_commands": [sync_commands(1), sync_commands(2)],
               "async_commands": [asyncio.run(async_commands(1000, 4)),
                                  asyncio.run(async_commands(1000, 2))]}
    if args.standin:
        server = subprocess.Popen([args.standin, "--port", "0", "--piece-delay-ms",
                                   str(args.piece_delay_ms)], stdout=subprocess.PIPE, text=True)
        try:
            host = server.stdout.readline().strip()[len("listening on "):]
            figures["streams"] = [asyncio.run(streams_at_once(host, n, d))
                                  for n, d in ((1, 4), (16, 4), (16, 16), (64, 64),
                                               (256, 256))]
        finally:
            server.terminate()
            server.wait()
    print(json.dumps(figures, indent=1))


if __name__ == "__main__":
    main()
