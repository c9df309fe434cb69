"""The navigation controls and decorators of navigation_nodes.py, written as user node classes:
their documented behaviour tick by tick (which children each tick reaches, what it returns, which
running children get halted), on a SequentialEngine and, for one tree, a ThreadEngine."""

import re

import pytest

from conftest import port
from kelmora.core import NodeStatus
from kelmora.engine.sequential_engine import SequentialEngine
from kelmora.nodes.action_node import StatefulActionNode
from navigation_nodes import PipelineSequence, RateController, RecoveryNode, RoundRobin

S, F, R, K = NodeStatus.SUCCESS, NodeStatus.FAILURE, NodeStatus.RUNNING, NodeStatus.SKIPPED
STATUS = {"S": S, "F": F, "R": R, "K": K}

# What the leaves did since the last take: "A" for a tick of A, "~A" for a halt of running A.
trace = []


def take_trace():
    joined = " ".join(trace)
    del trace[:]
    return joined


class Scripted(StatefulActionNode):
    """Returns the statuses of its `script` port in turn ("F,R,S"; the last repeats), across
    runs; a halt while it runs is traced."""
    ports = [port("script", "string")]

    def __init__(self):
        self.at = 0

    def onStart(self):
        return self.next()

    def onRunning(self):
        return self.next()

    def onHalted(self):
        trace.append("~" + self.name)

    def next(self):
        trace.append(self.name)
        items = self.getInputString("script").split(",")
        self.at += 1
        return STATUS[items[min(self.at - 1, len(items) - 1)]]


NODES = [RecoveryNode, PipelineSequence, RoundRobin, RateController, Scripted]


class FakeClock:
    seconds = 0.0

    @classmethod
    def now(cls):
        return cls.seconds


@pytest.fixture(autouse=True)
def fake_clock(monkeypatch):
    FakeClock.seconds = 0.0
    monkeypatch.setattr(RateController, "clock", staticmethod(FakeClock.now))
    del trace[:]


def tree_xml(body):
    return '<root BTCPP_format="4"><BehaviorTree ID="T">%s</BehaviorTree></root>' % body


def leaf(name, script):
    return '<Scripted name="%s" script="%s"/>' % (name, script)


def run_steps(body, steps):
    """Each step: (status, trace) or (status, trace, at) or (status, trace, at, reset): the clock
    is set to `at`, the tree reset when asked, then ticked."""
    engine = SequentialEngine()
    for cls in NODES:
        engine.register_node_class(cls)
    engine.create_tree_from_text(tree_xml(body))
    for number, step in enumerate(steps, 1):
        status, expected, at, reset = (tuple(step) + (0.0, False))[:4]
        FakeClock.seconds = at
        if reset:
            engine.reset_tree()
        assert (engine.tick_once(), take_trace()) == (status, expected), "tick %d" % number
    del engine


def recovery(retries, action, fix):
    attribute = ' number_of_retries="%s"' % retries if retries else ""
    return "<RecoveryNode%s>%s%s</RecoveryNode>" % (attribute, leaf("A", action), leaf("Fix", fix))


@pytest.mark.parametrize("body, steps", [
    (recovery("", "S", "S"), [(S, "A"), (S, "A")]),
    (recovery("", "F,S", "S"), [(S, "A Fix A")]),
    (recovery("", "F", "S"), [(F, "A Fix A")]),
    (recovery("3", "F", "S"), [(F, "A Fix A Fix A Fix A")]),
    (recovery("0", "F", "S"), [(F, "A")]),
    (recovery("5", "F", "F"), [(F, "A Fix")]),
    (recovery("2", "R,F,R,S", "R,S"), [(R, "A"), (R, "A Fix"), (R, "Fix A"), (S, "A")]),
    (recovery("1", "F,F,F,S", "S"), [(F, "A Fix A"), (S, "A Fix A")]),
    (recovery("1", "F,K", "K"), [(K, "A Fix A")]),
    (recovery("1", "F,S", "R"), [(R, "A Fix"), (S, "~Fix A", 0, True)]),
], ids=["succeeds at once", "recovers then succeeds", "one retry by default", "three retries",
        "no retry", "failed recovery", "running across ticks", "count afresh each run",
        "skipped", "halted while recovering"])
def test_recovery_node(body, steps):
    run_steps(body, steps)


def pipeline(a, b, c):
    return "<PipelineSequence>%s%s%s</PipelineSequence>" % (leaf("A", a), leaf("B", b),
                                                            leaf("C", c))


@pytest.mark.parametrize("body, steps", [
    (pipeline("R,S", "R,S", "R,S"),
     [(R, "A"), (R, "A B"), (R, "A B C"), (S, "A B C"), (S, "A B C")]),
    (pipeline("S,R,R,R,S", "R", "S"), [(R, "A B"), (R, "A B"), (R, "A B")]),
    (pipeline("S", "R,R,S", "R"), [(R, "A B"), (R, "A B"), (R, "A B C")]),
    (pipeline("S,F", "R", "S"), [(R, "A B"), (F, "A ~B"), (F, "A")]),
    (pipeline("S,R", "R,F", "S"), [(R, "A B"), (F, "A B ~A")]),
    (pipeline("S", "S,R", "R"), [(R, "A B C"), (R, "~C A B", 0, True)]),
], ids=["one further each time", "earlier running child", "first reached running child stops",
        "earlier child fails", "furthest child fails", "reset"])
def test_pipeline_sequence(body, steps):
    run_steps(body, steps)


def robin(a, b, c):
    return "<RoundRobin>%s%s%s</RoundRobin>" % (leaf("A", a), leaf("B", b), leaf("C", c))


@pytest.mark.parametrize("body, steps", [
    (robin("S", "S", "S"), [(S, "A"), (S, "B"), (S, "C"), (S, "A")]),
    (robin("F", "S", "S"), [(S, "A B"), (S, "C"), (S, "A B")]),
    (robin("F", "F,S", "F"), [(F, "A B C"), (S, "A B"), (S, "C A B")]),
    (robin("R,S", "S", "S"), [(R, "A"), (S, "A"), (S, "B")]),
    (robin("F", "R,F", "F"), [(R, "A B"), (F, "B C")]),
    (robin("F", "S,F", "F,R"), [(S, "A B"), (F, "C A B")]),
    (robin("S", "R", "S"), [(S, "A"), (R, "B"), (S, "~B A", 0, True)]),
], ids=["in turn", "failure passes the turn", "all failed in one round", "running keeps turn",
        "failures across ticks", "success clears the count", "halt gives turn back"])
def test_round_robin(body, steps):
    run_steps(body, steps)


def rate(hz, script):
    attribute = ' hz="%s"' % hz if hz else ""
    return "<RateController%s>%s</RateController>" % (attribute, leaf("A", script))


@pytest.mark.parametrize("body, steps", [
    (rate("1", "S,F"), [(S, "A", 0), (S, "", 0.5), (S, "", 0.99), (F, "A", 1.0), (F, "", 1.5),
                        (F, "A", 2.5)]),
    (rate("", "F"), [(F, "A", 0), (F, "", 0.05), (F, "A", 0.15)]),
    (rate("2", "R,R,S"), [(R, "A", 0), (R, "", 0.2), (R, "A", 0.5), (R, "", 0.9), (S, "A", 1.0),
                          (S, "", 1.1)]),
    (rate("1", "S"), [(S, "A", 0), (S, "A", 0.1, True)]),
    (rate("1", "R"), [(R, "A", 0), (R, "~A A", 0.1, True)]),
], ids=["last result between periods", "ten a second by default", "running child at the rate",
        "halted ticks at once", "running child halted"])
def test_rate_controller(body, steps):
    run_steps(body, steps)


def test_nodes_together_as_in_a_navigation_tree():
    # Replan at 1 Hz while following the path; when following fails, clear the map and retry.
    body = ('<RecoveryNode number_of_retries="1"><PipelineSequence>'
            '<RateController hz="1">%s</RateController>%s</PipelineSequence>%s</RecoveryNode>'
            % (leaf("Plan", "S"), leaf("Follow", "R,R,R,F,R,S"), leaf("Clear", "S")))
    run_steps(body, [(R, "Plan Follow", 0), (R, "Follow", 0.5), (R, "Plan Follow", 1.0),
                     (R, "Follow Clear Plan Follow", 1.2), (S, "Follow", 1.4)])


@pytest.mark.parametrize("body", [
    '<RecoveryNode name="r">%s</RecoveryNode>' % leaf("A", "S"),
    '<RecoveryNode name="r">%s%s%s</RecoveryNode>' % (leaf("A", "S"), leaf("B", "S"),
                                                      leaf("C", "S")),
], ids=["one child", "three children"])
def test_recovery_node_with_other_than_two_children_fails_the_build_naming_it(body):
    engine = SequentialEngine()
    for cls in NODES:
        engine.register_node_class(cls)
    with pytest.raises(RuntimeError) as raised:
        engine.create_tree_from_text(tree_xml(body))
    assert re.search(r":1: node 'r' \(RecoveryNode\): needs exactly 2 children \(the action and "
                     r"its recovery\), has [13]$", str(raised.value)), str(raised.value)


@pytest.mark.parametrize("body, message", [
    ('<RecoveryNode name="r" number_of_retries="-1">%s%s</RecoveryNode>'
     % (leaf("A", "F"), leaf("B", "S")),
     "node 'r' (RecoveryNode): number_of_retries must not be negative"),
    ('<RateController name="c" hz="0">%s</RateController>' % leaf("A", "S"),
     "node 'c' (RateController): hz must be a positive number, not '0'"),
    ('<RateController name="c" hz="fast">%s</RateController>' % leaf("A", "S"),
     "node 'c' (RateController): hz must be a positive number, not 'fast'"),
], ids=["negative retries", "zero hz", "hz not a number"])
def test_bad_structure_and_ports_fail_the_tick_naming_the_node(body, message):
    engine = SequentialEngine()
    for cls in NODES:
        engine.register_node_class(cls)
    engine.create_tree_from_text(tree_xml(body))
    with pytest.raises(RuntimeError) as raised:
        engine.tick_once()
    assert str(raised.value) == message
    assert isinstance(raised.value.__cause__, ValueError)


def test_thread_engine_trees_run_them_and_halt_on_stop(engine):
    for cls in NODES:
        engine.register_node_class(cls)
    tree = engine.create_tree_from_text(tree_xml(
        "<RoundRobin><PipelineSequence>%s%s</PipelineSequence>%s</RoundRobin>"
        % (leaf("A", "S"), leaf("B", "R"), leaf("C", "S"))))
    assert engine.tick_once(tree) is R
    assert engine.tick_once(tree) is R
    engine.stop_tree(tree)  # the worker halts the running tree as it ends
    assert take_trace() == "A B A B ~B"
