"""KeyboardInterrupt and Ctrl-C: a KeyboardInterrupt raised by a tick function fails that command
like any exception unless it happened on the main thread; a Ctrl-C that reaches the main thread
while it waits in a command is raised there once the command has returned, and loses no log line.

Each case runs in a fresh interpreter: a stray KeyboardInterrupt would otherwise end the test
session itself.
"""

import json
import textwrap

import pytest

from conftest import run_python

PRELUDE = textwrap.dedent("""
    import json, os, signal, threading
    from loguru import logger
    logger.remove()  # only the list below: anything kelmora writes to stderr is a lost line
    lines = []
    logger.add(lambda m: lines.append(str(m).rstrip("\\n")), format="{level}|{message}")
    from kelmora.core import NodeStatus
    from kelmora.engine.sequential_engine import SequentialEngine
    from kelmora.engine.trigger.mthread import ThreadEngine

    TREE = ('<root BTCPP_format="4"><BehaviorTree ID="T"><Sequence><Act/><AlwaysSuccess/>'
            '</Sequence></BehaviorTree></root>')

    def interrupt_pending_soon():
        # True when a pending Ctrl-C is raised while a loop runs. A pending signal is handled at
        # the first backward jump of the loop; by the time a command has returned, a Ctrl-C sent
        # during it is pending (its C handler ran on the main thread's way out of its wait).
        try:
            for _ in range(100000):
                pass
        except KeyboardInterrupt:
            return True
        return False
""")

RAISING_TICK_SCRIPT = PRELUDE + textwrap.dedent("""
    ENGINE, CALLER, MESSAGE = __CASE__
    calls = []

    def act(node):
        calls.append(1)
        if len(calls) == 1:
            raise KeyboardInterrupt(*MESSAGE)
        return NodeStatus.SUCCESS

    if ENGINE == "ThreadEngine":
        engine = ThreadEngine()
        engine.register_action_behavior("Act", act, [])
        tree = engine.create_tree_from_text(TREE, "t")
        tick = lambda: engine.tick_once(tree)
    else:
        engine = SequentialEngine()
        engine.register_action_behavior("Act", act, [])
        engine.create_tree_from_text(TREE)
        tick = engine.tick_once
    del lines[:]
    outcome = []

    def call():
        try:
            tick()
            outcome.append("returned")
        except RuntimeError as e:
            outcome.append("RuntimeError: " + str(e))
        except KeyboardInterrupt:
            outcome.append("KeyboardInterrupt")

    try:
        if CALLER == "main thread":
            call()
        else:
            caller = threading.Thread(target=call)
            caller.start()
            caller.join()
        outcome.append("main thread interrupted: %s" % interrupt_pending_soon())
    except KeyboardInterrupt:
        outcome.append("main thread interrupted: True")
    outcome.append("next tick: %s" % tick())
    print(json.dumps({"outcome": outcome, "lines": lines}))
""")

def script(template, case):
    """`template` with the case's parameters in place of __CASE__."""
    return template.replace("__CASE__", repr(case))


THREAD_FAILURE = ("行为树 t 执行命令 tick_once 失败: 处理命令 tick_once 时发生错误: "
                  "node 'Act' (Act): {}")


@pytest.mark.parametrize("engine_kind, caller", [
    ("ThreadEngine", "main thread"), ("ThreadEngine", "another thread"),
    ("SequentialEngine", "another thread"),
])
@pytest.mark.parametrize("message, text", [
    (("stop, please",), "stop, please"), ((), "KeyboardInterrupt"),
], ids=["with text", "bare"])
def test_keyboard_interrupt_raised_by_a_tick_off_the_main_thread_fails_the_command(
        engine_kind, caller, message, text):
    result = run_python(script(RAISING_TICK_SCRIPT, (engine_kind, caller, message)))
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    report = json.loads(result.stdout)
    if engine_kind == "ThreadEngine":
        failure = THREAD_FAILURE.format(text)
        assert report["lines"] == ["ERROR|" + failure.split(" 失败: ", 1)[1], "ERROR|" + failure]
    else:
        failure = "node 'Act' (Act): " + text
        assert report["lines"] == []
    assert report["outcome"] == ["RuntimeError: " + failure, "main thread interrupted: False",
                                 "next tick: NodeStatus.SUCCESS"]


def test_keyboard_interrupt_in_a_tick_run_on_the_main_thread_stays_a_keyboard_interrupt():
    case = ("SequentialEngine", "main thread", ("Ctrl-C",))
    result = run_python(script(RAISING_TICK_SCRIPT, case))
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    assert report["outcome"][-2:] == ["main thread interrupted: True",
                                      "next tick: NodeStatus.SUCCESS"]


CTRL_C_SCRIPT = PRELUDE + textwrap.dedent("""
    SENDER, FAILS = __CASE__
    main_thread = threading.main_thread().ident
    steps = []
    armed = []

    def act(node):
        if armed and not steps:
            if SENDER == "os.kill":
                os.kill(os.getpid(), signal.SIGINT)
            else:
                signal.pthread_kill(main_thread, signal.SIGINT)
            steps.append("the tick went on after Ctrl-C")
            if FAILS:
                raise ValueError("failed after Ctrl-C")
        return NodeStatus.SUCCESS

    engine = ThreadEngine()
    engine.register_action_behavior("Act", act, [])
    tree = engine.create_tree_from_text(TREE, "t")
    engine.tick_once(tree)  # the worker is up and has ticked once
    armed.append(True)  # the next tick sends Ctrl-C
    del lines[:]
    outcome = []
    try:
        try:
            engine.tick_once(tree)
        except RuntimeError as e:
            outcome.append("RuntimeError: " + str(e))
        interrupted = interrupt_pending_soon()
    except KeyboardInterrupt:
        interrupted = True
    outcome.append("interrupted: %s" % interrupted)
    outcome.extend(steps)
    outcome.append("next tick: %s" % engine.tick_once(tree))
    print(json.dumps({"outcome": outcome, "lines": lines}))
""")


@pytest.mark.parametrize("sender", ["os.kill", "signal.pthread_kill"])
@pytest.mark.parametrize("fails", [False, True], ids=["tick succeeds", "tick fails"])
def test_ctrl_c_while_the_main_thread_waits_is_raised_after_the_command_and_loses_no_line(
        sender, fails):
    result = run_python(script(CTRL_C_SCRIPT, (sender, fails)))
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    report = json.loads(result.stdout)
    expected = ["interrupted: True", "the tick went on after Ctrl-C",
                "next tick: NodeStatus.SUCCESS"]
    if fails:
        failure = THREAD_FAILURE.format("failed after Ctrl-C")
        assert report["lines"] == ["ERROR|" + failure.split(" 失败: ", 1)[1], "ERROR|" + failure]
        # The RuntimeError may or may not be caught before the KeyboardInterrupt is raised.
        report["outcome"] = [o for o in report["outcome"] if o != "RuntimeError: " + failure]
    else:
        assert report["lines"] == []
    assert report["outcome"] == expected
