"""Switch, ParallelAll, TryCatch, AsyncSequence, AsyncFallback and the older name SequenceStar in
one tree on the ThreadEngine: what each tick reaches and returns, Python numbers as a Switch's
variable, and structure errors naming the node."""

import pytest

from conftest import port
from kelmora.core import NodeStatus

S, F, R, K = NodeStatus.SUCCESS, NodeStatus.FAILURE, NodeStatus.RUNNING, NodeStatus.SKIPPED

# The tags of the Step actions ticked, in order; appended on the tree's worker.
steps = []


def take_steps():
    taken = list(steps)
    del steps[:]
    return taken


def step(node):
    steps.append(node.getInputString("tag"))
    try:
        result = node.getInputString("result")
    except RuntimeError:  # not given: SUCCESS
        result = "SUCCESS"
    return NodeStatus.__members__[result]


def tree_xml(body):
    return '<root BTCPP_format="4"><BehaviorTree ID="T">%s</BehaviorTree></root>' % body


@pytest.fixture
def engine_with_steps(engine):
    del steps[:]
    engine.register_action_behavior("Step", step, [port("tag", "string"),
                                                   port("result", "string")])
    return engine


EVERY_CONTROL = tree_xml("""
<Sequence>
  <Switch3 variable="{mode}" case_1="1" case_2="2.0" case_3="stop">
    <Step tag="one"/><Step tag="two"/><Step tag="stop"/><Step tag="default"/>
  </Switch3>
  <ParallelAll max_failures="2">
    <Step tag="p1"/><Step tag="p2" result="FAILURE"/>
  </ParallelAll>
  <Inverter>
    <TryCatch catch_on_halt="true">
      <Step tag="try" result="FAILURE"/><Step tag="catch"/>
    </TryCatch>
  </Inverter>
  <AsyncSequence><Step tag="a1"/><Step tag="a2"/></AsyncSequence>
  <AsyncFallback><Step tag="f1" result="FAILURE"/><Step tag="f2"/></AsyncFallback>
  <SequenceStar><Step tag="star"/></SequenceStar>
</Sequence>""")


@pytest.mark.parametrize("mode, picked", [(2, "two"), (2.0, "two"), ("2", "two"), (1, "one"),
                                          ("stop", "stop"), (True, "default"), (None, "default"),
                                          ("2abc", "default")])
def test_a_tree_with_every_control_runs_tick_by_tick(engine_with_steps, mode, picked):
    engine = engine_with_steps
    tree = engine.create_tree_from_text(EVERY_CONTROL)
    if mode is not None:
        engine.set_blackboard_data(tree, "mode", mode)
    assert engine.tick_once(tree) is R
    assert take_steps() == [picked, "p1", "p2", "try", "catch", "a1"]
    assert engine.tick_once(tree) is R
    assert take_steps() == ["a2", "f1"]
    assert engine.tick_once(tree) is S
    assert take_steps() == ["f2", "star"]
    assert engine.tick_until_success(tree) == 3
    assert take_steps() == [picked, "p1", "p2", "try", "catch", "a1", "a2", "f1", "f2", "star"]


@pytest.mark.parametrize("body, message", [
    ('<Switch2 name="s" variable="x"><Step tag="a"/><Step tag="b"/></Switch2>',
     "node 's' (Switch2): needs exactly 3 children (Control node), has 2"),
    ('<TryCatch name="t"><Step tag="a"/></TryCatch>',
     "node 't' (TryCatch): needs at least 2 children (Control node), has 1"),
    ('<ParallelAll name="p" max_failures="2"><Step tag="a"/></ParallelAll>',
     "node 'p' (ParallelAll): max_failures 2 does not fit its 1 child (use 0..1 or -1 for all)"),
], ids=["Switch children", "TryCatch children", "ParallelAll max_failures"])
def test_structure_errors_name_the_node(engine_with_steps, body, message):
    engine = engine_with_steps
    with pytest.raises((RuntimeError, ValueError)) as failed:
        tree = engine.create_tree_from_text(tree_xml(body))
        engine.tick_once(tree)  # a ThreadEngine tree may report its build error at a command
    assert "<xml text>:1: " + message in str(failed.value)
