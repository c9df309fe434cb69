"""Trees whose Python ticks call each other: the call that would close a cycle of waiting trees
fails at once with a RuntimeError naming the cycle, the others are served, and stopping and the
interpreter's exit always end. Each case runs in its own interpreter, under a time limit."""

import textwrap

import pytest

from conftest import run_python

PRELUDE = textwrap.dedent("""
    import threading
    from kelmora.core import NodeStatus
    from kelmora.engine.trigger.mthread import ThreadEngine

    def tree(action):
        return ('<root BTCPP_format="4"><BehaviorTree ID="T"><%s/></BehaviorTree></root>'
                % action)

    engine = ThreadEngine()
    errors = {}

    def calling(name, call):
        def tick(node):
            try:
                call()
            except RuntimeError as error:
                errors[name] = str(error)
            return NodeStatus.SUCCESS
        return tick
""")

CASES = {
    "two trees": ("""
        engine.register_action_behavior("A", calling("a", lambda: engine.tick_once("b")), [])
        engine.register_action_behavior("B", calling("b", lambda: engine.tick_once("a")), [])
        for name in "ab":
            engine.create_tree_from_text(tree(name.upper()), name)
        assert engine.tick_once("a") is NodeStatus.SUCCESS
    """, {"b": "行为树 a 执行命令 tick_once 失败: 会形成循环等待 b -> a -> b"}),
    "three trees": ("""
        engine.register_action_behavior("A", calling("a", lambda: engine.tick_once("b")), [])
        engine.register_action_behavior("B", calling("b", lambda: engine.tick_once("c")), [])
        engine.register_action_behavior("C", calling("c", lambda: engine.get_tree_status("a")), [])
        for name in "abc":
            engine.create_tree_from_text(tree(name.upper()), name)
        assert engine.tick_once("a") is NodeStatus.SUCCESS
    """, {"c": "行为树 a 执行命令 get_status 失败: 会形成循环等待 c -> a -> b -> c"}),
    "a stop inside the cycle": ("""
        engine.register_action_behavior("A", calling("a", lambda: engine.stop_tree("b")), [])
        engine.register_action_behavior("B", calling("b", lambda: engine.tick_once("a")), [])
        for name in "ab":
            engine.create_tree_from_text(tree(name.upper()), name)
        assert engine.tick_once("b") is NodeStatus.SUCCESS
        assert engine.get_tree_ids() == ["a", "b"]
    """, {"a": "停止行为树 b 失败: 会形成循环等待 a -> b -> a"}),
    "callers in three threads": ("""
        engine.register_action_behavior("A", calling("a", lambda: engine.tick_once("b")), [])
        engine.register_action_behavior("B", calling("b", lambda: engine.tick_once("a")), [])
        for name in "ab":
            engine.create_tree_from_text(tree(name.upper()), name)
        threads = [threading.Thread(target=engine.tick_once, args=(name,)) for name in "aba"]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        errors = {"any": "refused"} if errors else {}
    """, {"any": "refused"}),
}


@pytest.mark.parametrize("case", list(CASES))
@pytest.mark.parametrize("ending", ["stop_all_trees", "interpreter exit"])
def test_a_call_closing_a_cycle_fails_and_everything_ends(case, ending):
    body, expected = CASES[case]
    code = PRELUDE + textwrap.dedent(body) + textwrap.dedent("""
        print("ERRORS", sorted(errors.items()))
        if ENDING == "stop_all_trees":
            engine.stop_all_trees()
            assert engine.get_tree_ids() == []
        print("DONE", flush=True)
    """)
    result = run_python("ENDING = %r\n" % ending + code)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "ERRORS %s" % sorted(expected.items()) in result.stdout
    assert "DONE" in result.stdout
