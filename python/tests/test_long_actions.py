"""Actions that run across ticks: generator tick functions, the halts that close them (on the
tree's thread), tick loops that wait between RUNNING ticks for a wake-up or the tick period, and
Ctrl-C in a main thread waiting in a tick loop."""

import json
from typing import Any
import textwrap
import threading

import pytest

from conftest import action_tree, port, run_python, wait_until
from kelmora.core import NodeStatus, WakeUpSignal
from kelmora.engine.sequential_engine import SequentialEngine
from kelmora.engine.trigger.mthread import ThreadEngine
from kelmora.nodes.action_node import SimpleActionNode, StatefulActionNode

RUNNING, SUCCESS, FAILURE = NodeStatus.RUNNING, NodeStatus.SUCCESS, NodeStatus.FAILURE
HOUR = 3600


class Journal(list):
    """What generator actions did, as "<event>@<thread ident>" or plain "<event>"."""

    def threads_of(self, event):
        return [int(e.split("@")[1]) for e in self if e.startswith(event + "@")]


def counting(journal, rounds, last=SUCCESS):
    """A generator tick function: RUNNING for `rounds` ticks, then `last`; notes each step, and
    its finally (with the thread it ran on)."""
    def tick(node):
        try:
            for i in range(rounds):
                journal.append("%s:%d" % (node.name, i))
                yield
            journal.append("%s:end" % node.name)
            return last
        finally:
            journal.append("finally@%d" % threading.get_ident())
    return tick


def forever(journal):
    def tick(node):
        try:
            journal.append("tick@%d" % threading.get_ident())
            while True:
                yield
                journal.append("tick@%d" % threading.get_ident())
        finally:
            journal.append("finally@%d" % threading.get_ident())
    return tick


# --- generators on the sequential engine ------------------------------------------------------

@pytest.mark.parametrize("rounds, last, expected", [
    (0, SUCCESS, [SUCCESS, SUCCESS]),
    (0, FAILURE, [FAILURE]),
    (2, SUCCESS, [RUNNING, RUNNING, SUCCESS, RUNNING]),  # a new run after the end
    (1, FAILURE, [RUNNING, FAILURE]),
])
def test_a_generator_runs_across_ticks_and_ends_with_its_return(rounds, last, expected):
    journal = Journal()
    engine = SequentialEngine()
    engine.register_action_behavior("Gen", counting(journal, rounds, last), [])
    engine.create_tree_from_text(action_tree('<Gen name="g"/>'))
    assert engine.tick_n_times(len(expected)) == expected
    assert journal[:rounds + 1] == ["g:%d" % i for i in range(rounds)] + ["g:end"]


def test_the_node_is_valid_in_every_tick_of_the_run_and_only_then():
    seen = []

    def tick(node):
        seen.append(node.getInputString("in"))
        yield
        seen.append(node.getInputString("in"))
        node.setOutput("out", "done")
        seen.append(node)
        return SUCCESS

    engine = SequentialEngine()
    engine.register_action_behavior("Gen", tick, [port("in", "string"), port("out", "object",
                                                                           "output")])
    engine.create_tree_from_text(action_tree('<Gen in="{x}" out="{y}"/>'))
    engine.set_blackboard_data("x", "a")
    assert engine.tick_once() == RUNNING
    engine.set_blackboard_data("x", "b")
    assert engine.tick_once() == SUCCESS
    assert seen[:2] == ["a", "b"]
    assert engine.get_blackboard_data("y") == "done"
    with pytest.raises(RuntimeError, match="no longer valid"):
        seen[2].getInputString("in")


@pytest.mark.parametrize("halt", ["reset_tree", "halt_tree", "new tree", "pre-emption",
                                  "engine dropped"])
def test_every_halt_closes_the_generator_once(halt):
    journal = Journal()
    flips = []
    engine = SequentialEngine()
    engine.register_action_behavior("Gen", counting(journal, 100), [])
    engine.register_action_behavior(
        "Flip", lambda node: flips.append(1) or (FAILURE if len(flips) > 1 else SUCCESS), [])
    body = ('<ReactiveSequence><Flip/><Gen name="g"/></ReactiveSequence>'
            if halt == "pre-emption" else '<Gen name="g"/>')
    engine.create_tree_from_text(action_tree(body))
    assert engine.tick_once() == RUNNING
    if halt == "reset_tree":
        engine.reset_tree()
    elif halt == "halt_tree":
        engine.halt_tree()
    elif halt == "new tree":
        engine.create_tree_from_text(action_tree("<AlwaysSuccess/>"))
    elif halt == "pre-emption":
        assert engine.tick_once() == FAILURE
    else:
        del engine
    assert len(journal.threads_of("finally")) == 1
    assert "g:end" not in journal


def test_a_generator_of_an_action_class_works_like_a_tick_function():
    journal = Journal()

    class Counter(SimpleActionNode):
        ports = []
        tick = staticmethod(counting(journal, 1))

    engine = ThreadEngine()
    try:
        engine.register_action_class(Counter)
        engine.create_tree_from_text(action_tree('<Counter name="c"/>'), "t")
        assert engine.tick_n_times("t", 2) == [RUNNING, SUCCESS]
    finally:
        engine._native.close()
    assert journal[:2] == ["c:0", "c:end"]


@pytest.mark.parametrize("returned, error", [
    ("RUNNING", "must not return NodeStatus.RUNNING"),
    ("None", "Expected NodeStatus, got NoneType"),
    ("raise", "went wrong"),
])
def test_a_generator_that_ends_badly_fails_its_tick_and_starts_again(returned, error):
    calls = []

    def tick(node):
        calls.append(1)
        yield
        if returned == "raise":
            raise ValueError("went wrong")
        return RUNNING if returned == "RUNNING" else None

    engine = SequentialEngine()
    engine.register_action_behavior("Gen", tick, [])
    engine.create_tree_from_text(action_tree('<Gen/>'))
    assert engine.tick_once() == RUNNING
    with pytest.raises(RuntimeError, match=error):
        engine.tick_once()
    assert engine.tick_once() == RUNNING
    assert len(calls) == 2


def test_a_finally_that_raises_fails_the_halt_with_its_exception():
    def tick(node):
        try:
            yield
        finally:
            raise ValueError("cannot stop")
        return SUCCESS  # type: ignore[unreachable]  # pragma: no cover

    engine = SequentialEngine()
    engine.register_action_behavior("Gen", tick, [])
    engine.create_tree_from_text(action_tree('<Gen/>'))
    assert engine.tick_once() == RUNNING
    with pytest.raises((RuntimeError, ValueError), match="cannot stop"):
        engine.reset_tree()
    assert engine.tick_once() == RUNNING  # the node was halted all the same


# --- waits between RUNNING ticks ---------------------------------------------------------------

def test_tick_period_is_checked_and_kept():
    engine = SequentialEngine()
    assert engine.tick_period == pytest.approx(0.01)
    engine.tick_period = 0.5
    assert engine.tick_period == pytest.approx(0.5)
    engine.set_tick_period(0)
    assert engine.tick_period == 0
    for bad, kind in [("1", TypeError), (True, TypeError), (None, TypeError),
                      (-0.1, ValueError), (float("nan"), ValueError)]:
        with pytest.raises(kind, match="tick period"):
            engine.set_tick_period(bad)  # type: ignore[arg-type]
    assert engine.tick_period == 0
    with pytest.raises(ValueError, match="tick period"):
        ThreadEngine(tick_period=-1)
    with pytest.raises(TypeError, match="tick period"):
        ThreadEngine(tick_period="fast")  # type: ignore[arg-type]


@pytest.mark.parametrize("engine_kind", ["SequentialEngine", "ThreadEngine"])
def test_a_wake_up_from_another_thread_ends_the_wait_under_an_endless_period(engine_kind):
    done = threading.Event()
    helpers = []

    def background(node):
        signal = node.wake_up_signal()
        assert isinstance(signal, WakeUpSignal)

        def work():
            done.set()
            signal.emit()
        helper = threading.Thread(target=work)
        helpers.append(helper)
        helper.start()
        while not done.is_set():
            yield
        return SUCCESS

    engine: Any
    if engine_kind == "SequentialEngine":
        engine = SequentialEngine()
        engine.tick_period = HOUR
        engine.register_action_behavior("Background", background, [])
        engine.create_tree_from_text(action_tree("<Background/>"))
        ticks = engine.tick_until_success()
    else:
        engine = ThreadEngine(tick_period=HOUR)
        engine.register_action_behavior("Background", background, [])
        engine.create_tree_from_text(action_tree("<Background/>"), "t")
        try:
            ticks = engine.tick_until_success("t")
        finally:
            engine._native.close()
    assert ticks in (1, 2)  # done before the first tick ended, or woken once
    helpers[0].join()


def test_the_applications_wake_up_and_the_nodes_own_wake_up():
    ticks = []

    def waiting(node):
        ticks.append(1)
        if len(ticks) == 2:
            node.emitWakeUpSignal()  # the next tick comes at once
        return SUCCESS if len(ticks) == 4 else RUNNING

    engine = ThreadEngine(tick_period=HOUR)
    try:
        engine.register_action_behavior("Wait", waiting, [])
        engine.create_tree_from_text(action_tree("<Wait/>"), "t")
        result = []
        loop = threading.Thread(target=lambda: result.append(engine.tick_until_success("t")))
        loop.start()
        assert wait_until(lambda: len(ticks) == 1)
        engine.emit_wake_up_signal("t")
        assert wait_until(lambda: len(ticks) == 3)
        engine.emit_wake_up_signal("t")
        loop.join(30)
        assert result == [4]
        with pytest.raises(ValueError, match="行为树ID nope 不存在"):
            engine.emit_wake_up_signal("nope")
        engine.set_tick_period("t", 0.001)
        with pytest.raises(ValueError, match="行为树ID nope 不存在"):
            engine.set_tick_period("nope", 0.001)
    finally:
        engine._native.close()


# --- halts on the thread engine ---------------------------------------------------------------

@pytest.mark.parametrize("stop", ["stop_tree", "stop_all_trees", "close"])
def test_a_stop_ends_the_tick_loop_and_closes_the_generator_on_the_worker(stop, log_lines):
    journal = Journal()
    engine = ThreadEngine(tick_period=HOUR)
    engine.register_action_behavior("Gen", forever(journal), [])
    engine.create_tree_from_text(action_tree("<Gen/>"), "t")
    errors = []

    def loop():
        try:
            engine.tick_until_success("t")
        except RuntimeError as e:
            errors.append(str(e))
    caller = threading.Thread(target=loop)
    caller.start()
    assert wait_until(lambda: journal.threads_of("tick"))
    if stop == "stop_tree":
        engine.stop_tree("t")
    elif stop == "stop_all_trees":
        engine.stop_all_trees()
    else:
        engine._native.close()
    assert journal.threads_of("finally") == journal.threads_of("tick")[:1]  # on the worker
    caller.join(30)
    assert errors == ["行为树 t 执行命令 tick_until_success 失败: 处理命令 tick_until_success "
                      "时发生错误: tree was stopped while ticking"]
    assert len(journal.threads_of("tick")) == 1  # waited between ticks: no busy loop


# --- Ctrl-C and interpreter exit, in fresh interpreters ----------------------------------------

CTRL_C_SCRIPT = textwrap.dedent("""
    import json, os, signal, threading
    from kelmora.core import NodeStatus
    from kelmora.engine.sequential_engine import SequentialEngine
    from kelmora.engine.trigger.mthread import ThreadEngine
    ENGINE, LOOP = __CASE__
    TREE = ('<root BTCPP_format="4"><BehaviorTree ID="T"><Gen/></BehaviorTree></root>')
    journal = []

    def gen(node):
        try:
            journal.append("tick")
            if len(journal) == 1:
                threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGINT)).start()
            while True:
                yield
        finally:
            journal.append("finally")

    if ENGINE == "ThreadEngine":
        engine = ThreadEngine(tick_period=3600)
        engine.register_action_behavior("Gen", gen, [])
        engine.create_tree_from_text(TREE, "t")
        loop = (lambda: engine.tick_until_success("t")) if LOOP == "until" else (
            lambda: engine.tick_n_times("t", 10**12))
        tick = lambda: engine.tick_once("t")
    else:
        engine = SequentialEngine()
        engine.tick_period = 3600
        engine.register_action_behavior("Gen", gen, [])
        engine.create_tree_from_text(TREE)
        loop = engine.tick_until_success if LOOP == "until" else (
            lambda: engine.tick_n_times(10**12))
        tick = engine.tick_once
    outcome = []
    try:
        loop()
        outcome.append("returned")
    except KeyboardInterrupt:
        outcome.append("KeyboardInterrupt")
    outcome.append(list(journal))
    outcome.append(str(tick()))
    print(json.dumps(outcome))
""")


@pytest.mark.parametrize("engine_kind", ["ThreadEngine", "SequentialEngine"])
@pytest.mark.parametrize("loop", ["until", "n times"])
def test_ctrl_c_in_the_main_thread_ends_the_tick_loop_with_the_tree_halted(engine_kind, loop):
    result = run_python(CTRL_C_SCRIPT.replace("__CASE__", repr((engine_kind, loop))))
    assert result.returncode == 0, result.stderr
    outcome = json.loads(result.stdout)
    assert outcome[0] == "KeyboardInterrupt"
    assert outcome[1][0] == "tick" and outcome[1][-1] == "finally"
    assert outcome[1].count("finally") == 1
    assert outcome[2] == "NodeStatus.RUNNING"  # usable: the next tick starts a new run


EXIT_SCRIPT = textwrap.dedent("""
    import sys, threading
    from kelmora.core import NodeStatus
    from kelmora.engine.trigger.mthread import ThreadEngine
    TREE = ('<root BTCPP_format="4"><BehaviorTree ID="T"><Gen/></BehaviorTree></root>')
    started = threading.Event()

    def gen(node):
        try:
            started.set()
            while True:
                yield
        finally:
            sys.stdout.write("finally %s\\n" % node.name)
            sys.stdout.flush()

    engine = ThreadEngine(tick_period=3600)
    engine.register_action_behavior("Gen", gen, [])
    engine.create_tree_from_text(TREE, "idle")
    engine.create_tree_from_text(TREE, "looping")
    engine.tick_once("idle")

    def loop():
        try:
            engine.tick_until_success("looping")
        except RuntimeError:
            pass
    threading.Thread(target=loop, daemon=True).start()
    started.wait()
    print("exiting", flush=True)
""")


def test_interpreter_exit_halts_running_actions_of_idle_and_looping_trees():
    result = run_python(EXIT_SCRIPT)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "exiting"
    assert sorted(lines[1:]) == ["finally Gen", "finally Gen"]


@pytest.mark.parametrize("stop", ["stop_tree", "close"])
def test_a_stop_runs_a_stateful_actions_on_halted_once_on_the_worker(stop, log_lines):
    journal = Journal()

    class Forever(StatefulActionNode):
        def onStart(self):
            journal.append("start@%d" % threading.get_ident())
            self.signal = self.wake_up_signal()
            return RUNNING

        def onRunning(self):
            return RUNNING

        def onHalted(self):
            journal.append("halted@%d" % threading.get_ident())

    engine = ThreadEngine(tick_period=HOUR)
    engine.register_node_class(Forever)
    engine.create_tree_from_text(action_tree("<Forever/>"), "t")
    caller = threading.Thread(target=lambda: pytest.raises(RuntimeError,
                                                           engine.tick_until_success, "t"))
    caller.start()
    assert wait_until(lambda: journal.threads_of("start"))
    if stop == "stop_tree":
        engine.stop_tree("t")
    else:
        engine._native.close()
    assert journal.threads_of("halted") == journal.threads_of("start")
    caller.join(30)
