"""The package's modules, and what importing them does (nothing visible)."""

import importlib

import pytest

from conftest import run_python


def test_importing_the_engine_module_makes_no_engine_thread_or_log_line():
    result = run_python(
        "import os, threading\n"
        "from loguru import logger\n"
        "lines = []\n"
        "logger.add(lines.append, format='{message}')\n"
        "tasks = set(os.listdir('/proc/self/task'))\n"
        "import kelmora.engine.trigger.mthread as m\n"
        "print(len(set(os.listdir('/proc/self/task')) - tasks), threading.active_count(),\n"
        "      len(lines))\n"
        "print(sorted(n for n in vars(m) if not n.startswith('_') and n[0].isupper()))\n")
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "0 1 0",
        "['BehaviorTreeFactory', 'SimpleActionNode', 'ThreadEngine']",
    ]
    assert result.stderr == ""


@pytest.mark.parametrize("module, names", [
    ("kelmora.core", ["BehaviorTreeFactory", "NodeStatus", "TreeNode"]),
    ("kelmora.nodes.action_node", ["SimpleActionNode"]),
    ("kelmora.engine.sequential_engine", ["SequentialEngine"]),
    ("kelmora.engine.trigger.mthread", ["ThreadEngine"]),
    ("kelmora.llm", ["Ollama", "Agent", "ResponseStream", "CreateAgentOllama",
                     "GetStreamResponse"]),
])
def test_each_module_offers_its_names(module, names):
    loaded = importlib.import_module(module)
    for name in names:
        assert hasattr(loaded, name), name


def test_node_status_has_the_five_members_and_they_are_unique_objects():
    from kelmora.core import NodeStatus
    from kelmora.engine.sequential_engine import SequentialEngine

    assert [s.name for s in NodeStatus.__members__.values()] == [
        "IDLE", "RUNNING", "SUCCESS", "FAILURE", "SKIPPED"]
    engine = SequentialEngine()
    engine.create_tree_from_text(
        '<root BTCPP_format="4"><BehaviorTree ID="T"><AlwaysFailure/></BehaviorTree></root>')
    assert engine.tick_once() is NodeStatus.FAILURE


def test_sequential_engine_runs_python_and_cpp_nodes_on_the_calling_thread():
    import threading

    from kelmora.core import NodeStatus
    from kelmora.engine.sequential_engine import SequentialEngine

    threads = []

    def work(node):
        threads.append(threading.get_ident())
        node.setOutput("out", node.getInputObject("in"))
        return NodeStatus.SUCCESS

    value = object()
    engine = SequentialEngine()
    engine.register_action_behavior(
        "Work", work, [{"name": "in", "type": "object", "direction": "input", "description": ""},
                       {"name": "out", "type": "object", "direction": "output",
                        "description": ""}])
    engine.create_tree_from_text(
        '<root BTCPP_format="4"><BehaviorTree ID="T"><Sequence><AlwaysSuccess/>'
        '<Work in="{a}" out="{b}"/></Sequence></BehaviorTree></root>')
    engine.set_blackboard_data("a", value)
    assert engine.tick_n_times(2) == [NodeStatus.SUCCESS, NodeStatus.SUCCESS]
    assert engine.get_blackboard_data("b") is value
    assert threads == [threading.get_ident()] * 2
