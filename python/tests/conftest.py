"""Shared fixtures: a captured loguru log, engines that are always stopped, small trees."""

import gc
import os
import subprocess
import sys
import time

import pytest
from loguru import logger

from kelmora.core import NodeStatus
from kelmora.engine.trigger.mthread import ThreadEngine

# A tree of one C++ node.
CPP_TREE = ('<root BTCPP_format="4"><BehaviorTree ID="T"><AlwaysSuccess/></BehaviorTree>'
            '</root>')


def action_tree(*elements):
    """A tree whose root Sequence holds the given elements, e.g. '<Work/>'."""
    return ('<root BTCPP_format="4"><BehaviorTree ID="T"><Sequence>%s</Sequence></BehaviorTree>'
            '</root>' % "".join(elements))


def port(name, type_="object", direction="input"):
    return {"name": name, "type": type_, "direction": direction, "description": ""}


def succeed(node):
    return NodeStatus.SUCCESS


class LogLines(list):
    """Lines written to loguru's logger, as "LEVEL|message"."""

    def clear_lines(self):
        del self[:]


@pytest.fixture
def log_lines():
    gc.collect()  # engines left by earlier tests log their destruction now, not during this test
    lines = LogLines()
    handler = logger.add(lambda message: lines.append(str(message).rstrip("\n")),
                         format="{level}|{message}")
    yield lines
    logger.remove(handler)


@pytest.fixture
def engine(log_lines):
    """A ThreadEngine that is closed (its trees stopped) after the test, whatever it did."""
    e = ThreadEngine()
    yield e
    e._native.close()


def thread_ids():
    """The threads of this process, each as (id, start time): an id the kernel reuses for a
    later thread then reads as a different thread."""
    threads = set()
    for entry in os.listdir("/proc/self/task"):
        try:
            with open("/proc/self/task/%s/stat" % entry) as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except OSError:  # ended meanwhile
            continue
        threads.add((int(entry), int(fields[19])))  # the 22nd field: the start time
    return threads


def wait_until(done, timeout=30.0):
    """Whether done() held within `timeout` seconds (re-checked after short sleeps); for effects
    that send no notification. The limit is generous: it runs out only when the effect never
    comes."""
    deadline = time.monotonic() + timeout
    while not done():
        if time.monotonic() >= deadline:
            return done()
        time.sleep(0.001)
    return True


def run_python(code, timeout=60, env=None, **kwargs):
    """Runs `code` in a fresh interpreter with this package importable; returns the completed
    process (text output)."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=timeout, env=full_env, **kwargs)
