"""A tick function that uses the very SequentialEngine (or Tree) ticking it: building, ticking or
resetting from inside the tick is refused with an error naming the operation and changes nothing;
blackboard access works.

Each case runs in a fresh interpreter with a time limit, so that a crash (the tree freed under the
running tick) or an endless tick fails its test instead of ending or hanging the test session.
"""

import json
import subprocess
import sys
import textwrap

import pytest

SCRIPT = textwrap.dedent("""
    import json, sys
    from kelmora.core import BehaviorTreeFactory, NodeStatus
    from kelmora.engine.sequential_engine import SequentialEngine

    operation, tree_file = sys.argv[1], sys.argv[2]
    TREE = ('<root BTCPP_format="4"><BehaviorTree ID="T"><Sequence><Inner/><AlwaysSuccess/>'
            '</Sequence></BehaviorTree></root>')
    OTHER = '<root BTCPP_format="4"><BehaviorTree ID="O"><AlwaysFailure/></BehaviorTree></root>'
    with open(tree_file, "w") as f:
        f.write(OTHER)
    engine = SequentialEngine()
    factory = BehaviorTreeFactory()
    tree = []
    OPERATIONS = {
        "create_tree_from_text": lambda: engine.create_tree_from_text(OTHER),
        "create_tree_from_file": lambda: engine.create_tree_from_file(tree_file),
        "tick_once": lambda: engine.tick_once(),
        "tick_n_times": lambda: engine.tick_n_times(2),
        "tick_until_success": lambda: engine.tick_until_success(),
        "tick_until_failure": lambda: engine.tick_until_failure(),
        "reset_tree": lambda: engine.reset_tree(),
        "set_blackboard_data": lambda: engine.set_blackboard_data("k", "v"),
        "get_blackboard_data": lambda: engine.get_blackboard_data("k"),
        "tickOnce": lambda: tree[0].tickOnce(),
    }
    outcome = []

    def inner(node):
        if not outcome:
            outcome.append("calling")
            try:
                OPERATIONS[operation]()
                outcome.append("no error")
            except Exception as e:
                outcome.append("%s: %s" % (type(e).__name__, e))
        return NodeStatus.SUCCESS

    if operation == "tickOnce":
        factory.register_action_behavior("Inner", inner, [])
        tree.append(factory.create_tree_from_text(TREE))
        first = tree[0].tickOnce()
        second = tree[0].tickOnce()
        nodes = None
    else:
        engine.register_action_behavior("Inner", inner, [])
        engine.create_tree_from_text(TREE)
        first = engine.tick_once()
        status = engine.get_tree_status()
        nodes = [n["id"] for n in status["nodes"]]
        second = engine.tick_once()
    print(json.dumps({"outcome": outcome, "first": str(first), "second": str(second),
                      "nodes": nodes,
                      "blackboard": None if operation == "tickOnce"
                                    else engine.get_blackboard_data("k")}))
""")


def run_case(operation, tmp_path):
    try:
        result = subprocess.run(
            [sys.executable, "-c", SCRIPT, operation, str(tmp_path / "other.xml")],
            capture_output=True, text=True, timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail("%s from inside the engine's own tick never ended" % operation)
    assert result.returncode == 0, "exit status %d: %s" % (result.returncode, result.stderr)
    return json.loads(result.stdout)


@pytest.mark.parametrize("operation", [
    "create_tree_from_text", "create_tree_from_file", "tick_once", "tick_n_times",
    "tick_until_success", "tick_until_failure", "reset_tree",
])
def test_engine_operation_from_its_own_tick_is_refused_and_changes_nothing(tmp_path, operation):
    report = run_case(operation, tmp_path)
    assert len(report["outcome"]) == 2
    refusal = report["outcome"][1]
    assert refusal.startswith("RuntimeError: ") and operation in refusal
    # The tree is the one being ticked, unchanged, and the tick went on to its end.
    assert report["first"] == report["second"] == "NodeStatus.SUCCESS"
    assert report["nodes"] == ["Sequence", "Inner", "AlwaysSuccess"]


@pytest.mark.parametrize("operation", ["set_blackboard_data", "get_blackboard_data"])
def test_blackboard_access_from_the_engines_own_tick_works(tmp_path, operation):
    report = run_case(operation, tmp_path)
    assert report["outcome"] == ["calling", "no error"]
    assert report["first"] == report["second"] == "NodeStatus.SUCCESS"
    assert report["blackboard"] == ("v" if operation == "set_blackboard_data" else None)


def test_tree_ticked_from_its_own_tick_is_refused(tmp_path):
    report = run_case("tickOnce", tmp_path)
    assert len(report["outcome"]) == 2
    refusal = report["outcome"][1]
    assert refusal.startswith("RuntimeError: ") and "tickOnce" in refusal
    assert report["first"] == report["second"] == "NodeStatus.SUCCESS"
