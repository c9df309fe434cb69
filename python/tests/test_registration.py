"""Construction and action registration: log lines, defaults, and the checks on classes."""

import pytest

from conftest import action_tree, port, succeed
from kelmora.core import BehaviorTreeFactory, NodeStatus
from kelmora.nodes.action_node import SimpleActionNode


def test_construction_logs_once_and_starts_empty(log_lines, engine):
    assert log_lines == ["INFO|初始化线程引擎"]
    assert engine.get_tree_ids() == []
    assert engine.action_registrations == []
    assert isinstance(engine.factory, BehaviorTreeFactory)


def test_register_action_behavior_stores_the_parts_unchanged_and_logs(log_lines, engine):
    ports = [port("x")]
    engine.register_action_behavior("Work", succeed, ports)
    engine.register_action_behavior("Work", succeed, [])
    assert log_lines[1:] == ["INFO|注册动作节点: Work", "INFO|注册动作节点: Work"]
    assert len(engine.action_registrations) == 2
    action_id, tick, stored_ports = engine.action_registrations[0]
    assert (action_id, tick) == ("Work", succeed)
    assert stored_ports is ports
    assert engine.action_registrations[1][2] == []


def test_any_tick_function_value_is_accepted_and_fails_only_when_ticked(engine):
    engine.register_action_behavior("NotCallable", 42, [])
    tree = engine.create_tree_from_text(action_tree("<NotCallable/>"))
    with pytest.raises(RuntimeError, match="'int' object is not callable"):
        engine.tick_once(tree)


class Derived(SimpleActionNode):
    ports = [port("value", "string")]

    @staticmethod
    def tick(node):
        return NodeStatus.SUCCESS


class WithoutPorts(SimpleActionNode):
    @staticmethod
    def tick(node):
        return NodeStatus.SUCCESS


class WithoutTick(SimpleActionNode):
    ports = []


class NotDerived:
    @staticmethod
    def tick(node):
        return NodeStatus.SUCCESS


class PortsNotAList(SimpleActionNode):
    ports = ({"name": "x"},)  # type: ignore[assignment]
    tick = staticmethod(succeed)


def test_register_action_class_uses_the_class_name_tick_and_ports(log_lines, engine):
    engine.register_action_class(Derived)
    assert engine.action_registrations == [("Derived", Derived.tick, Derived.ports)]
    assert engine.action_registrations[0][2] is Derived.ports
    assert log_lines[1:] == ["INFO|注册动作节点: Derived"]


def test_register_action_class_with_an_explicit_id_uses_that_id(log_lines, engine):
    engine.register_action_class(Derived, "Other")
    assert engine.action_registrations[0][0] == "Other"
    assert log_lines[1:] == ["INFO|注册动作节点: Other"]


def test_a_class_without_ports_gets_a_new_empty_list(engine):
    engine.register_action_class(WithoutPorts)
    engine.register_action_class(WithoutPorts, "Again")
    first, second = (r[2] for r in engine.action_registrations)
    assert first == [] and second == [] and first is not second


def test_a_registered_class_ticks_in_a_tree(engine):
    engine.register_action_class(Derived)
    tree = engine.create_tree_from_text(action_tree('<Derived value="v"/>'))
    assert engine.tick_once(tree) is NodeStatus.SUCCESS


@pytest.mark.parametrize("cls, action_id, error, message, logged", [
    (NotDerived, None, TypeError, "节点类 NotDerived 必须继承自SimpleActionNode",
     ["ERROR|节点类 NotDerived 必须继承自SimpleActionNode"]),
    (NotDerived, "Given", TypeError, "节点类 NotDerived 必须继承自SimpleActionNode",
     ["ERROR|节点类 NotDerived 必须继承自SimpleActionNode"]),
    (WithoutTick, None, AttributeError, "tick", []),
    (SimpleActionNode, None, AttributeError, "tick", []),
    (PortsNotAList, None, TypeError, "ports_list must be list, not tuple", []),
    (Derived, 7, TypeError, "action_id must be str or None, not int", []),
    (Derived(), None, TypeError, "issubclass", []),
    ("Derived", None, TypeError, "issubclass", []),
])
def test_register_action_class_rejections_store_nothing(log_lines, engine, cls, action_id, error,
                                                        message, logged):
    with pytest.raises(error) as raised:
        engine.register_action_class(cls, action_id)
    assert message in str(raised.value)
    assert log_lines[1:] == logged
    assert engine.action_registrations == []


def test_the_derivation_error_text_is_exactly_the_logged_text(log_lines, engine):
    with pytest.raises(TypeError) as raised:
        engine.register_action_class(NotDerived)
    assert str(raised.value) == "节点类 NotDerived 必须继承自SimpleActionNode"


@pytest.mark.parametrize("args, message", [
    ((None, succeed, []), "action_id must be str, not NoneType"),
    ((b"Work", succeed, []), "action_id must be str, not bytes"),
    (("Work", succeed, None), "ports_list must be list, not NoneType"),
    (("Work", succeed, ()), "ports_list must be list, not tuple"),
    (("Work", succeed, {"name": "x"}), "ports_list must be list, not dict"),
    (("Work", succeed, ["x"]), "ports_list[0] must be a dict, not str"),
    (("Work", succeed, [{"name": 1}]), "ports_list[0] must map str to str, not str to int"),
])
def test_register_action_behavior_rejects_wrong_kinds_before_logging(log_lines, engine, args,
                                                                     message):
    with pytest.raises(TypeError) as raised:
        engine.register_action_behavior(*args)
    assert str(raised.value) == message
    assert log_lines[1:] == []
    assert engine.action_registrations == []


@pytest.mark.parametrize("action_id, ports", [
    ("Act", [port("n", "int")]),
    ("Act", [port("name", "string")]),
    ("Act", [port("_hidden", "string")]),
    ("Act", [port("p", "string", "sideways")]),
    ("Act", [{"name": "p", "type": "string", "description": ""}]),
    ("Act", [{"type": "string", "direction": "input"}]),
    ("Act", [dict(port("p"), default="1")]),
    ("Act", [port("p"), port("p", direction="output")]),
    ("", []),
    ("root", []),
    ("SubTree", []),
    ("BehaviorTree", []),
], ids=["type int", "named name", "named _hidden", "direction sideways", "no direction",
        "no name", "unknown key", "declared twice", "empty id", "id root", "id SubTree",
        "id BehaviorTree"])
def test_a_registration_the_core_refuses_is_a_value_error_and_leaves_no_trace(
        log_lines, engine, action_id, ports):
    with pytest.raises(RuntimeError) as core_error:  # the core's own answer, and its text
        BehaviorTreeFactory().register_action_behavior(action_id, succeed, ports)
    engine.register_action_behavior("Fine", succeed, [port("x")])
    log_lines.clear_lines()
    with pytest.raises(ValueError) as raised:
        engine.register_action_behavior(action_id, succeed, ports)
    assert str(raised.value) == str(core_error.value)

    class Refused(SimpleActionNode):
        tick = staticmethod(succeed)

    Refused.ports = ports
    with pytest.raises(ValueError):
        engine.register_action_class(Refused, action_id)
    assert log_lines == []
    assert [r[0] for r in engine.action_registrations] == ["Fine"]
    # Trees made afterwards are not poisoned by the refused registration.
    tree = engine.create_tree_from_text(action_tree("<AlwaysSuccess/>"))
    assert engine.tick_once(tree) is NodeStatus.SUCCESS
