"""Node classes written in Python (register_node_class) and conditions from functions
(register_condition_behavior), on the ThreadEngine, the SequentialEngine and the factory: the
kinds, the instance API, one instance per element, the halting contract (children halted when a
control completes, onHalted exactly once on every halt path), errors naming the node with the
Python exception as __cause__, and the checks on registration."""

import gc
import re
import threading
import weakref

import pytest

from conftest import port
from kelmora.core import BehaviorTreeFactory, NodeStatus
from kelmora.engine.sequential_engine import SequentialEngine
from kelmora.nodes.action_node import SimpleActionNode, StatefulActionNode
from kelmora.nodes.condition_node import ConditionNode
from kelmora.nodes.control_node import ControlNode
from kelmora.nodes.decorator_node import DecoratorNode

S, F, R, K = NodeStatus.SUCCESS, NodeStatus.FAILURE, NodeStatus.RUNNING, NodeStatus.SKIPPED

KIND_TEXT = ("必须继承自ControlNode、DecoratorNode、ConditionNode、SimpleActionNode或"
             "StatefulActionNode")

# What the nodes did, in order ("start a", "halted a"); appended on whichever thread ticks.
events = []


def take_events():
    taken = list(events)
    del events[:]
    return taken


def tree_xml(body):
    return '<root BTCPP_format="4"><BehaviorTree ID="T">%s</BehaviorTree></root>' % body


def optional_input(node, name, default):
    """The input port's text, or `default` when the element does not bind it."""
    try:
        return node.getInputString(name)
    except RuntimeError:
        return default


class Stateful(StatefulActionNode):
    ports = [port("on_start", "string"), port("on_running", "string"),
             port("halt_raises", "string")]

    def onStart(self):
        events.append("start " + self.name)
        return NodeStatus.__members__[optional_input(self, "on_start", "RUNNING")]

    def onRunning(self):
        events.append("running " + self.name)
        return NodeStatus.__members__[optional_input(self, "on_running", "RUNNING")]

    def onHalted(self):
        events.append("halted " + self.name)
        if optional_input(self, "halt_raises", "") == "true":
            raise LookupError("cannot cancel")


class Reverse(ControlNode):
    """A sequence running its children from the last to the first, resuming at a RUNNING one."""

    def __init__(self):
        self.next = None

    def tick(self):
        children = self.children
        if self.next is None:
            self.next = len(children)
        while self.next > 0:
            result = children[self.next - 1].executeTick()
            if result is not NodeStatus.SUCCESS:
                if result is not NodeStatus.RUNNING:
                    self.next = None
                return result
            self.next -= 1
        self.next = None
        return NodeStatus.SUCCESS

    def halt(self):
        events.append("halt " + self.name)
        self.next = None
        super().halt()


class FirstDone(ControlNode):
    """Ticks every child each tick; returns the first completed child's status and leaves the
    running ones to the engine."""

    def tick(self):
        done = None
        for child in self.children:
            result = child.executeTick()
            if result is not NodeStatus.RUNNING and done is None:
                done = result
        return done or NodeStatus.RUNNING


class Twice(DecoratorNode):
    def tick(self):
        self.child.executeTick()
        return self.child.executeTick()


class IsTrue(ConditionNode):
    ports = [port("value", "string")]

    def tick(self):
        value = self.getInputString("value")
        return {"true": S, "false": F}.get(value) or NodeStatus.__members__[value]


class Echo(SimpleActionNode):
    ports = [port("result", "string"), port("out", "object", "output")]

    def tick(self):
        events.append("tick " + self.name)
        try:
            self.setOutput("out", self)
        except RuntimeError:
            pass
        return NodeStatus.__members__[optional_input(self, "result", "SUCCESS")]


class Counter(SimpleActionNode):
    """Keeps its tick count on the instance; notes where and as whom it was made."""
    made = []

    def __init__(self):
        self.count = 0
        Counter.made.append((self.name, threading.get_ident(), weakref.ref(self)))

    def tick(self):
        self.count += 1
        events.append("%s %d" % (self.name, self.count))
        return NodeStatus.SUCCESS


class StaticTick(SimpleActionNode):
    """The register_action_class form: a static tick taking the node."""

    @staticmethod
    def tick(node):
        events.append(type(node).__name__)
        return NodeStatus.SUCCESS


class RaisingControl(ControlNode):
    def tick(self):
        raise ValueError("bad plan", 7)


class RaisingInit(SimpleActionNode):
    def __init__(self):
        raise KeyError("no config")

    def tick(self):
        return NodeStatus.SUCCESS


class NotANode:
    def tick(self):
        return NodeStatus.SUCCESS


class Both(ConditionNode, SimpleActionNode):
    def tick(self):
        return NodeStatus.SUCCESS


class NoTick(ControlNode):
    pass


class NoOnRunning(StatefulActionNode):
    def onStart(self):
        return NodeStatus.SUCCESS


class PortsNotAList(SimpleActionNode):
    ports = (port("x"),)

    def tick(self):
        return NodeStatus.SUCCESS


SAMPLES = [Stateful, Reverse, FirstDone, Twice, IsTrue, Echo, Counter, StaticTick, RaisingControl]


def raise_boom(node):
    raise OSError("boom")


# --- three registries, one interface for the tests ------------------------------------------------

class ThreadRunner:
    def __init__(self, engine):
        self.engine = engine
        self.tree = None

    def register(self, cls, node_id=None):
        self.engine.register_node_class(cls, node_id)

    def register_condition(self, condition_id, tick):
        self.engine.register_condition_behavior(condition_id, tick, [])

    def register_action(self, action_id, tick):
        self.engine.register_action_behavior(action_id, tick, [])

    def build(self, body):
        self.tree = self.engine.create_tree_from_text(tree_xml(body))

    def tick(self):
        return self.engine.tick_once(self.tree)

    def reset(self):
        self.engine.reset_tree(self.tree)

    def drop(self):
        if self.tree is not None:
            self.engine.stop_tree(self.tree)
            self.tree = None


class SequentialRunner:
    def __init__(self):
        self.engine = SequentialEngine()

    def register(self, cls, node_id=None):
        self.engine.register_node_class(cls, node_id)

    def register_condition(self, condition_id, tick):
        self.engine.register_condition_behavior(condition_id, tick, [])

    def register_action(self, action_id, tick):
        self.engine.register_action_behavior(action_id, tick, [])

    def build(self, body):
        self.engine.create_tree_from_text(tree_xml(body))

    def tick(self):
        return self.engine.tick_once()

    def reset(self):
        self.engine.reset_tree()

    def drop(self):
        self.engine = None


class FactoryRunner:
    def __init__(self):
        self.factory = BehaviorTreeFactory()
        self.tree = None

    def register(self, cls, node_id=None):
        self.factory.register_node_class(cls, node_id)

    def register_condition(self, condition_id, tick):
        self.factory.register_condition_behavior(condition_id, tick, [])

    def register_action(self, action_id, tick):
        self.factory.register_action_behavior(action_id, tick, [])

    def build(self, body):
        self.tree = self.factory.create_tree_from_text(tree_xml(body))

    def tick(self):
        return self.tree.tickOnce()

    def reset(self):
        self.tree.haltTree()

    def drop(self):
        self.tree = None


@pytest.fixture(params=["thread", "sequential", "factory"])
def runner(request, engine):
    del events[:]
    del Counter.made[:]
    if request.param == "thread":
        made = ThreadRunner(engine)
    elif request.param == "sequential":
        made = SequentialRunner()
    else:
        made = FactoryRunner()
    made.kind = request.param
    yield made
    made.drop()


def with_samples(runner):
    for cls in SAMPLES:
        runner.register(cls)
    runner.register_action("Boom", raise_boom)
    return runner


# --- kinds, ids, instances ------------------------------------------------------------------------

@pytest.mark.parametrize("register, body, ticks, expected", [
    (lambda r: r.register(Stateful), '<Stateful name="s" on_running="SUCCESS"/>', [R, S],
     ["start s", "running s"]),
    (lambda r: r.register(Stateful, "Move"), '<Move name="s" on_start="FAILURE"/>', [F],
     ["start s"]),
    (lambda r: (r.register(Reverse), r.register(Echo)),
     '<Reverse><Echo name="a"/><Echo name="b"/><Echo name="c"/></Reverse>', [S],
     ["tick c", "tick b", "tick a"]),
    (lambda r: (r.register(Reverse, "Backwards"), r.register(Echo, "Say")),
     '<Control ID="Backwards"><Action ID="Say" name="a"/><Say name="b"/></Control>', [S],
     ["tick b", "tick a"]),
    (lambda r: (r.register(Twice), r.register(Echo)),
     '<Twice><Echo name="a" result="FAILURE"/></Twice>', [F], ["tick a", "tick a"]),
    (lambda r: r.register(IsTrue, "Check"), '<Condition ID="Check" value="false"/>', [F], []),
    (lambda r: r.register_condition("Ready", lambda n: events.append(n.name) or S),
     "<Ready/>", [S], ["Ready"]),
    (lambda r: r.register(StaticTick), "<StaticTick/>", [S], ["StaticTick"]),
], ids=["stateful", "stateful id", "control", "control id explicit form", "decorator",
        "condition id", "condition function", "static tick gets the instance"])
def test_each_kind_registers_under_its_own_name_or_the_given_id(runner, register, body, ticks,
                                                                 expected):
    register(runner)
    runner.build(body)
    assert [runner.tick() for _ in ticks] == ticks
    assert take_events() == expected


def test_python_and_cpp_nodes_mix_at_every_level(runner):
    with_samples(runner)
    runner.build('<Sequence>'
                 '<Reverse><Inverter><AlwaysFailure/></Inverter><Echo name="a"/>'
                 '<Twice><Sequence><Echo name="b"/><AlwaysSuccess/></Sequence></Twice></Reverse>'
                 '<Fallback><IsTrue value="false"/><Stateful name="s" on_running="SUCCESS"/>'
                 '</Fallback></Sequence>')
    assert runner.tick() is R
    assert runner.tick() is S
    assert take_events() == ["tick b", "tick b", "tick a", "start s", "running s"]


def test_one_instance_per_element_keeps_its_state_across_ticks(runner):
    runner.register(Counter)
    runner.build('<Sequence><Counter name="x"/><Counter name="y"/></Sequence>')
    for _ in range(3):
        assert runner.tick() is S
    assert take_events() == ["x 1", "y 1", "x 2", "y 2", "x 3", "y 3"]
    names = [made[0] for made in Counter.made]
    assert names == ["x", "y"]  # self.name works in __init__
    instances = [made[2]() for made in Counter.made]
    assert instances[0] is not instances[1]
    if runner.kind == "thread":  # made on the tree's worker
        assert all(made[1] != threading.get_ident() for made in Counter.made)
    else:
        assert all(made[1] == threading.get_ident() for made in Counter.made)
    del instances


def test_instances_are_released_with_their_tree_without_a_collection(runner):
    runner.register(Counter)
    runner.build('<Counter name="x"/>')
    assert runner.tick() is S
    ref = Counter.made[0][2]
    gc.disable()
    try:
        runner.drop()
        assert ref() is None  # no reference cycle keeps it
    finally:
        gc.enable()


def test_a_tree_with_a_node_class_builds_again_with_fresh_instances(runner):
    runner.register(Counter)
    runner.build('<Counter name="x"/>')
    runner.tick()
    runner.build('<Counter name="x"/>')
    runner.tick()
    assert take_events() == ["x 1", "x 1"]


# --- the halting contract ---------------------------------------------------------------------

@pytest.mark.parametrize("body, steps, expected", [
    ('<Parallel success_count="1"><Stateful name="a"/><AlwaysSuccess/></Parallel>',
     [S, S], ["start a", "halted a", "start a", "halted a"]),
    ('<ReactiveSequence><IsTrue value="{go}"/><Stateful name="a"/></ReactiveSequence>',
     ["go=true", R, "go=false", F], ["start a", "halted a"]),
    ('<Sequence><Stateful name="a"/></Sequence>', [R, "reset", "reset"], ["start a", "halted a"]),
    ('<Parallel><Stateful name="a"/><Boom/></Parallel>', ["raises"], ["start a", "halted a"]),
    ('<Stateful name="a"/>', [R, "drop"], ["start a", "halted a"]),
    ('<FirstDone><Stateful name="a"/><Echo name="e"/></FirstDone>', [S],
     ["start a", "tick e", "halted a"]),
    ('<Stateful name="a" on_running="NOPE"/>', [R, "raises", "drop"],
     ["start a", "running a", "halted a"]),
    ('<Stateful name="a" on_start="NOPE"/>', ["raises", "drop"], ["start a"]),
    ('<Stateful name="a"/>', ["reset", "drop"], []),
    ('<Stateful name="a" on_running="SUCCESS"/>', [R, S, R, S, "reset", "drop"],
     ["start a", "running a", "start a", "running a"]),
], ids=["parent completes", "parent halts", "reset once", "tick raised elsewhere", "tree dropped",
        "control completes", "onRunning raised", "onStart raised", "never while idle",
        "never once completed"])
def test_on_halted_runs_exactly_once_on_every_halt_path(runner, body, steps, expected):
    with_samples(runner)
    runner.build(body)
    for step in steps:
        if step == "reset":
            runner.reset()
        elif step == "drop":
            runner.drop()
        elif step == "raises":
            with pytest.raises(RuntimeError):
                runner.tick()
        elif isinstance(step, str):
            key, value = step.split("=")
            set_entry(runner, key, value)
        else:
            assert runner.tick() is step
    runner.drop()
    gc.collect()
    assert take_events() == expected


def set_entry(runner, key, value):
    if runner.kind == "thread":
        runner.engine.set_blackboard_data(runner.tree, key, value)
    elif runner.kind == "sequential":
        runner.engine.set_blackboard_data(key, value)
    else:
        pytest.skip("a factory tree has no blackboard access from Python")


def test_stopping_and_closing_the_engine_halt_running_trees_on_their_workers(engine):
    halted_on = []

    class Waiting(StatefulActionNode):
        def onStart(self):
            return NodeStatus.RUNNING

        def onRunning(self):
            return NodeStatus.RUNNING

        def onHalted(self):
            halted_on.append((self.name, threading.get_ident()))

    engine.register_node_class(Waiting)
    trees = [engine.create_tree_from_text(tree_xml('<Waiting name="%s"/>' % name))
             for name in ("first", "second", "third")]
    assert all(engine.tick_once(tree) is R for tree in trees)
    engine.stop_tree(trees[0])
    assert [name for name, _ in halted_on] == ["first"]
    engine.stop_all_trees()
    assert sorted(name for name, _ in halted_on) == ["first", "second", "third"]
    fourth = engine.create_tree_from_text(tree_xml('<Waiting name="fourth"/>'))
    assert engine.tick_once(fourth) is R
    engine._native.close()
    assert sorted(name for name, _ in halted_on) == ["first", "fourth", "second", "third"]
    assert all(ident != threading.get_ident() for _, ident in halted_on)


def test_a_completed_control_leaves_every_child_idle(engine):
    with_samples(ThreadRunner(engine))
    tree = engine.create_tree_from_text(tree_xml(
        '<FirstDone><Echo name="a" result="FAILURE"/><Stateful name="s"/></FirstDone>'))
    assert engine.tick_once(tree) is F
    nodes = engine.get_tree_status(tree)["nodes"]
    assert [(n["name"], n["status"]) for n in nodes] == [
        ("FirstDone", "FAILURE"), ("a", "IDLE"), ("s", "IDLE")]


# --- errors ---------------------------------------------------------------------------------------

def test_an_exception_in_a_tick_names_the_node_and_is_the_cause(runner):
    with_samples(runner)
    runner.build('<RaisingControl name="plan"><Stateful name="a"/></RaisingControl>')
    with pytest.raises(RuntimeError) as failed:
        runner.tick()
    assert "node 'plan' (RaisingControl): ('bad plan', 7)" in str(failed.value)
    assert isinstance(failed.value.__cause__, ValueError)
    assert failed.value.__cause__.args == ("bad plan", 7)


def test_a_childs_failure_passes_through_a_python_control_unchanged(runner):
    with_samples(runner)
    runner.build('<Reverse name="r"><Boom name="x"/><Stateful name="a" on_start="SUCCESS"/>'
                 '</Reverse>')
    with pytest.raises(RuntimeError) as failed:
        runner.tick()
    assert "node 'x' (Boom): boom" in str(failed.value)
    assert "node 'r'" not in str(failed.value)
    assert isinstance(failed.value.__cause__, OSError)
    assert take_events() == ["start a", "halt r"]


def test_a_port_error_in_a_node_class_names_the_node_once(runner):
    with_samples(runner)
    runner.build('<IsTrue name="c"/>')
    with pytest.raises(RuntimeError) as failed:
        runner.tick()
    assert "node 'c' (IsTrue): port 'value' is not bound in the XML" in str(failed.value)
    assert str(failed.value).count("node 'c'") == 1


def test_an_exception_in_on_halted_fails_the_reset_and_the_other_nodes_are_halted(runner):
    with_samples(runner)
    runner.build('<Parallel><Stateful name="a" halt_raises="true"/><Stateful name="b"/>'
                 '</Parallel>')
    assert runner.tick() is R
    with pytest.raises(RuntimeError) as failed:
        runner.reset()
    assert "node 'a' (Stateful): cannot cancel" in str(failed.value)
    assert isinstance(failed.value.__cause__, LookupError)
    assert take_events() == ["start a", "start b", "halted a", "halted b"]


@pytest.mark.parametrize("body, message", [
    ('<IsTrue name="c" value="RUNNING"/>', "node 'c' (IsTrue): a condition must not return RUNNING"),
    ('<Pending name="p"/>', "node 'p' (Pending): a condition must not return RUNNING"),
    ('<IsTrue name="c" value="IDLE"/>', "node 'c' (IsTrue): a tick must not return IDLE"),
    ('<Echo name="e" result="IDLE"/>', "node 'e' (Echo): a tick must not return IDLE"),
])
def test_a_condition_returning_running_and_any_idle_fail_naming_the_node(runner, body, message):
    with_samples(runner)
    runner.register_condition("Pending", lambda node: NodeStatus.RUNNING)
    runner.build(body)
    with pytest.raises(RuntimeError, match=re.escape(message)):
        runner.tick()


@pytest.mark.parametrize("body, message", [
    ('<Twice name="t"/>', "node 't' (Twice): needs exactly 1 child (Decorator node), has 0"),
    ('<Twice name="t"><Echo/><Echo/></Twice>',
     "node 't' (Twice): needs exactly 1 child (Decorator node), has 2"),
    ('<Reverse name="r"/>', "node 'r' (Reverse): needs at least 1 child (Control node), has 0"),
    ('<Echo name="e"><Echo/></Echo>', "node 'e' (Echo): needs no children (Action node), has 1"),
])
def test_structure_is_checked_when_the_tree_is_built(runner, body, message):
    with_samples(runner)
    with pytest.raises(RuntimeError) as failed:
        runner.build(body)
        runner.tick()  # a ThreadEngine tree reports its build error at the first command
    assert "<xml text>:1: " + message in str(failed.value)


def test_an_exception_in_the_constructor_fails_the_build_with_it_as_cause(runner):
    runner.register(RaisingInit)
    with pytest.raises(RuntimeError) as failed:
        runner.build('<RaisingInit name="r"/>')
        runner.tick()
    assert "node 'r' (RaisingInit): 'no config'" in str(failed.value)
    assert isinstance(failed.value.__cause__, KeyError)


def test_node_operations_outside_the_nodes_own_methods_are_refused(engine):
    kept = []

    class Keeper(ControlNode):
        def tick(self):
            kept.append(self)
            kept.append(self.children[0])
            return self.children[0].executeTick()

    engine.register_node_class(Keeper)
    tree = engine.create_tree_from_text(tree_xml('<Keeper name="k"><AlwaysSuccess/></Keeper>'))
    assert engine.tick_once(tree) is S
    node, child = kept
    assert node.name == "k" and child.name == "AlwaysSuccess"  # names stay readable
    for use in (lambda: node.status, lambda: node.children, lambda: child.executeTick(),
                lambda: child.halt(), lambda: child.status, lambda: node.haltChildren()):
        with pytest.raises(RuntimeError, match="only during its own tick or halt"):
            use()
    engine.stop_tree(tree)
    for use in (lambda: node.name, lambda: child.name, lambda: child.executeTick()):
        with pytest.raises(RuntimeError, match="not part of a tree"):
            use()
    outside = Keeper()  # made outside a tree
    with pytest.raises(RuntimeError, match="not part of a tree"):
        outside.name


# --- registration ---------------------------------------------------------------------------------

@pytest.mark.parametrize("cls, node_id, error, message, logged", [
    (NotANode, None, TypeError, "节点类 NotANode " + KIND_TEXT,
     ["ERROR|节点类 NotANode " + KIND_TEXT]),
    (Both, "Given", TypeError, "节点类 Both " + KIND_TEXT, ["ERROR|节点类 Both " + KIND_TEXT]),
    (NoTick, None, AttributeError, "tick", []),
    (NoOnRunning, None, AttributeError, "onRunning", []),
    (PortsNotAList, None, TypeError, "ports of node class PortsNotAList must be list, not tuple",
     []),
    (Echo, 7, TypeError, "node_id must be str or None, not int", []),
    (NotANode, 7, TypeError, "node_id must be str or None, not int", []),
    (Echo(), None, TypeError, "issubclass", []),
    ("Echo", None, TypeError, "issubclass", []),
], ids=["no kind", "two kinds", "no tick", "no onRunning", "ports not a list", "bad node_id",
        "bad node_id first", "an instance", "a string"])
def test_refused_registrations_log_and_store_nothing(runner, log_lines, cls, node_id, error,
                                                     message, logged):
    log_lines.clear_lines()
    with pytest.raises(error) as raised:
        runner.register(cls, node_id)
    assert message in str(raised.value)
    if error is TypeError and message.startswith("节点类"):
        assert str(raised.value) == message
    assert log_lines == logged


@pytest.mark.parametrize("node_id, ports", [
    ("", []), ("SubTree", []), (None, [port("n", "int")]),
])
def test_ids_and_ports_the_core_refuses(engine, log_lines, node_id, ports):
    class Refused(SimpleActionNode):
        def tick(self):
            return NodeStatus.SUCCESS

    Refused.ports = ports
    log_lines.clear_lines()
    with pytest.raises(ValueError):
        engine.register_node_class(Refused, node_id)
    with pytest.raises(ValueError):
        engine.register_condition_behavior("C" if node_id is None else node_id, lambda n: S, ports)
    with pytest.raises(RuntimeError):
        SequentialEngine().register_node_class(Refused, node_id)
    assert log_lines == []


def test_thread_engine_logs_every_kind_and_lists_only_actions(engine, log_lines):
    log_lines.clear_lines()
    engine.register_node_class(Echo)
    engine.register_condition_behavior("Ready", lambda n: S, [])
    engine.register_action_behavior("Act", lambda n: S, [])
    engine.register_node_class(Stateful, "Move")
    assert log_lines == ["INFO|注册动作节点: Echo", "INFO|注册动作节点: Ready",
                         "INFO|注册动作节点: Act", "INFO|注册动作节点: Move"]
    assert [r[0] for r in engine.action_registrations] == ["Act"]


@pytest.mark.parametrize("order, expected", [
    (["class", "action"], (F, ["action x"])),
    (["action", "class"], (S, ["tick x"])),
    (["condition", "class"], (S, ["tick x"])),
    (["class", "condition"], (F, ["action x"])),
])
def test_thread_engine_replays_registrations_in_order_the_later_wins(engine, order, expected):
    del events[:]

    def action(node):
        events.append("action " + node.name)
        return NodeStatus.FAILURE

    for kind in order:
        if kind == "class":
            engine.register_node_class(Echo, "X")
        elif kind == "action":
            engine.register_action_behavior("X", action, [])
        else:
            engine.register_condition_behavior("X", action, [])
    tree = engine.create_tree_from_text(tree_xml('<X name="x"/>'))
    assert (engine.tick_once(tree), take_events()) == expected


def test_static_tick_class_still_works_with_register_action_class(engine):
    del events[:]
    engine.register_action_class(StaticTick)
    engine.register_node_class(StaticTick, "ByClass")
    tree = engine.create_tree_from_text(tree_xml('<Sequence><StaticTick/><ByClass/></Sequence>'))
    assert engine.tick_once(tree) is S
    assert take_events() == ["TreeNode", "StaticTick"]
