"""Tree creation, the command channel and the tree operations, as a Python caller sees them."""

import pytest

from conftest import CPP_TREE, action_tree, port, thread_ids, wait_until
from kelmora.core import NodeStatus, TreeNode


def test_generated_ids_count_the_trees_present(engine, log_lines):
    assert engine.create_tree_from_text(CPP_TREE) == "tree_0"
    assert engine.create_tree_from_text(CPP_TREE, "mine") == "mine"
    assert engine.create_tree_from_text(CPP_TREE) == "tree_2"
    engine.stop_tree("tree_0")
    assert engine.create_tree_from_text(CPP_TREE) == "tree_3"  # tree_2 is taken
    assert engine.get_tree_ids() == ["mine", "tree_2", "tree_3"]
    assert log_lines[1:] == [
        "INFO|创建行为树: tree_0", "INFO|创建行为树: mine", "INFO|创建行为树: tree_2",
        "INFO|停止行为树: tree_0", "INFO|创建行为树: tree_3"]


@pytest.mark.parametrize("steps, generated", [
    (["+", "+", "-tree_0"], "tree_2"),
    (["+", "+", "+", "-tree_0", "-tree_1"], "tree_1"),
    (["+tree_1"], "tree_2"),
    (["+", "+tree_3"], "tree_2"),
])
def test_a_generated_id_never_collides_after_stops(engine, steps, generated):
    for step in steps:
        if step.startswith("+"):
            engine.create_tree_from_text(CPP_TREE, step[1:] or None)
        else:
            engine.stop_tree(step[1:])
    assert engine.create_tree_from_text(CPP_TREE) == generated
    assert engine.tick_once(generated) is NodeStatus.SUCCESS


@pytest.mark.parametrize("operation, args", [
    ("tick_once", ()), ("tick_until_failure", ()), ("tick_until_success", ()),
    ("tick_n_times", (2,)), ("get_tree_status", ()), ("get_blackboard_data", ("k",)),
    ("set_blackboard_data", ("k", 1)), ("get_all_blackboard_data", ()), ("reset_tree", ()),
    ("stop_tree", ()), ("_check_tree_exists", ()),
])
def test_an_unknown_tree_is_a_logged_value_error(engine, log_lines, operation, args):
    with pytest.raises(ValueError) as raised:
        getattr(engine, operation)("ghost", *args)
    assert str(raised.value) == "行为树ID ghost 不存在"
    assert log_lines[1:] == ["ERROR|行为树ID ghost 不存在"]


def test_each_operation_returns_its_python_value(engine):
    tree = engine.create_tree_from_text(
        action_tree('<SetBlackboard value="hello" output_key="greeting"/>', "<AlwaysSuccess/>"))
    assert engine.tick_once(tree) is NodeStatus.SUCCESS
    assert engine.tick_n_times(tree, 3) == [NodeStatus.SUCCESS] * 3
    assert engine.tick_n_times(tree, 0) == []
    assert engine.tick_until_success(tree) == 1
    assert engine.get_blackboard_data(tree, "greeting") == "hello"
    assert engine.get_blackboard_data(tree, "never written") is None
    assert engine.get_all_blackboard_data(tree) == {"greeting": "hello"}
    status = engine.get_tree_status(tree)
    assert status["status"] == "SUCCESS" and status["tick_count"] == 5
    assert [n["id"] for n in status["nodes"]] == ["Sequence", "SetBlackboard", "AlwaysSuccess"]
    assert engine.set_blackboard_data(tree, "k", 1) is None
    assert engine.reset_tree(tree) is None
    assert engine.get_tree_status(tree)["tick_count"] == 0


class Opaque:
    pass


@pytest.mark.parametrize("value", [
    Opaque(), "text", "", 10 ** 30, 7, 2.5, True, [1, [2]], {"a": {"b": 1}}, (1, 2), b"\x00\xff",
    NodeStatus.RUNNING, None,
], ids=repr)
def test_blackboard_values_come_back_as_the_same_objects(engine, value):
    tree = engine.create_tree_from_text(CPP_TREE)
    engine.set_blackboard_data(tree, "v", value)
    assert engine.get_blackboard_data(tree, "v") is value
    assert engine.get_all_blackboard_data(tree)["v"] is value


def test_a_mutable_value_is_shared_not_copied(engine):
    tree = engine.create_tree_from_text(CPP_TREE)
    shared = []
    engine.set_blackboard_data(tree, "list", shared)
    shared.append(1)
    assert engine.get_blackboard_data(tree, "list") == [1]


def test_python_and_cpp_nodes_exchange_values_in_one_tree(engine):
    seen = []

    def read(node):
        seen.append(node.getInputString("text"))
        node.setOutput("copy", node.getInputObject("text"))
        return NodeStatus.SUCCESS

    engine.register_action_behavior("Read", read, [port("text", "string"),
                                                   port("copy", direction="output")])
    tree = engine.create_tree_from_text(action_tree(
        '<SetBlackboard value="from C++" output_key="a"/>', '<Read text="{a}" copy="{b}"/>',
        '<SetBlackboard value="{python}" output_key="c"/>'))
    engine.set_blackboard_data(tree, "python", "from Python")
    assert engine.tick_once(tree) is NodeStatus.SUCCESS
    assert seen == ["from C++"]
    assert engine.get_blackboard_data(tree, "b") == "from C++"
    assert engine.get_blackboard_data(tree, "c") == "from Python"


@pytest.mark.parametrize("raise_it, message", [
    (lambda: 1 / 0, "division by zero"),
    (lambda: {}["missing"], "'missing'"),
    (lambda: (_ for _ in ()).throw(ValueError("bad value 坏")), "bad value 坏"),
])
def test_a_python_exception_in_a_tick_fails_the_command_with_its_message(engine, log_lines,
                                                                        raise_it, message):
    def tick(node):
        raise_it()

    engine.register_action_behavior("Boom", tick, [])
    tree = engine.create_tree_from_text(action_tree("<Boom/>"))
    with pytest.raises(RuntimeError) as raised:
        engine.tick_once(tree)
    text = str(raised.value)
    assert text.startswith("行为树 tree_0 执行命令 tick_once 失败: 处理命令 tick_once 时发生错误: ")
    assert text.endswith(message)
    errors = [line for line in log_lines if line.startswith("ERROR|")]
    assert errors == ["ERROR|" + text.split(" 失败: ", 1)[1], "ERROR|" + text]
    engine.set_blackboard_data(tree, "after", 1)  # the tree still serves commands
    assert engine.get_blackboard_data(tree, "after") == 1


@pytest.mark.parametrize("result, kind", [(None, "NoneType"), ("SUCCESS", "str"), (2, "int")])
def test_a_tick_function_returning_no_status_fails_the_tick(engine, result, kind):
    engine.register_action_behavior("Wrong", lambda node: result, [])
    tree = engine.create_tree_from_text(action_tree("<Wrong/>"))
    with pytest.raises(RuntimeError, match="Expected NodeStatus, got " + kind + "$"):
        engine.tick_once(tree)


def test_the_node_is_valid_only_during_its_tick(engine):
    kept = []

    def tick(node):
        assert isinstance(node, TreeNode) and node.valid
        kept.append(node)
        return NodeStatus.SUCCESS

    engine.register_action_behavior("Keep", tick, [port("x", "string")])
    tree = engine.create_tree_from_text(action_tree('<Keep x="1"/>'))
    engine.tick_once(tree)
    engine.stop_tree(tree)
    assert not kept[0].valid
    with pytest.raises(RuntimeError, match="no longer valid"):
        kept[0].getInputString("x")


@pytest.mark.parametrize("command_type", ["TICK_ONCE", "get_tree_status", "reset_tree", ""])
def test_unknown_command_types_fail_with_both_log_lines_in_order(engine, log_lines,
                                                                  command_type):
    tree = engine.create_tree_from_text(CPP_TREE)
    with pytest.raises(RuntimeError) as raised:
        engine._send_command(tree, command_type)
    expected = "行为树 tree_0 执行命令 %s 失败: 未知命令类型: %s" % (command_type, command_type)
    assert str(raised.value) == expected
    assert log_lines[-2:] == ["ERROR|未知命令类型: " + command_type, "ERROR|" + expected]
    assert engine.tick_once(tree) is NodeStatus.SUCCESS


def test_send_command_passes_parameters_on(engine):
    tree = engine.create_tree_from_text(CPP_TREE)
    assert engine._send_command(tree, "tick_n_times", {"n": 2}) == [NodeStatus.SUCCESS] * 2
    assert engine._send_command(tree, "tick_n_times", {}) == [NodeStatus.SUCCESS]
    assert engine._send_command(tree, "tick_n_times") == [NodeStatus.SUCCESS]
    assert engine._send_command(tree, "set_blackboard_data", {"key": "k"}) is None
    assert engine._send_command(tree, "get_blackboard_data", {"key": "k"}) is None
    with pytest.raises(RuntimeError, match="处理命令 tick_n_times 时发生错误: "):
        engine._send_command(tree, "tick_n_times", {"n": "2"})


@pytest.mark.parametrize("operation, args, result, message", [
    ("tick_until_failure", (), "3", "Expected int, got str"),
    ("tick_until_success", (), [3], "Expected int, got list"),
    ("tick_n_times", (1,), {"a": 1}, "Expected list, got dict"),
    ("get_tree_status", (), 1.5, "Expected dict, got float"),
    ("get_all_blackboard_data", (), [], "Expected dict, got list"),
    ("get_all_blackboard_data", (), type("N" * 300, (), {})(), "Expected dict, got " + "N" * 200),
])
def test_a_result_of_the_wrong_kind_is_a_type_error_without_log_line(engine, log_lines,
                                                                     operation, args, result,
                                                                     message):
    engine._send_command = lambda *a, **k: result
    with pytest.raises(TypeError) as raised:
        getattr(engine, operation)("any", *args)
    assert str(raised.value) == message
    assert log_lines[1:] == []


@pytest.mark.parametrize("operation, args", [
    ("tick_until_failure", ()), ("tick_n_times", (1,)), ("get_tree_status", ()),
    ("get_all_blackboard_data", ()), ("tick_once", ()), ("get_blackboard_data", ("k",)),
])
def test_a_none_result_is_returned_as_none(engine, operation, args):
    engine._send_command = lambda *a, **k: None
    assert getattr(engine, operation)("any", *args) is None


def test_a_tree_that_cannot_be_built_reports_at_its_first_command(engine, log_lines):
    tree = engine.create_tree_from_text("<root BTCPP_format=\"4\"><Nonsense", "broken")
    assert tree == "broken"
    with pytest.raises(RuntimeError) as raised:
        engine.tick_once(tree)
    assert str(raised.value).startswith(
        "行为树 broken 执行命令 tick_once 失败: 行为树线程 broken 发生错误: ")
    with pytest.raises(RuntimeError, match="工作线程已结束"):
        engine.tick_once(tree)
    engine.stop_tree(tree)
    assert engine.get_tree_ids() == []


def test_create_tree_from_file_reads_utf8_and_passes_file_errors_unchanged(engine, tmp_path,
                                                                          log_lines):
    path = tmp_path / "tree.xml"
    path.write_bytes(CPP_TREE.replace("><", ">\r\n<").encode("utf-8"))
    assert engine.create_tree_from_file(str(path), "from_file") == "from_file"
    assert engine.tick_once("from_file") is NodeStatus.SUCCESS
    with pytest.raises(FileNotFoundError):
        engine.create_tree_from_file(str(tmp_path / "missing.xml"))
    (tmp_path / "latin1.xml").write_bytes(b"<root>\xe9</root>")
    with pytest.raises(UnicodeDecodeError):
        engine.create_tree_from_file(str(tmp_path / "latin1.xml"))
    assert engine.get_tree_ids() == ["from_file"]
    assert log_lines[1:] == ["INFO|创建行为树: from_file"]


def test_stop_all_trees_stops_in_creation_order_and_logs(engine, log_lines):
    for name in ("b", "a", "c"):
        engine.create_tree_from_text(CPP_TREE, name)
    del log_lines[:]
    engine.stop_all_trees()
    assert engine.get_tree_ids() == []
    assert log_lines == ["INFO|停止行为树: b", "INFO|停止行为树: a", "INFO|停止行为树: c",
                         "INFO|停止所有行为树"]
    assert engine.create_tree_from_text(CPP_TREE, "a") == "a"


def test_dropping_the_engine_stops_its_trees(log_lines):
    import gc

    from kelmora.engine.trigger.mthread import ThreadEngine

    before = thread_ids()
    engine = ThreadEngine()
    engine.register_action_behavior("Py", lambda node: NodeStatus.SUCCESS, [])
    engine.create_tree_from_text(action_tree("<Py/>"))
    engine.create_tree_from_text(CPP_TREE)
    engine.tick_once("tree_0")
    workers = thread_ids() - before  # the two trees' threads
    assert len(workers) == 2
    del engine
    gc.collect()
    assert log_lines[-3:] == ["INFO|停止行为树: tree_0", "INFO|停止行为树: tree_1",
                              "INFO|停止所有行为树"]
    assert wait_until(lambda: not workers & thread_ids())


def test_trees_is_a_read_only_mapping_of_the_trees_present_in_creation_order(engine, tmp_path):
    import time

    before = time.time()
    path = tmp_path / "tree.xml"
    path.write_text(CPP_TREE)
    assert len(engine.trees) == 0 and list(engine.trees) == []
    engine.create_tree_from_text(CPP_TREE, "b")
    engine.create_tree_from_file(str(path), "a")
    engine.create_tree_from_text(CPP_TREE, "gone")
    engine.stop_tree("gone")
    trees = engine.trees
    assert len(trees) == 2 and list(trees) == ["b", "a"] == engine.get_tree_ids()
    assert "a" in trees and "gone" not in trees and 5 not in trees
    record = trees["a"]
    assert (record.tree_id, record.xml_text, record.file_path) == ("a", CPP_TREE, str(path))
    assert trees["b"].file_path is None
    assert before <= trees["b"].created_at <= trees["a"].created_at <= time.time()
    assert dict(trees.items())["b"].tree_id == "b"
    with pytest.raises(KeyError):
        trees["gone"]
    with pytest.raises(AttributeError):
        engine.trees = {}
    with pytest.raises(TypeError):
        trees["c"] = record
    with pytest.raises(AttributeError):
        record.tree_id = "other"
    engine.create_tree_from_text(CPP_TREE, "c")
    assert list(trees) == ["b", "a", "c"]  # the same view follows the engine


def test_a_python_exception_in_a_tick_is_the_cause_of_the_commands_error(engine):
    raised = []

    class Mine(Exception):
        pass

    def tick(node):
        error = Mine("with data", 42)
        raised.append(error)
        raise error

    engine.register_action_behavior("Boom", tick, [])
    tree = engine.create_tree_from_text(action_tree("<Boom/>"))
    with pytest.raises(RuntimeError) as failed:
        engine.tick_once(tree)
    assert failed.value.__cause__ is raised[0]  # the very object, past the engine's wrappers
    assert failed.value.__cause__.args == ("with data", 42)
    with pytest.raises(RuntimeError) as failed:
        engine._send_command(tree, "tick_n_times", {"n": 2})
    assert failed.value.__cause__ is raised[1]


def test_a_value_error_raised_in_a_tick_is_the_cause(engine):
    error = ValueError("bad value")

    def tick(node):
        raise error

    engine.register_action_behavior("Boom", tick, [])
    tree = engine.create_tree_from_text(action_tree("<Boom/>"))
    with pytest.raises(RuntimeError) as failed:
        engine.tick_once(tree)
    assert failed.value.__cause__ is error
    assert failed.value.__cause__.__traceback__ is not None


def test_a_worker_that_could_not_build_its_tree_has_the_build_error_as_cause(engine):
    tree = engine.create_tree_from_text("<root BTCPP_format=\"4\"><Nonsense", "broken")
    with pytest.raises(RuntimeError) as failed:
        engine.tick_once(tree)
    cause = failed.value.__cause__
    assert type(cause) is RuntimeError
    assert str(failed.value).endswith(str(cause))
    with pytest.raises(RuntimeError) as later:
        engine.tick_once(tree)
    assert str(later.value).endswith("工作线程已结束") and later.value.__cause__ is None
