"""ThreadEngine: behaviour trees run concurrently, one worker thread per tree.

Every tree lives in a worker thread of its own, inside a single-threaded engine of its own, and a
caller drives it by synchronous commands (tick once, tick until failure or success, tick n times,
read the status, read or write the blackboard, reset, stop). The engine itself is C++
(kelmora._native); this class checks the kinds of arguments and results the way a Python caller
expects and hands every operation to it.

Threads and the GIL: a caller releases the GIL while it waits for a tree, so other Python threads
and other trees go on. A worker holds the GIL only while it runs Python code (a tick function
written in Python, a conversion); trees made only of C++ nodes tick in parallel without it.

Ctrl-C: a command that is being waited for is not abandoned half-way. The KeyboardInterrupt is
raised as soon as the command has returned; a command that does not return by itself (an endless
tick_until_failure) is ended by stopping its tree from another thread.

Log lines go to loguru's shared ``logger``.

Running this module as a program (``python3 -m kelmora.engine.trigger.mthread``) runs a
demonstration: two trees, each running a language-model agent on its own user input.
"""

import atexit
import collections.abc
import weakref

from kelmora import _native
from kelmora.core import BehaviorTreeFactory
from kelmora.engine.sequential_engine import SequentialEngine as _SequentialEngine
from kelmora.nodes.action_node import SimpleActionNode

__all__ = ["ThreadEngine"]


def _check_kind(argument, value, kind, allow_none=False):
    """Raises TypeError naming `argument` unless `value` is a `kind` (or None when allowed)."""
    if isinstance(value, kind) or (allow_none and value is None):
        return
    expected = kind.__name__ + (" or None" if allow_none else "")
    raise TypeError("%s must be %s, not %s" % (argument, expected, type(value).__name__))


def _check_result(kind, value):
    """Returns `value` if it is a `kind` or None; TypeError 'Expected K, got T' otherwise."""
    if value is None or isinstance(value, kind):
        return value
    raise TypeError("Expected %s, got %.200s" % (kind.__name__, type(value).__name__))


_ABSENT = object()

# Engines still alive, closed (all their trees stopped) when the interpreter exits, while tick
# functions written in Python can still run.
_live_engines = weakref.WeakSet()
_exit_hook_registered = False


def _close_live_engines():
    for engine in list(_live_engines):
        engine._native.close()


class _TreeRecords(collections.abc.Mapping):
    """The trees of an engine, from tree id to the tree's record, in creation order: a read-only
    view that follows the engine (a tree being stopped is no longer in it). A record has
    `tree_id`, `xml_text`, `file_path` (None for a tree made from text), `created_at` (seconds
    since the epoch, as time.time() gives them) and `tree_name` (the registered BehaviorTree ID
    of a tree made by ``create_tree``, else None; its `xml_text` and `file_path` are then those
    of the document that defines it)."""

    __slots__ = ("_native",)

    def __init__(self, native):
        self._native = native

    def __getitem__(self, tree_id):
        for record in self._native.trees():
            if record.tree_id == tree_id:
                return record
        raise KeyError(tree_id)

    def __iter__(self):
        return iter(self._native.get_tree_ids())

    def __len__(self):
        return len(self._native.get_tree_ids())

    def __contains__(self, tree_id):
        return isinstance(tree_id, str) and tree_id in self._native.get_tree_ids()

    def __repr__(self):
        return "<trees %r>" % (self._native.get_tree_ids(),)


def _track(engine):
    global _exit_hook_registered
    if not _exit_hook_registered:
        atexit.register(_close_live_engines)
        _exit_hook_registered = True
    _live_engines.add(engine)


class ThreadEngine:
    """Runs behaviour trees concurrently, one worker thread per tree.

    Register nodes first (``register_action_behavior``, ``register_action_class``,
    ``register_condition_behavior``, ``register_node_class``), and enum names and tree
    definitions for scripts and SubTrees (``register_scripting_enum``, ``register_tree_text``,
    ``register_tree_file``, ``register_tree_folder``), then create trees
    (``create_tree_from_text``, ``create_tree_from_file``, ``create_tree`` by BehaviorTree ID):
    each tree's worker replays the registrations made before it starts, in registration order.
    Dropping the engine stops all its trees.

    Thread-safety: every operation may be called from any thread. Commands to one tree are served
    one at a time; commands to different trees run in parallel. A tick function may call the
    operations of other trees; calling its own tree's operations raises RuntimeError.

    Attributes:
        factory: a BehaviorTreeFactory held for the engine's lifetime and open to callers; the
            engine never uses it (each tree is built by its worker's own engine).
        trees: a read-only mapping from tree id to the tree's record, in creation order (see
            `trees`).
        action_registrations: the (action id, tick function, ports list) triples registered so
            far with register_action_behavior and register_action_class, in registration order,
            each part as it was given (conditions and node classes are not listed).
    """

    def __init__(self, tick_period=None):
        """`tick_period`: the longest wait, in seconds, between two RUNNING ticks of every
        tree's tick loops (None: 0.01); `set_tick_period` changes it for one tree."""
        self.factory = BehaviorTreeFactory()
        self._native = _native.ThreadEngine(tick_period)  # logs "初始化线程引擎"
        self._trees = _TreeRecords(self._native)
        self.action_registrations = []
        _track(self)

    @property
    def trees(self):
        """The trees present, from tree id to the tree's record (`tree_id`, `xml_text`,
        `file_path` or None, `created_at`), in creation order: a read-only mapping that follows
        the engine, so `len(engine.trees)`, `list(engine.trees)`, `tree_id in engine.trees` and
        `engine.trees[tree_id]` always answer for the trees present now."""
        return self._trees

    # --- registration -------------------------------------------------------------------------

    def register_action_behavior(self, action_id, tick_functor, ports_list):
        """Registers an action for the trees created afterwards.

        `action_id` (str) is the element name in tree XML; `tick_functor` is any callable that
        takes a kelmora.core.TreeNode and returns a NodeStatus; `ports_list` (list) holds the
        port descriptions, dicts of str to str. Logs "注册动作节点: " + action id.
        """
        _check_kind("action_id", action_id, str)
        _check_kind("ports_list", ports_list, list)
        self._native.register_action_behavior(action_id, tick_functor, ports_list)
        self.action_registrations.append((action_id, tick_functor, ports_list))

    def register_action_class(self, action_class, action_id=None):
        """Registers an action node class: a subclass of SimpleActionNode with a static `tick`
        and, optionally, a class-level `ports` list (an empty list when absent).

        The action id is `action_id` or, when None, the class's own name. A class that does not
        derive from SimpleActionNode is logged at error level and rejected with TypeError; a
        value that is not a class raises TypeError, and a class without `tick` AttributeError,
        both without logging.
        """
        _check_kind("action_id", action_id, str, allow_none=True)
        if not issubclass(action_class, SimpleActionNode):
            self._native._reject_action_class(action_class.__name__)
        if action_id is None:
            action_id = action_class.__name__
        tick_functor = action_class.tick
        ports_list = getattr(action_class, "ports", _ABSENT)
        if ports_list is _ABSENT:
            ports_list = []
        self.register_action_behavior(action_id, tick_functor, ports_list)

    def register_condition_behavior(self, condition_id, tick_functor, ports_list):
        """Registers a condition for the trees created afterwards: like
        register_action_behavior, but the node is a condition (it must never return RUNNING: a
        tick that does fails naming the node). Logs "注册动作节点: " + condition id. Not listed in
        `action_registrations`.
        """
        _check_kind("condition_id", condition_id, str)
        _check_kind("ports_list", ports_list, list)
        self._native.register_condition_behavior(condition_id, tick_functor, ports_list)

    def register_node_class(self, node_class, node_id=None):
        """Registers a node class for the trees created afterwards: a subclass of
        kelmora.nodes.control_node.ControlNode, decorator_node.DecoratorNode,
        condition_node.ConditionNode, action_node.SimpleActionNode or
        action_node.StatefulActionNode, with an optional class-level `ports` list (none when
        absent). Every element naming it gets an instance of its own, made with no arguments on
        the tree's worker thread when the tree is built, and dropped with the tree.

        The id is `node_id` or, when None, the class's own name; logs "注册动作节点: " + id.
        Registrations of every kind are replayed into each new tree in registration order, so a
        later registration of an id wins. Refusals, before anything is logged or stored:
        `node_id` of another kind than str or None raises TypeError naming it; a value that is
        not a class raises TypeError; a class of none of the five kinds is logged at error level
        and raises TypeError "节点类 X 必须继承自ControlNode、DecoratorNode、ConditionNode、
        SimpleActionNode或StatefulActionNode"; a missing `tick` (stateful actions: `onStart`,
        `onRunning`) raises AttributeError; an id or ports the core refuses raise ValueError.
        Not listed in `action_registrations`.
        """
        _check_kind("node_id", node_id, str, allow_none=True)
        self._native.register_node_class(node_class, node_id)

    def register_scripting_enum(self, name, value=None):
        """Registers an enum name the scripts of trees created afterwards use as a number
        (``state == BUSY``): ``register_scripting_enum("BUSY", 2)``, or every member of an enum
        class with int values: ``register_scripting_enum(Mode)``.

        A name that is not an identifier, or that was registered before with another value,
        raises ValueError (a whole enum is registered all or nothing); arguments of the wrong
        kind raise TypeError. Nothing is logged or stored then. Logs "注册脚本枚举: NAME = value"
        for each name.
        """
        self._native.register_scripting_enum(name, value)

    def register_tree_text(self, xml_text):
        """Registers every BehaviorTree of the XML text by its ID, for the SubTrees of trees
        created afterwards and for ``create_tree``; returns the IDs in document order.

        The text is parsed here: malformed XML, or an ID already registered from another
        document, raises RuntimeError naming both places, and nothing is registered. A tree that
        names an unknown node fails when a tree using it is built. Logs "注册行为树定义: " + ID
        for each tree.
        """
        _check_kind("xml_text", xml_text, str)
        return self._native.register_tree_text(xml_text)

    def register_tree_file(self, path):
        """Registers the BehaviorTrees of the file at `path` (str or path-like), as
        register_tree_text does; its includes are found next to it. A file that cannot be read
        raises the OSError its errno selects."""
        return self._native.register_tree_file(path)

    def register_tree_folder(self, path):
        """Registers the BehaviorTrees of every ``*.xml`` file below the folder (sub-folders
        included), in the order of their relative paths. Every file is read and checked first:
        when one fails, nothing is registered."""
        return self._native.register_tree_folder(path)

    # --- trees --------------------------------------------------------------------------------

    def create_tree(self, tree_name, tree_id=None):
        """Creates a tree from the registered BehaviorTree `tree_name` under `tree_id` (or a
        generated id, as create_tree_from_text), starts its worker and returns the id at once.

        A name that is not registered raises RuntimeError naming it and the registered IDs; a
        duplicate tree id is logged and raises ValueError. The tree's record (``trees``) holds
        the document that defines it and its ``tree_name``.
        """
        _check_kind("tree_name", tree_name, str)
        _check_kind("tree_id", tree_id, str, allow_none=True)
        return self._native.create_tree_by_name(tree_name, tree_id)

    def create_tree_from_text(self, xml_text, tree_id=None):
        """Creates a tree from XML (BehaviorTree XML format 4) under `tree_id`, or under
        "tree_" + the number of trees when None, starts its worker and returns the id at once.

        A duplicate id is logged and raises ValueError. XML the worker cannot build shows at the
        first command sent to the tree.
        """
        _check_kind("xml_text", xml_text, str)
        _check_kind("tree_id", tree_id, str, allow_none=True)
        return self._native.create_tree_from_text(xml_text, tree_id)

    def create_tree_from_file(self, file_path, tree_id=None):
        """Reads the UTF-8 file at `file_path` (line ends become "\\n", a byte-order mark is
        kept) and creates the tree from its text, as create_tree_from_text does; relative
        includes are found next to the file and build errors name it.

        Only a regular file is read: a folder, device or pipe is refused before anything is
        read, so nothing blocks. A file that cannot be read raises the OSError subclass its
        errno selects (FileNotFoundError, IsADirectoryError, PermissionError; a device or pipe:
        OSError with errno EINVAL), with `errno` and `filename`; bytes that are not UTF-8 raise
        UnicodeDecodeError naming the path and the offset. Either way nothing is logged and no
        tree is created.
        """
        _check_kind("file_path", file_path, str)
        _check_kind("tree_id", tree_id, str, allow_none=True)
        return self._native.create_tree_from_file(file_path, tree_id)

    def get_tree_ids(self):
        """The ids of all trees, in creation order (a new list)."""
        return self._native.get_tree_ids()

    # --- the command channel ------------------------------------------------------------------

    def _check_tree_exists(self, tree_id):
        """Returns if `tree_id` names a tree; else logs and raises ValueError "行为树ID X 不存在"."""
        _check_kind("tree_id", tree_id, str)
        self._native._check_tree_exists(tree_id)

    def _send_command(self, tree_id, command_type, params=None):
        """Sends one command to the tree's worker and returns its result value.

        `params` is a dict with str keys, or None. A failed command is logged and raised as
        RuntimeError "行为树 X 执行命令 Y 失败: ...", whose __cause__ is what the operation raised
        (what a tick function raised is that very exception object).
        """
        _check_kind("tree_id", tree_id, str)
        _check_kind("command_type", command_type, str)
        _check_kind("params", params, dict, allow_none=True)
        return self._native._send_command(tree_id, command_type, params)

    def _process_command(self, engine, command, tree_id, result):
        """Carries out one command record on `engine` (a SequentialEngine holding a tree) and
        stores its result record (result_type, result_tree_id, result_value) as element 0 of the
        list `result`: (the command type, `tree_id`, the operation's result) on success; for an
        unknown type "未知命令类型: " + type and for a failed operation "处理命令 " + type +
        " 时发生错误: " + error, logged at error level and stored as ("error", `tree_id`, that
        text). `command` is a dict with `type` (a record without one reads as "None") and
        `params` (a dict; absent means an empty one, anything else fails the types that read a
        parameter). Arguments of the wrong kind raise TypeError naming them, before anything
        else happens.
        """
        _check_kind("engine", engine, _SequentialEngine)
        _check_kind("command", command, dict)
        _check_kind("tree_id", tree_id, str)
        _check_kind("result", result, list)
        record = _native.process_command(engine, command, tree_id)
        if result:
            result[0] = record
        else:
            result.append(record)

    def tick_once(self, tree_id):
        """Ticks the tree once and returns the NodeStatus of that tick."""
        _check_kind("tree_id", tree_id, str)
        return self._send_command(tree_id, "tick_once")

    def tick_until_failure(self, tree_id):
        """Ticks the tree until it fails; returns the number of ticks run.

        Between RUNNING ticks the loop waits, using no CPU, until a node emits a wake-up (or
        `emit_wake_up_signal` is called), a timer of the tree is due, or the tree's tick period
        passes. Ctrl-C in the main thread while it waits halts the tree (which stays usable) and
        raises KeyboardInterrupt; `stop_tree` ends it with RuntimeError, the tree halted."""
        _check_kind("tree_id", tree_id, str)
        return _check_result(int, self._send_command(tree_id, "tick_until_failure"))

    def tick_until_success(self, tree_id):
        """Ticks the tree until it succeeds; returns the number of ticks run (waits between
        RUNNING ticks, Ctrl-C and stops as for `tick_until_failure`)."""
        _check_kind("tree_id", tree_id, str)
        return _check_result(int, self._send_command(tree_id, "tick_until_success"))

    def tick_n_times(self, tree_id, n):
        """Ticks the tree `n` times; returns one NodeStatus per tick."""
        _check_kind("tree_id", tree_id, str)
        _check_kind("n", n, int)
        params = {"n": int(n)}  # a bool, or an int subclass, as the plain int it stands for
        return _check_result(list, self._send_command(tree_id, "tick_n_times", params))

    def get_tree_status(self, tree_id):
        """The tree's state as a dict (status, tick count, root, nodes)."""
        _check_kind("tree_id", tree_id, str)
        return _check_result(dict, self._send_command(tree_id, "get_status"))

    def get_blackboard_data(self, tree_id, key):
        """The value stored under `key` in the tree's blackboard (None when never written); a
        Python object comes back as the very object that was stored."""
        _check_kind("tree_id", tree_id, str)
        _check_kind("key", key, str)
        return self._send_command(tree_id, "get_blackboard_data", {"key": key})

    def set_blackboard_data(self, tree_id, key, value):
        """Stores `value`, of any kind, under `key` in the tree's blackboard."""
        _check_kind("tree_id", tree_id, str)
        _check_kind("key", key, str)
        self._send_command(tree_id, "set_blackboard_data", {"key": key, "value": value})

    def get_all_blackboard_data(self, tree_id):
        """All entries of the tree's blackboard, as a dict."""
        _check_kind("tree_id", tree_id, str)
        return _check_result(dict, self._send_command(tree_id, "get_all_blackboard_data"))

    def reset_tree(self, tree_id):
        """Halts running nodes and sets every node to IDLE; the blackboard is kept."""
        _check_kind("tree_id", tree_id, str)
        self._send_command(tree_id, "reset")

    def set_tick_period(self, tree_id, seconds):
        """Sets the tree's tick period: the longest wait, in seconds, between two RUNNING ticks
        of its tick loops (0: tick again at once). Takes effect from the tree's next wait."""
        _check_kind("tree_id", tree_id, str)
        self._native.set_tick_period(tree_id, seconds)

    def emit_wake_up_signal(self, tree_id):
        """Makes the tree's tick loop, waiting between RUNNING ticks, tick at once (one emitted
        while no loop waits ends the next wait at once). Waits for nothing."""
        _check_kind("tree_id", tree_id, str)
        self._native.emit_wake_up_signal(tree_id)

    # --- stopping -----------------------------------------------------------------------------

    def stop_tree(self, tree_id):
        """Ends the tree's worker, waits for it and removes the tree; logs "停止行为树: " + id."""
        _check_kind("tree_id", tree_id, str)
        self._native.stop_tree(tree_id)

    def stop_all_trees(self):
        """Stops every tree in creation order, then logs "停止所有行为树"."""
        self._native.stop_all_trees()

    # --- observation (docs/observe.md) ---------------------------------------------------------

    def add_observer(self, callback, tree_id=None):
        """Calls ``callback(record)`` for every status change of every node of every tree (or of
        the tree ``tree_id`` only), on the tree's worker thread after each tick step. ``record``
        is a dict: tree_id, node_id, name, registration_id, path, previous and status
        (NodeStatus), time (as time.monotonic() gives it) and wall_time (as time.time()).
        Returns an id for remove_observer. The callback may use the engine: a command to its own
        tree raises RuntimeError, others are served. An exception it raises is logged and the
        observer removed."""
        if tree_id is not None:
            _check_kind("tree_id", tree_id, str)
        return self._native.add_observer(callback, tree_id)

    def remove_observer(self, observer_id):
        """Detaches the observer; False when the id is unknown."""
        _check_kind("observer_id", observer_id, int)
        return self._native.remove_observer(observer_id)

    def start_recording(self, path):
        """Records every transition of every tree to the SQLite database at ``path`` (tables
        trees, nodes, transitions; see docs/observe.md), off the tick path. Raises RuntimeError
        when the file cannot be written or a recording runs already."""
        self._native.start_recording(path)

    def stop_recording(self):
        """Writes what is queued and closes the database; nothing when no recording runs."""
        self._native.stop_recording()

    def serve_monitor(self, host="127.0.0.1", port=0):
        """Starts the live monitor (an HTTP server; port 0 picks a free port) and returns its URL,
        e.g. "http://127.0.0.1:PORT/"."""
        _check_kind("host", host, str)
        _check_kind("port", port, int)
        return self._native.serve_monitor(host, port)

    def stop_monitor(self):
        """Stops the live monitor; nothing when none runs."""
        self._native.stop_monitor()

    def tree_to_dot(self, tree_id):
        """The tree as Graphviz text (node kinds, names, ports and current statuses)."""
        _check_kind("tree_id", tree_id, str)
        return self._native.tree_to_dot(tree_id)


def main():
    """The demonstration: two trees from one XML text, each making an agent on an Ollama model
    and running it in streaming mode on its own user input; prints both streamed answers.
    The model server is the one OLLAMA_HOST names (default http://127.0.0.1:11434)."""
    from kelmora import llm

    # The two action node classes of the demonstration: kelmora.llm's, whose ticks are C++.
    class CreateAgentOllama(llm.CreateAgentOllama):
        """Makes an agent on Ollama(id=model_id) with the given description, markdown on."""

    class GetStreamResponse(llm.GetStreamResponse):
        """Runs the agent on user_input in streaming mode; leaves the stream unread."""

    engine = ThreadEngine()
    engine.register_action_class(CreateAgentOllama, "CreateAgentOllama")
    engine.register_action_class(GetStreamResponse, "GetStreamResponse")

    xml_text = (
        "\n"
        '    <root BTCPP_format="4">\n'
        '        <BehaviorTree ID="MainTree">\n'
        '            <Sequence name="root_sequence">\n'
        '                <CreateAgentOllama model_id="qwen3:30b" agent="{agent}" '
        'description="You are an enthusiastic news reporter with a flair for storytelling!"/>\n'
        "                    <KeepRunningUntilFailure>  \n"
        "                        <Sequence>\n"
        "                            <GetStreamResponse \n"
        '                            \tagent="{agent}" \n'
        '                            \tinstructions="{instructions}" \n'
        '                            \tuser_input="{user_input}" \n'
        '                            \tresponse_stream="{response_stream}"/>     \n'
        "                        </Sequence>\n"
        "                    </KeepRunningUntilFailure>\n"
        "            </Sequence>\n"
        "        </BehaviorTree>\n"
        "    </root>\n"
        "    "
    )

    tree_id0 = engine.create_tree_from_text(xml_text, "tree0")
    tree_id1 = engine.create_tree_from_text(xml_text, "tree1")

    for tree_id, user_input in ((tree_id0, "中国上海的新闻"), (tree_id1, "中国北京的新闻")):
        engine.set_blackboard_data(tree_id, "user_input", user_input)
        status = engine.tick_once(tree_id)  # noqa: F841 (kept, not looked at)
        response_stream = engine.get_blackboard_data(tree_id, "response_stream")
        for response in response_stream:
            print(response.content, end="", flush=True)
        print()

    engine.stop_all_trees()


if __name__ == "__main__":
    main()
