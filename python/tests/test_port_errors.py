"""Port errors met by a Python tick function: raised in Python as RuntimeError naming the node,
and, when the tick function lets them through, failing the tick with that same text (the node is
named once); anything else the tick function raises is named by the node in front."""

import pytest

from conftest import action_tree, port
from kelmora.core import NodeStatus
from kelmora.engine.sequential_engine import SequentialEngine


def read_missing(node):
    node.getInputString("nope")
    return NodeStatus.SUCCESS


def read_unwritten(node):
    node.getInputString("text")
    return NodeStatus.SUCCESS


def write_input(node):
    node.setOutput("text", 1)
    return NodeStatus.SUCCESS


def reraise(node):
    try:
        node.getInputString("nope")
    except RuntimeError:
        raise


def raise_other(node):
    try:
        node.getInputString("nope")
    except RuntimeError as error:
        raise ValueError("wrapped: %s" % error)


def caught(node):
    try:
        node.getInputString("nope")
    except RuntimeError:
        pass
    raise KeyError("later")


@pytest.mark.parametrize("tick, message", [
    (read_missing, "node 'A' (A): has no port 'nope'"),
    (read_unwritten,
     "node 'A' (A): port 'text' refers to blackboard entry 'gone', which was never written"),
    (write_input, "node 'A' (A): port 'text' is an input port; it cannot be written"),
    (reraise, "node 'A' (A): has no port 'nope'"),
    (raise_other, "node 'A' (A): wrapped: node 'A' (A): has no port 'nope'"),
    (caught, "node 'A' (A): 'later'"),
], ids=["missing", "unwritten", "direction", "reraised", "wrapped", "caught-then-other"])
def test_a_port_error_names_the_node_once(tick, message):
    engine = SequentialEngine()
    engine.register_action_behavior("A", tick, [port("text", "string")])
    engine.create_tree_from_text(action_tree('<A text="{gone}"/>'))
    with pytest.raises(RuntimeError) as raised:
        engine.tick_once()
    assert str(raised.value) == message


def test_the_python_error_of_a_port_names_the_node():
    seen = []

    def tick(node):
        try:
            node.getInputObject("nope")
        except RuntimeError as error:
            seen.append(str(error))
        return NodeStatus.SUCCESS

    engine = SequentialEngine()
    engine.register_action_behavior("A", tick, [])
    engine.create_tree_from_text(action_tree("<A/>"))
    assert engine.tick_once() is NodeStatus.SUCCESS
    assert seen == ["node 'A' (A): has no port 'nope'"]
