"""AsyncThreadEngine: a ThreadEngine driven from asyncio.

Every tree operation is a coroutine (``await engine.tick_once(tree_id)``); registration, tree
creation and the tree listing are plain calls, as on ThreadEngine::

    async def main():
        async with AsyncThreadEngine() as engine:
            engine.register_action_class(Greet)
            tree = engine.create_tree_from_text(xml)
            await engine.set_blackboard_data(tree, "who", "world")
            ticks = await engine.tick_until_success(tree)

How waiting works: commands are run by a small fixed pool of native threads owned by the engine
(``dispatchers``, 4 by default), never by the event loop's thread and never by a thread of their
own; the outcome completes an asyncio future on the loop (``loop.call_soon_threadsafe``). The loop
is never blocked, however many trees are awaited at once. Commands to one tree are sent one at a
time, in the order they were awaited; commands to different trees run in parallel, as many at a
time as the pool has threads (the others wait in its queue without holding a thread). A tick
loop (``tick_until_failure``, ``tick_until_success``) is sent as one ``tick_once`` per round, so a
thousand looping trees share the pool fairly and a loop can stop between two ticks.

Cancellation (``task.cancel()``, ``asyncio.wait_for`` timeouts, task groups, loop shutdown):
    * a single command is never abandoned half-way: it completes and its result is dropped;
    * a tick loop stops between two ticks: the tick in progress completes, then the tree is reset
      (its running nodes are halted, stateful actions get their halt; the blackboard is kept), and
      only then is CancelledError raised, so the tree is quiet and usable when ``wait_for`` raises
      TimeoutError.

Differences from ThreadEngine's tick loops: an error in a tick of ``tick_until_*`` is raised as
the failed ``tick_once`` of that round ("行为树 X 执行命令 tick_once 失败: ..."), and between two
RUNNING ticks the loop ticks again at once (it does not sleep until a time-based node's timer).

Thread-safety: an AsyncThreadEngine belongs to one event loop; call its coroutines from tasks of
that loop. The ThreadEngine under it (``engine.engine``) may be used from other threads as usual.
"""

from __future__ import annotations

import asyncio
import collections
import functools
import weakref
from typing import Any, Callable, Deque, Dict, List, Mapping, Optional, Type, TypeVar

from kelmora import _native
from kelmora._native import TreeInfo
from kelmora.core import NodeStatus
from kelmora.engine.trigger.mthread import ThreadEngine
from kelmora.nodes.action_node import SimpleActionNode

__all__ = ["AsyncThreadEngine"]

_T = TypeVar("_T")

# Dispatcher pools still open, closed at interpreter exit (after their engines' trees are stopped,
# so that no pool thread still waits for a tree).
_live_pools: "weakref.WeakSet[AsyncThreadEngine]" = weakref.WeakSet()
_exit_hook_registered = False


def _close_live_pools() -> None:
    for engine in list(_live_pools):
        engine.close()


def _deliver(loop: asyncio.AbstractEventLoop, settle: Callable[[bool, Any], None], ok: bool,
             value: Any) -> None:
    """Hands a command's outcome to its loop; called on a pool thread. A loop that is closed
    already has nobody waiting: the outcome is dropped."""
    try:
        loop.call_soon_threadsafe(settle, ok, value)
    except RuntimeError:
        pass


class _Turns:
    """First-come first-served turns per tree id, on one event loop. A tree id without a holder
    and without waiters has no entry, so the table stays as small as the trees in use."""

    __slots__ = ("_queues",)

    def __init__(self) -> None:
        self._queues: Dict[str, Deque["asyncio.Future[None]"]] = {}

    async def acquire(self, key: str) -> None:
        """Waits for the turn of `key`. Cancelled while waiting, it gives up its place (or passes
        on a turn it was just given)."""
        queue = self._queues.get(key)
        if queue is None:
            self._queues[key] = collections.deque()
            return
        waiter: asyncio.Future[None] = asyncio.get_running_loop().create_future()
        queue.append(waiter)
        try:
            await waiter
        except asyncio.CancelledError:
            if waiter.done() and not waiter.cancelled():
                self.release(key)
            else:
                try:
                    queue.remove(waiter)
                except ValueError:
                    pass
            raise

    def release(self, key: str) -> None:
        """Passes the turn of `key` to its next waiter, or ends it."""
        queue = self._queues.get(key)
        if queue is None:
            return
        while queue:
            waiter = queue.popleft()
            if not waiter.done():
                waiter.set_result(None)
                return
        del self._queues[key]


class AsyncThreadEngine:
    """A ThreadEngine whose tree operations are coroutines (see the module's documentation).

    Args:
        engine: the ThreadEngine to drive; a new one when None. Its trees and registrations are
            shared with it, so synchronous code on other threads may use the same trees.
        dispatchers: how many native threads run commands (at least one): as many commands to
            different trees run at once.

    Use it as an async context manager (``async with AsyncThreadEngine() as engine``), which
    stops its trees and its threads on the way out, or call ``aclose()``. Thread-safety: belongs to
    one event loop; registration, creation and listing may also be called from other threads.
    """

    def __init__(self, engine: Optional[ThreadEngine] = None, *, dispatchers: int = 4) -> None:
        if engine is not None and not isinstance(engine, ThreadEngine):
            raise TypeError("engine must be ThreadEngine or None, not %s" % type(engine).__name__)
        if not isinstance(dispatchers, int) or isinstance(dispatchers, bool):
            raise TypeError("dispatchers must be int, not %s" % type(dispatchers).__name__)
        if dispatchers < 1:
            raise ValueError("dispatchers must be at least 1, not %d" % dispatchers)
        self.engine: ThreadEngine = engine if engine is not None else ThreadEngine()
        self._owns_engine = engine is None
        self._pool = _native.Dispatcher(dispatchers)
        self._turns = _Turns()
        global _exit_hook_registered
        if not _exit_hook_registered:
            import atexit

            atexit.register(_close_live_pools)
            _exit_hook_registered = True
        _live_pools.add(self)

    async def __aenter__(self) -> "AsyncThreadEngine":
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.aclose()

    # --- registration, creation, listing: as on ThreadEngine --------------------------------

    def register_action_behavior(self, action_id: str, tick_functor: Callable[..., NodeStatus],
                                 ports_list: List[Dict[str, str]]) -> None:
        """Registers an action for the trees created afterwards (ThreadEngine's
        register_action_behavior)."""
        self.engine.register_action_behavior(action_id, tick_functor, ports_list)

    def register_action_class(self, action_class: Type[SimpleActionNode],
                              action_id: Optional[str] = None) -> None:
        """Registers an action node class (ThreadEngine's register_action_class)."""
        self.engine.register_action_class(action_class, action_id)

    def register_condition_behavior(self, condition_id: str,
                                    tick_functor: Callable[..., NodeStatus],
                                    ports_list: List[Dict[str, str]]) -> None:
        """Registers a condition for the trees created afterwards (ThreadEngine's
        register_condition_behavior)."""
        self.engine.register_condition_behavior(condition_id, tick_functor, ports_list)

    def register_node_class(self, node_class: type, node_id: Optional[str] = None) -> None:
        """Registers a node class (a control, decorator, condition or action written in Python)
        for the trees created afterwards (ThreadEngine's register_node_class)."""
        self.engine.register_node_class(node_class, node_id)

    def create_tree_from_text(self, xml_text: str, tree_id: Optional[str] = None) -> str:
        """Creates a tree and starts its worker; returns its id at once (ThreadEngine's
        create_tree_from_text)."""
        return self.engine.create_tree_from_text(xml_text, tree_id)

    def create_tree_from_file(self, file_path: str, tree_id: Optional[str] = None) -> str:
        """Reads the file and creates the tree from its text (ThreadEngine's
        create_tree_from_file)."""
        return self.engine.create_tree_from_file(file_path, tree_id)

    def get_tree_ids(self) -> List[str]:
        """The ids of all trees, in creation order (a new list)."""
        return self.engine.get_tree_ids()

    @property
    def trees(self) -> Mapping[str, TreeInfo]:
        """The engine's read-only mapping from tree id to the tree's record (ThreadEngine.trees)."""
        return self.engine.trees

    # --- running commands ---------------------------------------------------------------------

    def _dispatch(self, call: Callable[[], _T],
                  settled: Optional[Callable[[], None]] = None) -> "asyncio.Future[_T]":
        """Queues `call` on the pool; returns the future its outcome completes. `settled` runs on
        the loop once the call has returned, whether or not the future was cancelled meanwhile."""
        loop = asyncio.get_running_loop()
        future: asyncio.Future[_T] = loop.create_future()

        def settle(ok: bool, value: Any) -> None:
            if settled is not None:
                settled()
            if future.cancelled():
                return  # the command completed; its waiter has gone
            if ok:
                future.set_result(value)
            else:
                future.set_exception(value)

        self._pool.submit(call, functools.partial(_deliver, loop, settle))
        return future

    async def _command(self, tree_id: str, call: Callable[[], _T]) -> _T:
        """Runs one command to `tree_id` in the tree's turn; the turn is held until the command
        has returned, even when the waiter is cancelled before."""
        if not isinstance(tree_id, str):
            raise TypeError("tree_id must be str, not %s" % type(tree_id).__name__)
        await self._turns.acquire(tree_id)
        try:
            future = self._dispatch(call, functools.partial(self._turns.release, tree_id))
        except BaseException:
            self._turns.release(tree_id)
            raise
        return await future

    async def _tick_until(self, tree_id: str, target: NodeStatus) -> int:
        """Ticks `tree_id` once per round until a tick returns `target`; returns the number of
        ticks. Cancelled, it lets the tick in progress finish, resets the tree and re-raises."""
        if not isinstance(tree_id, str):
            raise TypeError("tree_id must be str, not %s" % type(tree_id).__name__)
        tick = functools.partial(self.engine.tick_once, tree_id)
        await self._turns.acquire(tree_id)
        ticks = 0
        while True:
            try:
                round_ = self._dispatch(tick)
            except BaseException:
                self._turns.release(tree_id)
                raise
            try:
                status = await asyncio.shield(round_)
            except asyncio.CancelledError:
                await self._halt_after(tree_id, round_)
                raise
            except BaseException:
                self._turns.release(tree_id)
                raise
            ticks += 1
            if status == target:
                self._turns.release(tree_id)
                return ticks

    async def _halt_after(self, tree_id: str, round_: "asyncio.Future[Any]") -> None:
        """After a cancelled round: once the tick in progress has returned, resets the tree (its
        running nodes halted) and then gives up the tree's turn. Runs on even if the waiter is
        cancelled again; the waiter returns when the reset is done."""
        loop = asyncio.get_running_loop()
        halted: asyncio.Future[None] = loop.create_future()

        def reset_done() -> None:
            self._turns.release(tree_id)
            if not halted.done():
                halted.set_result(None)

        def round_done(finished: "asyncio.Future[Any]") -> None:
            if not finished.cancelled():
                finished.exception()  # seen: nobody awaits this round any more
            try:
                self._dispatch(functools.partial(_reset_quietly, self.engine, tree_id), reset_done)
            except RuntimeError:  # the pool is closed: nothing is running any more
                reset_done()

        round_.add_done_callback(round_done)
        await asyncio.shield(halted)

    # --- tree operations: coroutines --------------------------------------------------------

    async def tick_once(self, tree_id: str) -> NodeStatus:
        """Ticks the tree once and returns the NodeStatus of that tick."""
        return await self._command(tree_id, functools.partial(self.engine.tick_once, tree_id))

    async def tick_until_failure(self, tree_id: str) -> int:
        """Ticks the tree until a tick returns FAILURE; returns the number of ticks run.
        Cancelled, it stops between two ticks and resets the tree before CancelledError."""
        return await self._tick_until(tree_id, NodeStatus.FAILURE)

    async def tick_until_success(self, tree_id: str) -> int:
        """Ticks the tree until a tick returns SUCCESS; returns the number of ticks run.
        Cancelled, it stops between two ticks and resets the tree before CancelledError."""
        return await self._tick_until(tree_id, NodeStatus.SUCCESS)

    async def tick_n_times(self, tree_id: str, n: int) -> List[NodeStatus]:
        """Ticks the tree `n` times as one command; returns one NodeStatus per tick."""
        return await self._command(tree_id,
                                   functools.partial(self.engine.tick_n_times, tree_id, n))

    async def get_tree_status(self, tree_id: str) -> Dict[str, Any]:
        """The tree's state as a dict (status, tick count, root, nodes)."""
        return await self._command(tree_id,
                                   functools.partial(self.engine.get_tree_status, tree_id))

    async def get_blackboard_data(self, tree_id: str, key: str) -> Any:
        """The value stored under `key` in the tree's blackboard (None when never written)."""
        return await self._command(
            tree_id, functools.partial(self.engine.get_blackboard_data, tree_id, key))

    async def set_blackboard_data(self, tree_id: str, key: str, value: Any) -> None:
        """Stores `value`, of any kind, under `key` in the tree's blackboard."""
        await self._command(
            tree_id, functools.partial(self.engine.set_blackboard_data, tree_id, key, value))

    async def get_all_blackboard_data(self, tree_id: str) -> Dict[str, Any]:
        """All entries of the tree's blackboard, as a dict."""
        return await self._command(
            tree_id, functools.partial(self.engine.get_all_blackboard_data, tree_id))

    async def reset_tree(self, tree_id: str) -> None:
        """Halts running nodes and sets every node to IDLE; the blackboard is kept."""
        await self._command(tree_id, functools.partial(self.engine.reset_tree, tree_id))

    async def stop_tree(self, tree_id: str) -> None:
        """Ends the tree's worker and removes the tree (ThreadEngine's stop_tree). It does not
        wait for the tree's turn: a tick loop awaited on the tree ends at its next round with the
        ValueError of a missing tree."""
        if not isinstance(tree_id, str):
            raise TypeError("tree_id must be str, not %s" % type(tree_id).__name__)
        await self._dispatch(functools.partial(self.engine.stop_tree, tree_id))

    async def stop_all_trees(self) -> None:
        """Stops every tree in creation order, then logs "停止所有行为树"."""
        await self._dispatch(self.engine.stop_all_trees)

    # --- closing ------------------------------------------------------------------------------

    async def aclose(self) -> None:
        """Stops every tree of an engine this object made (as stop_all_trees; an engine given to
        it is left running), then closes its threads; later tree operations raise RuntimeError.
        Safe to call more than once."""
        if self._owns_engine and not self._pool.closed:
            # Closing the engine stops its trees (logging "停止所有行为树"), on a pool thread.
            await self._dispatch(self.engine._native.close)
        self.close()

    def close(self) -> None:
        """Closes an engine this object made (stopping its trees; an engine given to it is left
        running) and waits for the threads to finish the commands already queued. Blocks the
        calling thread: from a coroutine use aclose(). Safe to call more than once."""
        if self._owns_engine:
            self.engine._native.close()
        self._pool.close()
        _live_pools.discard(self)

    @property
    def closed(self) -> bool:
        """Whether close() or aclose() has run."""
        return bool(self._pool.closed)


def _reset_quietly(engine: ThreadEngine, tree_id: str) -> None:
    """Resets the tree after a cancelled tick loop; a tree that is gone (stopped meanwhile, the
    engine closed) has nothing to halt."""
    try:
        engine.reset_tree(tree_id)
    except (ValueError, RuntimeError):
        pass
