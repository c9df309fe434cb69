"""An engine inherited across os.fork(): in the child its trees fail at once (their workers are
not in that process), stopping, dropping the engine and the child's exit return at once, and an
engine made in the child works; the parent is unaffected."""

import textwrap

import pytest

from conftest import run_python

PRELUDE = textwrap.dedent("""
    import multiprocessing, os, sys, threading
    from kelmora.core import NodeStatus
    from kelmora.engine.trigger.mthread import ThreadEngine

    TREE = ('<root BTCPP_format="4"><BehaviorTree ID="T"><Sequence><Wait/></Sequence>'
            '</BehaviorTree></root>')
    ticking, release = threading.Event(), threading.Event()

    def wait(node):
        if threading.current_thread() is not threading.main_thread():
            ticking.set()
        release.wait()
        return NodeStatus.SUCCESS

    engine = ThreadEngine()
    engine.register_action_behavior("Wait", wait, [])
    for tree in ("idle", "busy"):
        engine.create_tree_from_text(TREE, tree)
    release.set()
    assert engine.tick_once("idle") is NodeStatus.SUCCESS
    release.clear()
    ticking.clear()  # set by idle's tick: cleared, so that the fork waits for busy's
    # At the fork a caller of "busy" waits inside a tick of that tree.
    busy = []
    caller = threading.Thread(target=lambda: busy.append(engine.tick_once("busy")))
    caller.start()
    ticking.wait()

    def child_checks():
        problems = []
        for tree in ("idle", "busy"):
            try:
                engine.tick_once(tree)
                problems.append(tree + ": no error")
            except RuntimeError as error:
                expected = ("行为树 %s 执行命令 tick_once 失败: 工作线程不在当前进程中 "
                            "(线程引擎是在 fork 之前创建的)" % tree)
                if str(error) != expected:
                    problems.append(tree + ": " + str(error))
        engine.stop_tree("idle")
        engine.stop_all_trees()
        fresh = ThreadEngine()
        fresh_tree = fresh.create_tree_from_text(TREE.replace("<Wait/>", "<AlwaysSuccess/>"))
        if fresh.tick_once(fresh_tree) is not NodeStatus.SUCCESS:
            problems.append("fresh engine")
        fresh.stop_all_trees()
        return problems

    def parent_checks():
        release.set()
        caller.join()
        assert busy == [NodeStatus.SUCCESS], busy
        assert engine.tick_once("idle") is NodeStatus.SUCCESS
        assert engine.get_tree_ids() == ["idle", "busy"]
        print("PARENT OK")
""")

OS_FORK = PRELUDE + textwrap.dedent("""
    pid = os.fork()
    if pid == 0:
        problems = child_checks()
        if problems:
            print("CHILD", problems, flush=True)
        if EXIT == "os._exit":
            os._exit(1 if problems else 0)
        sys.exit(1 if problems else 0)  # the interpreter's exit closes the inherited engine
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status
    parent_checks()
""")

MULTIPROCESSING = PRELUDE + textwrap.dedent("""
    def target(queue):
        queue.put(child_checks())

    context = multiprocessing.get_context("fork")
    queue = context.Queue()
    process = context.Process(target=target, args=(queue,))
    process.start()
    problems = queue.get(timeout=60)
    process.join(60)
    assert problems == [], problems
    assert process.exitcode == 0, process.exitcode
    parent_checks()
""")


@pytest.mark.parametrize("exit_by", ["os._exit", "normal exit"])
def test_os_fork_child_fails_inherited_trees_at_once_and_exits(exit_by):
    result = run_python("EXIT = %r\n" % exit_by + OS_FORK)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "PARENT OK" in result.stdout
    assert "CHILD" not in result.stdout


def test_multiprocessing_fork_child_fails_inherited_trees_at_once():
    result = run_python(MULTIPROCESSING)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "PARENT OK" in result.stdout
