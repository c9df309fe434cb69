"""loguru handlers that use the engine: no engine lock is held while a line is written, so a
handler may command the tree it is told about. Each case runs in its own interpreter, under a
time limit (a handler that deadlocked would hang the interpreter)."""

import textwrap

from conftest import run_python

SCRIPT = textwrap.dedent("""
    from loguru import logger
    from kelmora.core import NodeStatus
    from kelmora.engine.trigger.mthread import ThreadEngine

    def tree(action):
        return ('<root BTCPP_format="4"><BehaviorTree ID="T"><%s/></BehaviorTree></root>'
                % action)

    engine = ThreadEngine()
    seen = []

    # loguru holds a handler's lock while the handler runs: what the handler does must not log
    # again (a tick of "bad" would), or loguru waits for itself.
    def react(message):
        text = message.record["message"]
        if text == "创建行为树: good":
            seen.append(("created", "good", engine.tick_once("good") is NodeStatus.SUCCESS))
        elif text.startswith("创建行为树: "):
            name = text[len("创建行为树: "):]
            seen.append(("created", name, engine.get_tree_status(name)["tick_count"]))
        elif text.startswith("行为树 ") and " 执行命令 " in text:
            name = text[len("行为树 "):text.index(" 执行命令 ")]
            seen.append(("failed", name, engine.get_tree_status(name)["tick_count"]))
        elif text.startswith("处理命令 "):
            seen.append(("worker", "bad", engine.get_tree_status("bad")["tick_count"]))

    def boom(node):
        raise ValueError("boom")

    engine.register_action_behavior("Boom", boom, [])
    logger.add(react, format="{message}")
    engine.create_tree_from_text(tree("AlwaysSuccess"), "good")
    engine.create_tree_from_text(tree("Boom"), "bad")
    try:
        engine.tick_once("bad")
    except RuntimeError as error:
        seen.append(("raised", "bad", str(error).startswith("行为树 bad 执行命令 tick_once 失败")))
    print("SEEN", seen)
    engine.stop_all_trees()
    print("DONE", flush=True)
""")


def test_handlers_command_the_tree_of_the_line_they_are_told_about():
    result = run_python(SCRIPT)
    assert result.returncode == 0, result.stdout + result.stderr
    expected = [("created", "good", True), ("created", "bad", 0), ("worker", "bad", 1),
                ("failed", "bad", 1), ("raised", "bad", True)]
    assert "SEEN %s" % expected in result.stdout, result.stdout + result.stderr
    assert "DONE" in result.stdout
