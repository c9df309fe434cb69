"""kelmora.aio: trees awaited from asyncio, cancellation, timeouts and loop shutdown."""

import asyncio
import threading

import pytest

from conftest import CPP_TREE, action_tree, port, run_python, thread_ids
from kelmora.aio import AsyncThreadEngine
from kelmora.core import NodeStatus
from kelmora.engine.trigger.mthread import ThreadEngine


@pytest.fixture
def aengine(log_lines):
    """An AsyncThreadEngine closed after the test, whatever it did."""
    e = AsyncThreadEngine()
    yield e
    e.close()


def running_forever(calls):
    """A tick function that stays RUNNING, counting its ticks in `calls`."""
    def tick(node):
        calls.append(node.name)
        return NodeStatus.RUNNING
    return tick


def statuses(status):
    return [status["status"]] + [node["status"] for node in status["nodes"]]


@pytest.mark.asyncio
async def test_each_operation_returns_what_the_thread_engine_returns(aengine):
    tree = aengine.create_tree_from_text(
        action_tree('<SetBlackboard value="hello" output_key="greeting"/>', "<AlwaysSuccess/>"))
    assert tree == "tree_0" and aengine.get_tree_ids() == [tree] and tree in aengine.trees
    assert await aengine.tick_once(tree) is NodeStatus.SUCCESS
    assert await aengine.tick_n_times(tree, 2) == [NodeStatus.SUCCESS] * 2
    assert await aengine.tick_until_success(tree) == 1
    assert await aengine.get_blackboard_data(tree, "greeting") == "hello"
    marker = object()
    assert await aengine.set_blackboard_data(tree, "mine", marker) is None
    assert await aengine.get_blackboard_data(tree, "mine") is marker
    assert set(await aengine.get_all_blackboard_data(tree)) == {"greeting", "mine"}
    assert (await aengine.get_tree_status(tree))["tick_count"] == 4
    assert await aengine.reset_tree(tree) is None
    await aengine.stop_tree(tree)
    assert aengine.get_tree_ids() == []


@pytest.mark.asyncio
@pytest.mark.parametrize("operation, args, error, text", [
    ("tick_once", ("ghost",), ValueError, "行为树ID ghost 不存在"),
    ("tick_until_success", ("ghost",), ValueError, "行为树ID ghost 不存在"),
    ("get_blackboard_data", ("ghost", "k"), ValueError, "行为树ID ghost 不存在"),
    ("stop_tree", ("ghost",), ValueError, "行为树ID ghost 不存在"),
    ("tick_once", (7,), TypeError, "tree_id must be str, not int"),
    ("tick_until_failure", (None,), TypeError, "tree_id must be str, not NoneType"),
    ("get_blackboard_data", ("t", 1), TypeError, "key must be str, not int"),
])
async def test_errors_are_raised_by_the_await(aengine, operation, args, error, text):
    aengine.create_tree_from_text(CPP_TREE, "t")
    with pytest.raises(error) as raised:
        await getattr(aengine, operation)(*args)
    assert str(raised.value) == text
    assert await aengine.tick_once("t") is NodeStatus.SUCCESS  # the tree's turn was given back


@pytest.mark.asyncio
async def test_a_failed_tick_keeps_its_cause(aengine):
    def broken(node):
        raise KeyError("nope")
    aengine.register_action_behavior("Broken", broken, [])
    tree = aengine.create_tree_from_text(action_tree("<Broken/>"))
    for operation in (aengine.tick_once, aengine.tick_until_failure):
        with pytest.raises(RuntimeError) as raised:
            await operation(tree)
        assert str(raised.value).startswith("行为树 tree_0 执行命令 tick_once 失败: ")
        assert isinstance(raised.value.__cause__, KeyError)


@pytest.mark.asyncio
async def test_a_thousand_trees_awaited_at_once_use_no_thread_per_call(aengine):
    ticks = {}

    def third_tick_succeeds(node):
        ticks[node.name] = ticks.get(node.name, 0) + 1
        return NodeStatus.SUCCESS if ticks[node.name] % 3 == 0 else NodeStatus.RUNNING
    aengine.register_action_behavior("Step", third_tick_succeeds, [])
    trees = [aengine.create_tree_from_text(action_tree('<Step name="s%d"/>' % i), "t%d" % i)
             for i in range(1000)]
    before = len(thread_ids())
    most = [0]
    beats = [0]

    async def heartbeat():
        while True:
            most[0] = max(most[0], len(thread_ids()))
            beats[0] += 1
            await asyncio.sleep(0.01)
    beat = asyncio.create_task(heartbeat())
    results = await asyncio.gather(*(aengine.tick_until_success(t) for t in trees),
                                   *(aengine.set_blackboard_data(t, "k", t) for t in trees))
    beat.cancel()
    assert results[:1000] == [3] * 1000 and results[1000:] == [None] * 1000
    assert [await aengine.get_blackboard_data(t, "k") for t in trees] == trees
    assert beats[0] > 0  # the loop kept running its other tasks
    assert most[0] <= before  # the pool's threads and the trees' workers were there already


@pytest.mark.asyncio
async def test_commands_to_one_tree_run_in_the_order_awaited(aengine):
    tree = aengine.create_tree_from_text(CPP_TREE)
    writes = [aengine.set_blackboard_data(tree, "k", i) for i in range(50)]
    reads = await asyncio.gather(*writes, aengine.get_blackboard_data(tree, "k"))
    assert reads[-1] == 49


@pytest.mark.asyncio
async def test_a_cancelled_command_completes_and_its_result_is_dropped(aengine):
    entered, release, done = threading.Event(), threading.Event(), []

    def slow(node):
        entered.set()
        release.wait(30)
        done.append(node.name)
        return NodeStatus.SUCCESS
    aengine.register_action_behavior("Slow", slow, [])
    tree = aengine.create_tree_from_text(action_tree("<Slow/>"))
    task = asyncio.create_task(aengine.tick_once(tree))
    await asyncio.get_running_loop().run_in_executor(None, entered.wait, 30)
    task.cancel()
    after = asyncio.create_task(aengine.get_tree_status(tree))
    with pytest.raises(asyncio.CancelledError):
        await task
    assert done == [] and not after.done()  # the next command waits for the tick
    release.set()
    status = await after
    assert done == ["Slow"] and status["tick_count"] == 1 and status["status"] == "SUCCESS"


class Halts:
    """An action that stays RUNNING and records its ticks; its halts show as the tree's reset."""


@pytest.mark.asyncio
@pytest.mark.parametrize("loop", ["tick_until_success", "tick_until_failure"])
@pytest.mark.parametrize("how", ["cancel", "wait_for", "task_group"])
async def test_a_cancelled_tick_loop_stops_between_ticks_with_its_tree_halted(aengine, loop,
                                                                              how):
    calls = []
    aengine.register_action_behavior("Forever", running_forever(calls), [])
    tree = aengine.create_tree_from_text(
        action_tree('<SetBlackboard value="1" output_key="kept"/>', "<Forever/>"))
    if how == "cancel":
        task = asyncio.create_task(getattr(aengine, loop)(tree))
        while len(calls) < 5:
            await asyncio.sleep(0.001)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
    elif how == "wait_for":
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(getattr(aengine, loop)(tree), 0.05)
    else:
        async def fail_soon():
            while len(calls) < 5:
                await asyncio.sleep(0.001)
            raise LookupError("stop the group")
        with pytest.raises(BaseExceptionGroup) as raised:
            async with asyncio.TaskGroup() as group:
                group.create_task(getattr(aengine, loop)(tree))
                group.create_task(fail_soon())
        assert [type(e) for e in raised.value.exceptions] == [LookupError]
    ticks = len(calls)
    assert ticks >= 1
    # Halted: every node IDLE once the await has ended, the blackboard kept, no tick since.
    status = await aengine.get_tree_status(tree)
    assert set(statuses(status)) == {"IDLE"} and len(calls) == ticks
    assert await aengine.get_blackboard_data(tree, "kept") == "1"
    assert await aengine.tick_n_times(tree, 2) == [NodeStatus.RUNNING] * 2  # still usable


def test_loop_shutdown_with_trees_running_halts_them(log_lines):
    calls = []
    engine = ThreadEngine()
    aengine = AsyncThreadEngine(engine, dispatchers=2)
    aengine.register_action_behavior("Forever", running_forever(calls), [])
    trees = [aengine.create_tree_from_text(action_tree("<Forever/>")) for _ in range(20)]

    async def main():
        for tree in trees:
            asyncio.create_task(aengine.tick_until_success(tree))
        while len(calls) < 100:
            await asyncio.sleep(0.001)
        # returns with the loops still running: asyncio.run cancels them

    asyncio.run(main())
    ticks = len(calls)
    for tree in trees:  # the engine was given: it lives on, its trees halted and usable
        assert set(statuses(engine.get_tree_status(tree))) == {"IDLE"}
    assert len(calls) == ticks
    aengine.close()
    assert aengine.closed and engine.tick_once(trees[0]) is NodeStatus.RUNNING
    engine._native.close()


def test_interpreter_exit_with_awaited_trees_still_running():
    result = run_python(
        "import asyncio, threading\n"
        "from kelmora.aio import AsyncThreadEngine\n"
        "from kelmora.core import NodeStatus\n"
        "engine = AsyncThreadEngine()\n"
        "engine.register_action_behavior('Forever', lambda n: NodeStatus.RUNNING, [])\n"
        "xml = '<root BTCPP_format=\"4\"><BehaviorTree ID=\"T\"><Forever/></BehaviorTree></root>'\n"
        "async def main():\n"
        "    loop = asyncio.get_running_loop()\n"
        "    for i in range(10):\n"
        "        loop.create_task(engine.tick_until_failure(engine.create_tree_from_text(xml)))\n"
        "    await asyncio.sleep(0.05)\n"
        "    loop.stop()\n"
        "loop = asyncio.new_event_loop()\n"
        "loop.create_task(main())\n"
        "loop.run_forever()\n"
        "print('left the loop')\n", timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "left the loop\n"
    assert "停止所有行为树" in result.stderr


@pytest.mark.asyncio
async def test_a_closed_engine_refuses_commands(log_lines):
    aengine = AsyncThreadEngine()
    tree = aengine.create_tree_from_text(CPP_TREE)
    async with aengine:
        assert await aengine.tick_once(tree) is NodeStatus.SUCCESS
    assert aengine.closed
    with pytest.raises(RuntimeError):
        await aengine.tick_once(tree)
    await aengine.aclose()  # again: nothing to do
    assert [line for line in log_lines if "停止所有行为树" in line] == ["INFO|停止所有行为树"]


@pytest.mark.parametrize("kwargs, error", [
    ({"dispatchers": 0}, ValueError), ({"dispatchers": "2"}, TypeError),
    ({"engine": "engine"}, TypeError),
])
def test_bad_construction_arguments_are_refused(kwargs, error):
    with pytest.raises(error):
        AsyncThreadEngine(**kwargs)


def test_the_dispatcher_runs_every_queued_job_and_hands_over_each_outcome(monkeypatch):
    import sys
    from kelmora import _native
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: unraisable.append(u.exc_value))
    outcomes = []
    done = threading.Event()

    def fail():
        raise KeyError("inner")

    def record(ok, value):
        outcomes.append((ok, value))
        if len(outcomes) == 3:
            done.set()

    def broken_callback(ok, value):
        raise ValueError("the callback's own error is reported, not raised")

    pool = _native.Dispatcher(1)
    pool.submit(lambda: 41 + 1, record)
    pool.submit(fail, record)
    pool.submit(lambda: None, broken_callback)
    pool.submit(lambda: "last", record)
    pool.close()  # runs what was queued first
    assert done.is_set() and pool.closed and pool.pending == 0
    assert outcomes[0] == (True, 42) and outcomes[2] == (True, "last")
    ok, error = outcomes[1]
    assert ok is False and isinstance(error, KeyError) and error.__traceback__ is not None
    assert [type(e) for e in unraisable] == [ValueError]
    with pytest.raises(RuntimeError, match="closed"):
        pool.submit(lambda: None, record)
    pool.close()  # again: nothing to wait for
    with pytest.raises(ValueError):
        _native.Dispatcher(0)


@pytest.mark.asyncio
@pytest.mark.parametrize("timeout_first", [True, False])
async def test_a_timed_out_tick_loop_halts_a_stateful_action_once(aengine, timeout_first):
    from kelmora.nodes.action_node import StatefulActionNode
    events = []

    class Wait(StatefulActionNode):
        def onStart(self):
            events.append("start")
            return NodeStatus.RUNNING

        def onRunning(self):
            events.append("running")
            return NodeStatus.RUNNING

        def onHalted(self):
            events.append("halted")

    aengine.register_node_class(Wait)
    tree = aengine.create_tree_from_text(action_tree("<Wait/>"))
    if timeout_first:
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(aengine.tick_until_success(tree), 0.05)
    else:
        task = asyncio.create_task(aengine.tick_until_failure(tree))
        while "running" not in events:
            await asyncio.sleep(0.001)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
    assert events[0] == "start" and events[-1] == "halted" and events.count("halted") == 1
    assert set(events[1:-1]) <= {"running"}
    assert await aengine.tick_once(tree) is NodeStatus.RUNNING and events[-1] == "start"
