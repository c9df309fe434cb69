"""ThreadEngine._process_command: one command record carried out on a SequentialEngine, exactly
one result record stored, with the texts and log lines of a worker's command processing."""

import pytest

from conftest import action_tree, port
from kelmora.core import NodeStatus
from kelmora.engine.sequential_engine import SequentialEngine


@pytest.fixture
def tree_engine():
    """A SequentialEngine whose tree is one Work node; every third tick fails."""
    ticks = []

    def work(node):
        ticks.append(1)
        return NodeStatus.FAILURE if len(ticks) % 3 == 0 else NodeStatus.SUCCESS

    sequential = SequentialEngine()
    sequential.register_action_behavior("Work", work, [])
    sequential.create_tree_from_text(action_tree("<Work/>"))
    return sequential


def process(engine, sequential, command, tree_id="tree-7"):
    result = ["stale"]
    engine._process_command(sequential, command, tree_id, result)
    assert len(result) == 1
    return result[0]


def test_each_command_type_runs_its_operation_and_stores_its_result(engine, tree_engine,
                                                                    log_lines):
    cases = [
        ({"type": "tick_once", "params": {}}, NodeStatus.SUCCESS),
        ({"type": "tick_until_failure"}, 2),
        ({"type": "tick_until_success", "params": {}}, 1),
        ({"type": "tick_n_times", "params": {"n": 4}},
         [NodeStatus.SUCCESS, NodeStatus.FAILURE, NodeStatus.SUCCESS, NodeStatus.SUCCESS]),
        ({"type": "tick_n_times", "params": {}}, [NodeStatus.FAILURE]),  # n defaults to 1
        ({"type": "set_blackboard_data", "params": {"key": "k", "value": [5]}}, None),
        ({"type": "set_blackboard_data", "params": {"key": "none"}}, None),
        ({"type": "get_blackboard_data", "params": {"key": "k"}}, [5]),
        ({"type": "get_blackboard_data", "params": {"key": "never"}}, None),
        ({"type": "get_all_blackboard_data"}, {"k": [5], "none": None}),
        ({"type": "reset"}, None),
    ]
    del log_lines[:]
    for command, expected in cases:
        result_type, result_tree_id, value = process(engine, tree_engine, command)
        assert (result_type, result_tree_id) == (command["type"], "tree-7"), command
        assert value == expected, command
    status = process(engine, tree_engine, {"type": "get_status"})[2]
    assert status["tick_count"] == 0  # the reset restarted the counters
    assert log_lines == []


def test_a_stored_value_comes_back_as_the_same_object(engine, tree_engine):
    value = object()
    process(engine, tree_engine, {"type": "set_blackboard_data",
                                  "params": {"key": "v", "value": value}})
    assert process(engine, tree_engine, {"type": "get_blackboard_data",
                                         "params": {"key": "v"}})[2] is value


@pytest.mark.parametrize("command, text", [
    ({}, "None"),
    ({"params": {"n": 1}}, "None"),
    ({"type": None}, "None"),
    ({"type": "TICK_ONCE"}, "TICK_ONCE"),
    ({"type": "get_tree_status"}, "get_tree_status"),
    ({"type": "reset_tree", "params": {}}, "reset_tree"),
    ({"type": ""}, ""),
    ({"type": 5}, "5"),
    ({"type": True}, "True"),
])
def test_an_unknown_type_is_a_logged_error_record(engine, tree_engine, log_lines, command, text):
    del log_lines[:]
    message = "未知命令类型: " + text
    assert process(engine, tree_engine, command) == ("error", "tree-7", message)
    assert log_lines == ["ERROR|" + message]
    assert process(engine, tree_engine, {"type": "get_status"})[2]["tick_count"] == 0


@pytest.mark.parametrize("command, detail", [
    ({"type": "tick_n_times", "params": {"n": "3"}}, "parameter 'n' must be a 64-bit integer"),
    ({"type": "tick_n_times", "params": {"n": 2 ** 70}}, "parameter 'n' must be a 64-bit integer"),
    ({"type": "get_blackboard_data", "params": {}}, "parameter 'key' must be a string"),
    ({"type": "set_blackboard_data", "params": {"key": 1}}, "parameter 'key' must be a string"),
    ({"type": "tick_n_times", "params": [("n", 1)]}, "the command's parameters must be a map"),
    ({"type": "get_blackboard_data", "params": None}, "the command's parameters must be a map"),
    ({"type": "get_blackboard_data", "params": {1: "k"}}, "the command's parameters must be a map"),
])
def test_a_failed_operation_is_a_logged_error_record(engine, tree_engine, log_lines, command,
                                                     detail):
    del log_lines[:]
    result_type, result_tree_id, message = process(engine, tree_engine, command)
    prefix = "处理命令 %s 时发生错误: %s" % (command["type"], detail)
    assert (result_type, result_tree_id) == ("error", "tree-7")
    assert message.startswith(prefix), message
    assert log_lines == ["ERROR|" + message]


def test_parameters_that_are_no_map_leave_types_that_read_none_unaffected(engine, tree_engine):
    assert process(engine, tree_engine, {"type": "tick_once", "params": [1]})[0] == "tick_once"
    assert process(engine, tree_engine, {"type": "reset", "params": None})[0] == "reset"


def test_a_tick_that_raises_is_a_logged_error_record(engine, log_lines):
    def boom(node):
        raise KeyError("missing")

    sequential = SequentialEngine()
    sequential.register_action_behavior("Boom", boom, [port("x")])
    sequential.create_tree_from_text(action_tree("<Boom/>"))
    del log_lines[:]
    message = "处理命令 tick_once 时发生错误: node 'Boom' (Boom): 'missing'"
    assert process(engine, sequential, {"type": "tick_once"}, "t") == ("error", "t", message)
    assert log_lines == ["ERROR|" + message]


def test_an_empty_result_list_receives_the_record(engine, tree_engine):
    result = []
    engine._process_command(tree_engine, {"type": "tick_once"}, "t", result)
    assert result == [("tick_once", "t", NodeStatus.SUCCESS)]


@pytest.mark.parametrize("args, message", [
    (("engine", {}, "t", []), "engine must be SequentialEngine, not str"),
    ((None, [("type", "tick_once")], "t", []), "command must be dict, not list"),
    ((None, {}, b"t", []), "tree_id must be str, not bytes"),
    ((None, {}, "t", ()), "result must be list, not tuple"),
])
def test_arguments_of_the_wrong_kind_are_type_errors_naming_them(engine, tree_engine, log_lines,
                                                                 args, message):
    args = tuple(tree_engine if a is None else a for a in args)
    del log_lines[:]
    with pytest.raises(TypeError) as raised:
        engine._process_command(*args)
    assert str(raised.value) == message
    assert log_lines == []
