"""Python numbers and booleans on a blackboard feed the standard nodes' numeric and boolean ports."""

import pytest

from conftest import action_tree
from kelmora.core import NodeStatus
from kelmora.engine.sequential_engine import SequentialEngine


class Count:
    """A tick function that counts its ticks and returns a fixed status."""

    def __init__(self, status):
        self.status = status
        self.ticks = 0

    def __call__(self, node):
        self.ticks += 1
        return self.status


@pytest.mark.parametrize("body, value, status, ticks", [
    ('<Repeat num_cycles="{v}"><Count/></Repeat>', 3, NodeStatus.SUCCESS, 3),
    ('<Repeat num_cycles="{v}"><Count/></Repeat>', 2.0, NodeStatus.SUCCESS, 2),
    ('<Repeat num_cycles="{v}"><Count/></Repeat>', "3", NodeStatus.SUCCESS, 3),
    ('<RetryUntilSuccessful num_attempts="{v}"><CountFailing/></RetryUntilSuccessful>', 2,
     NodeStatus.FAILURE, 2),
    ('<Sleep msec="{v}"/><Count/>', 0, NodeStatus.SUCCESS, 1),
    ('<Sleep msec="{v}"/><Count/>', 600000, NodeStatus.RUNNING, 0),
    ('<Timeout msec="{v}"><Count/></Timeout>', 0, NodeStatus.FAILURE, 0),
    ('<Delay delay_msec="{v}"><Count/></Delay>', 0, NodeStatus.SUCCESS, 1),
    ('<Parallel success_count="{v}"><Count/><CountFailing/></Parallel>', 1,
     NodeStatus.SUCCESS, 1),
], ids=["repeat-int", "repeat-float", "repeat-str", "retry-int", "sleep-zero", "sleep-long",
        "timeout-zero", "delay-zero", "parallel-int"])
def test_a_python_number_feeds_a_numeric_port(body, value, status, ticks):
    engine = SequentialEngine()
    succeeding, failing = Count(NodeStatus.SUCCESS), Count(NodeStatus.FAILURE)
    engine.register_action_behavior("Count", succeeding, [])
    engine.register_action_behavior("CountFailing", failing, [])
    engine.create_tree_from_text(action_tree(body))
    engine.set_blackboard_data("v", value)
    assert engine.tick_once() is status
    assert succeeding.ticks + failing.ticks == ticks


@pytest.mark.parametrize("value, second", [
    (True, NodeStatus.SKIPPED), (False, NodeStatus.SUCCESS), ("false", NodeStatus.SUCCESS)])
def test_a_python_bool_feeds_a_boolean_port(value, second):
    engine = SequentialEngine()
    engine.register_action_behavior("Count", Count(NodeStatus.SUCCESS), [])
    engine.create_tree_from_text(action_tree('<RunOnce then_skip="{v}"><Count/></RunOnce>'))
    engine.set_blackboard_data("v", value)
    assert engine.tick_once() is NodeStatus.SUCCESS
    assert engine.tick_once() is second


@pytest.mark.parametrize("value, problem", [
    (True, "refers to blackboard entry 'v', which holds bool, not an integer"),
    (2.5, "expects an integer, got 2.5"),
    (10 ** 30, "expects an integer, got 1000000000000000000000000000000"),
    ([3], "refers to blackboard entry 'v', which holds list, not an integer"),
    (None, "refers to blackboard entry 'v', which holds NoneType, not an integer"),
])
def test_a_python_value_that_is_no_integer_fails_the_tick_naming_it(value, problem):
    engine = SequentialEngine()
    engine.register_action_behavior("Count", Count(NodeStatus.SUCCESS), [])
    engine.create_tree_from_text(action_tree('<Repeat num_cycles="{v}"><Count/></Repeat>'))
    engine.set_blackboard_data("v", value)
    with pytest.raises(RuntimeError) as raised:
        engine.tick_once()
    assert str(raised.value) == "node 'Repeat' (Repeat): port 'num_cycles' " + problem


def test_a_thread_engine_tree_takes_a_python_int_for_num_cycles(engine):
    count = Count(NodeStatus.SUCCESS)
    engine.register_action_behavior("Count", count, [])
    tree = engine.create_tree_from_text(action_tree('<Repeat num_cycles="{n}"><Count/></Repeat>'))
    engine.set_blackboard_data(tree, "n", 3)
    assert engine.tick_once(tree) is NodeStatus.SUCCESS
    assert count.ticks == 3
