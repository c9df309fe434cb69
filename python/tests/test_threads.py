"""Threads and the GIL: callers in several Python threads, tick functions calling other trees,
C++ trees ticking while Python holds the GIL, dropping the engine, shutdown and Ctrl-C."""

import ctypes
import socket
import textwrap
import threading

import pytest

from conftest import CPP_TREE, action_tree, port, run_python, wait_until
from kelmora import _native
from kelmora.core import NodeStatus

COPY_PORTS = [port("in"), port("out", direction="output")]


def copy(node):
    node.setOutput("out", (node.getInputObject("in"), threading.get_ident()))
    return NodeStatus.SUCCESS


def test_two_python_trees_driven_from_two_python_threads(engine):
    engine.register_action_behavior("Copy", copy, COPY_PORTS)
    trees = [engine.create_tree_from_text(action_tree('<Copy in="{in}" out="{out}"/>'))
             for _ in range(2)]
    failures = []
    workers = {}

    def drive(tree):
        for i in range(300):
            value = (tree, i)
            engine.set_blackboard_data(tree, "in", value)
            if engine.tick_once(tree) is not NodeStatus.SUCCESS:
                failures.append((tree, i, "status"))
            got, worker = engine.get_blackboard_data(tree, "out")
            if got is not value:
                failures.append((tree, i, got))
            workers.setdefault(tree, set()).add(worker)

    callers = [threading.Thread(target=drive, args=(tree,)) for tree in trees]
    for caller in callers:
        caller.start()
    for caller in callers:
        caller.join()
    assert failures == []
    # Each tree's tick function ran on one thread of its own, neither a caller nor the other's.
    assert all(len(idents) == 1 for idents in workers.values())
    assert len(set().union(*workers.values()) | {c.ident for c in callers}) == 4


def test_a_tick_function_may_drive_other_trees_but_not_its_own(engine):
    def drive_other(node):
        engine.set_blackboard_data("other", "in", "from a tick")
        assert engine.tick_once("other") is NodeStatus.SUCCESS
        node.setOutput("out", engine.get_blackboard_data("other", "out")[0])
        return NodeStatus.SUCCESS

    def drive_self(node):
        engine.get_tree_status("self")
        return NodeStatus.SUCCESS

    engine.register_action_behavior("Copy", copy, COPY_PORTS)
    engine.register_action_behavior("DriveOther", drive_other, [port("out", direction="output")])
    engine.register_action_behavior("DriveSelf", drive_self, [])
    engine.create_tree_from_text(action_tree('<Copy in="{in}" out="{out}"/>'), "other")
    engine.create_tree_from_text(action_tree('<DriveOther out="{out}"/>'), "driver")
    engine.create_tree_from_text(action_tree("<DriveSelf/>"), "self")
    assert engine.tick_once("driver") is NodeStatus.SUCCESS
    assert engine.get_blackboard_data("driver", "out") == "from a tick"
    with pytest.raises(RuntimeError, match="行为树 self 的命令不能在它自己的工作线程中调用"):
        engine.tick_once("self")
    assert engine.tick_once("driver") is NodeStatus.SUCCESS  # nothing is left locked


class PollFd(ctypes.Structure):
    _fields_ = [("fd", ctypes.c_int), ("events", ctypes.c_short), ("revents", ctypes.c_short)]


@pytest.mark.skipif(not _native.HAS_LLM, reason="built without the agent layer")
def test_a_cpp_only_tree_ticks_while_python_holds_the_gil(engine, monkeypatch):
    from kelmora.llm import CreateAgentOllama, GetStreamResponse

    # The tree's C++ agent nodes connect to this socket; a thread that holds the GIL throughout
    # (a libc call through ctypes.PyDLL keeps it) waits for that connection. Had the worker
    # needed the GIL to tick them, the connection could not come before the wait gave up.
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(1)
    monkeypatch.setenv("OLLAMA_HOST", "127.0.0.1:%d" % server.getsockname()[1])
    holding = threading.Event()

    def gate(node):  # runs while the caller waits for its command: now the GIL may be taken
        holding.set()
        return NodeStatus.SUCCESS

    engine.register_action_behavior("Gate", gate, [])
    engine.register_action_class(CreateAgentOllama)
    engine.register_action_class(GetStreamResponse)
    tree = engine.create_tree_from_text(action_tree(
        "<Gate/>", '<Sleep msec="300"/>',
        '<CreateAgentOllama model_id="m" description="d" agent="{agent}"/>',
        '<GetStreamResponse agent="{agent}" instructions="{i}" user_input="hello" '
        'response_stream="{stream}"/>'))
    libc = ctypes.PyDLL(None)
    ready = []

    def hold_the_gil():
        holding.wait()
        fd = PollFd(server.fileno(), 1, 0)  # POLLIN: a connection is waiting
        ready.append(libc.poll(ctypes.byref(fd), 1, 20000))

    holder = threading.Thread(target=hold_the_gil)
    holder.start()
    assert engine.tick_until_success(tree) >= 2  # Sleep keeps the first tick RUNNING
    holder.join()
    server.close()
    assert ready == [1]


def test_dropping_the_engine_while_a_tree_runs_a_python_tick_loop(log_lines):
    from kelmora.engine.trigger.mthread import ThreadEngine

    engine = ThreadEngine()
    ticks = []
    engine.register_action_behavior("Count", lambda node: ticks.append(1) or NodeStatus.SUCCESS,
                                    [])
    tree = engine.create_tree_from_text(
        '<root BTCPP_format="4"><BehaviorTree ID="T"><KeepRunningUntilFailure><Count/>'
        '</KeepRunningUntilFailure></BehaviorTree></root>')
    errors = []

    def loop():
        try:
            engine.tick_until_failure(tree)
        except RuntimeError as e:
            errors.append(str(e))

    looping = threading.Thread(target=loop)
    looping.start()
    started = wait_until(lambda: ticks)
    engine._native.close()  # what dropping it at exit does, while the loop holds a reference
    looping.join()
    assert started
    assert errors and errors[0].startswith("行为树 tree_0 执行命令 tick_until_failure 失败: ")
    assert "INFO|停止行为树: tree_0" in log_lines
    with pytest.raises(RuntimeError, match="this ThreadEngine has been closed"):
        engine.get_tree_ids()


SHUTDOWN_SCRIPT = textwrap.dedent("""
    import threading
    from kelmora.core import NodeStatus
    from kelmora.engine.trigger.mthread import ThreadEngine

    looping = threading.Event()
    def tick(node):
        looping.set()
        return NodeStatus.SUCCESS

    engine = ThreadEngine()
    engine.register_action_behavior("Py", tick, [])
    endless = ('<root BTCPP_format="4"><BehaviorTree ID="T"><KeepRunningUntilFailure>'
               '<{0}/></KeepRunningUntilFailure></BehaviorTree></root>')
    engine.create_tree_from_text(endless.format("Py"), "python_loop")
    engine.create_tree_from_text(endless.format("AlwaysSuccess"), "cpp_loop")
    engine.create_tree_from_text(endless.format("Py"), "idle")
    engine.tick_once("idle")
    looping.clear()

    def loop(tree):
        try:
            engine.tick_until_failure(tree)
        except RuntimeError:
            pass

    for tree in ("python_loop", "cpp_loop"):
        threading.Thread(target=loop, args=(tree,), daemon=True).start()
    looping.wait()  # the Python loop is running; the C++ one very likely too
    print("exiting", flush=True)
""")


def test_interpreter_exit_with_live_trees_and_waiting_daemon_threads_is_clean():
    result = run_python(SHUTDOWN_SCRIPT)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "exiting\n"
    assert "Fatal" not in result.stderr and "terminate" not in result.stderr
    for tree in ("python_loop", "cpp_loop", "idle"):
        assert "停止行为树: " + tree in result.stderr


INTERRUPT_SCRIPT = textwrap.dedent("""
    import os, signal, time
    from kelmora.core import NodeStatus
    from kelmora.engine.trigger.mthread import ThreadEngine

    finished = []
    def slow(node):  # Ctrl-C arrives while the main thread waits for the first tick
        if not finished:
            os.kill(os.getpid(), signal.SIGINT)
            time.sleep(0.2)
        finished.append(True)
        return NodeStatus.SUCCESS

    engine = ThreadEngine()
    engine.register_action_behavior("Slow", slow, [])
    tree = engine.create_tree_from_text(
        '<root BTCPP_format="4"><BehaviorTree ID="T"><Slow/></BehaviorTree></root>')
    try:
        engine.tick_once(tree)
        print("not interrupted")
    except KeyboardInterrupt:
        print("interrupted after the tick:", finished == [True])
    print("still usable:", engine.tick_once(tree) is NodeStatus.SUCCESS)
""")


def test_ctrl_c_while_waiting_is_raised_once_the_command_has_returned():
    result = run_python(INTERRUPT_SCRIPT)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "interrupted after the tick: True\nstill usable: True\n"


def test_many_trees_of_cpp_nodes_tick_in_parallel_from_many_threads(engine):
    trees = [engine.create_tree_from_text(CPP_TREE) for _ in range(8)]
    results = {}

    def drive(tree):
        results[tree] = engine.tick_n_times(tree, 500)

    callers = [threading.Thread(target=drive, args=(tree,)) for tree in trees]
    for caller in callers:
        caller.start()
    for caller in callers:
        caller.join()
    assert all(results[tree] == [NodeStatus.SUCCESS] * 500 for tree in trees)
