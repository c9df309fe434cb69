"""Scripts in trees from Python: condition attributes, the script nodes, enum names, editor
metadata; tree definitions registered from texts, files and folders; trees created by ID."""

import enum
import pathlib

import pytest

from conftest import action_tree
from kelmora.core import BehaviorTreeFactory, NodeStatus
from kelmora.engine.sequential_engine import SequentialEngine

S, F, R, K = NodeStatus.SUCCESS, NodeStatus.FAILURE, NodeStatus.RUNNING, NodeStatus.SKIPPED


def doc(*trees, main=None):
    attributes = ' main_tree_to_execute="%s"' % main if main else ""
    return '<root BTCPP_format="4"%s>%s</root>' % (attributes, "".join(trees))


def tree(tree_id, body):
    return '<BehaviorTree ID="%s">%s</BehaviorTree>' % (tree_id, body)


def scripted(statuses, trace, name):
    """A tick function returning the statuses in turn (the last one repeats), noting `name`."""
    remaining = list(statuses)

    def tick(node):
        trace.append(name)
        return remaining.pop(0) if len(remaining) > 1 else remaining[0]

    return tick


# (name, tree body, {action: statuses}, [(entries set before, status, actions ticked)], entries)
CONDITION_CASES = [
    ("skip_if", '<Sequence><A _skipIf="x == 1"/><B/></Sequence>', {"A": [S], "B": [F]},
     [({"x": 1}, F, ["B"]), ({"x": 0}, F, ["A", "B"])], {}),
    ("failure_if_runs_failure_posts",
     '<Sequence><Script code="log := \'\'"/><A _failureIf="go" _onFailure="log := log .. \'F\'"'
     ' _post="log := log .. \'P\'"/></Sequence>', {"A": [S]},
     [({"go": True}, F, [])], {"log": "FP"}),
    ("success_if_before_skip_if", '<A _successIf="true" _skipIf="true" _onSuccess="s := 1"/>',
     {"A": [F]}, [({}, S, [])], {"s": 1}),
    ("while_halts_a_running_node",
     '<A _while="x &lt; 3" _onHalted="h := \'halted\'" _post="p := 1"/>', {"A": [R]},
     [({"x": 1}, R, ["A"]), ({"x": 2}, R, ["A"]), ({"x": 3}, K, [])], {"h": "halted", "p": None}),
    ("start_conditions_are_not_rechecked_while_running", '<A _skipIf="x == 1"/>',
     {"A": [R, S]}, [({"x": 0}, R, ["A"]), ({"x": 1}, S, ["A"]), ({}, K, [])], {}),
    ("editor_metadata_is_ignored",
     '<Sequence _collapsed="true" _description="d" _uid="7" _fullpath="a/b">'
     '<A _foo="x" _pos="1,2"/></Sequence>', {"A": [S]}, [({}, S, ["A"])], {}),
    ("script_nodes", '<Sequence><Script code="a := 2 + 3 * 4; b := a > 10 ? \'big\' : \'small\'"/>'
     '<ScriptCondition code="b == \'big\'"/><Precondition if="a == 14" else="FAILURE"><A/>'
     '</Precondition></Sequence>', {"A": [S]}, [({}, S, ["A"])], {"a": 14.0, "b": "big"}),
    ("precondition_else", '<Precondition if="ready" else="SKIPPED"><A/></Precondition>',
     {"A": [S]}, [({"ready": False}, K, []), ({"ready": True}, S, ["A"])], {}),
]


@pytest.mark.parametrize("name, body, actions, ticks, entries", CONDITION_CASES,
                         ids=[case[0] for case in CONDITION_CASES])
def test_condition_attributes_and_script_nodes(name, body, actions, ticks, entries):
    engine = SequentialEngine()
    trace = []
    for action, statuses in actions.items():
        engine.register_action_behavior(action, scripted(statuses, trace, action), [])
    engine.create_tree_from_text(doc(tree("T", body)))
    for before, status, ticked in ticks:
        for key, value in before.items():
            engine.set_blackboard_data(key, value)
        del trace[:]
        assert engine.tick_once() == status
        assert trace == ticked
    for key, value in entries.items():
        assert engine.get_blackboard_data(key) == value


@pytest.mark.parametrize("body, message", [
    ('<Script code="a := "/>',
     "<xml text>:1: node 'Script' (Script): attribute 'code': Expected operand"),
    ('<AlwaysSuccess _skipIf="x ==="/>',
     "<xml text>:1: node 'AlwaysSuccess' (AlwaysSuccess): attribute '_skipIf': Expected operand"),
    ('<AlwaysSuccess _onSucess="x := 1"/>',
     "unknown attribute '_onSucess': did you mean '_onSuccess'?"),
    ('<AlwaysSuccess _skipif="true"/>', "did you mean '_skipIf'?"),
])
def test_scripts_that_do_not_parse_and_typos_fail_the_build(body, message):
    engine = SequentialEngine()
    with pytest.raises(RuntimeError) as error:
        engine.create_tree_from_text(doc(tree("T", body)))
    assert message in str(error.value)
    assert not engine.has_tree


def test_a_failing_script_fails_the_tick_naming_node_and_attribute():
    engine = SequentialEngine()
    engine.create_tree_from_text(doc(tree("T", '<AlwaysSuccess name="ok" _post="n += 1"/>')))
    with pytest.raises(RuntimeError, match=r"node 'ok' \(AlwaysSuccess\): attribute '_post': "
                                           r"Script 'n \+= 1' failed at position 0"):
        engine.tick_once()


class Mode(enum.IntEnum):
    IDLE = 0
    BUSY = 7


class Colour(enum.Enum):
    RED = 1
    GREEN = 2


@pytest.mark.parametrize("make", [BehaviorTreeFactory, SequentialEngine],
                         ids=["factory", "sequential_engine"])
def test_enum_names_by_name_or_whole_enum(make):
    holder = make()
    holder.register_scripting_enum("LIMIT", 10)
    holder.register_scripting_enum(Mode)
    holder.register_scripting_enum(Colour)
    text = doc(tree("T", '<Sequence><Script code="m := BUSY"/>'
                         '<ScriptCondition code="m == 7 &amp;&amp; GREEN == 2 &amp;&amp; '
                         'LIMIT &gt; IDLE"/></Sequence>'))
    if make is BehaviorTreeFactory:
        assert holder.create_tree_from_text(text).tickOnce() == S
    else:
        holder.create_tree_from_text(text)
        assert holder.tick_once() == S


@pytest.mark.parametrize("args, error", [
    (("RED", 2), ValueError),           # RED is 1 already
    (("9lives", 1), ValueError),
    (("X", 1.5), TypeError),
    (("X", True), TypeError),
    (("X",), TypeError),
    ((42,), TypeError),
    ((Colour, 3), TypeError),
])
def test_enum_registration_errors(engine, log_lines, args, error):
    engine.register_scripting_enum("RED", 1)
    del log_lines[:]
    with pytest.raises(error):
        engine.register_scripting_enum(*args)
    assert log_lines == []


class Strings(enum.Enum):
    A = "a"


def test_an_enum_with_values_that_are_not_ints_is_refused_whole(engine):
    with pytest.raises(TypeError, match="Strings.A"):
        engine.register_scripting_enum(Strings)


def test_thread_engine_replays_enums_and_definitions_and_creates_by_name(engine, log_lines,
                                                                          tmp_path):
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "inner.xml").write_text(
        doc(tree("Inner", '<ScriptCondition code="state == BUSY"/>')))
    (tmp_path / "main.xml").write_text(doc(tree("Main", '<Sequence><Work/>'
                                                        '<SubTree ID="Inner" state="{s}"/>'
                                                        '</Sequence>')))
    (tmp_path / "notes.txt").write_text("not a tree")
    engine.register_scripting_enum(Mode)

    def work(node):
        return S

    engine.register_action_behavior("Work", work, [])
    assert engine.register_tree_folder(tmp_path) == ["Main", "Inner"]
    del log_lines[:]
    assert engine.create_tree("Main", "m") == "m"
    engine.set_blackboard_data("m", "s", 7)
    assert engine.tick_once("m") == S
    record = engine.trees["m"]
    assert record.tree_name == "Main"
    assert pathlib.Path(record.file_path) == tmp_path / "main.xml"
    assert "BehaviorTree ID=\"Main\"" in record.xml_text
    assert engine.trees[engine.create_tree_from_text(action_tree("<Work/>"))].tree_name is None
    with pytest.raises(RuntimeError, match="cannot create tree 'Nope': no BehaviorTree with this "
                                           "ID is registered \\(registered: Inner, Main\\)"):
        engine.create_tree("Nope")
    with pytest.raises(TypeError):
        engine.create_tree(42)


def test_registration_logs_and_refusals(engine, log_lines, tmp_path):
    assert engine.register_tree_text(doc(tree("A", "<AlwaysSuccess/>"),
                                         tree("B", "<AlwaysFailure/>"))) == ["A", "B"]
    engine.register_scripting_enum("RED", 1)
    assert log_lines[1:] == ["INFO|注册行为树定义: A", "INFO|注册行为树定义: B",
                             "INFO|注册脚本枚举: RED = 1"]
    del log_lines[:]
    path = tmp_path / "dup.xml"
    path.write_text(doc(tree("A", "<AlwaysFailure/>")))
    with pytest.raises(RuntimeError, match="BehaviorTree 'A' is defined twice among the "
                                           "registered tree definitions: in <xml text>:1 and in "
                                           + str(path)):
        engine.register_tree_file(str(path))
    with pytest.raises(FileNotFoundError):
        engine.register_tree_file(str(tmp_path / "missing.xml"))
    with pytest.raises(FileNotFoundError, match="cannot read tree folder"):
        engine.register_tree_folder(str(tmp_path / "missing"))
    with pytest.raises(TypeError):
        engine.register_tree_text(b"<root/>")
    assert log_lines == []


def test_sequential_engine_and_factory_create_registered_trees(tmp_path):
    (tmp_path / "lib.xml").write_text(doc(tree("Leaf", '<Script code="@done := true"/>')))
    factory = BehaviorTreeFactory()
    assert factory.register_tree_file(tmp_path / "lib.xml") == ["Leaf"]
    assert factory.registered_tree_ids() == ["Leaf"]
    assert factory.create_tree("Leaf").tickOnce() == S
    engine = SequentialEngine()
    engine.register_tree_folder(str(tmp_path))
    engine.register_tree_text(doc(tree("Top", '<SubTree ID="Leaf"/>')))
    engine.create_tree("Top")
    assert engine.tick_once() == S
    assert engine.get_blackboard_data("done") == 1.0
    with pytest.raises(RuntimeError, match="SubTree refers to unknown BehaviorTree 'Gone' "
                                           "\\(not in this document, nor in the registered tree "
                                           "definitions: "):
        engine.create_tree_from_text(doc(tree("X", '<SubTree ID="Gone"/>')))


@pytest.mark.parametrize("body, steps", [
    ('<LoopInt queue="{q}" value="{v}"><Script code="total := total + v"/></LoopInt>',
     [({"q": "1;2;3", "total": 0}, R), ({}, R), ({}, R), ({}, S)]),
    ('<WasEntryUpdated entry="{x}"/>', [({}, F), ({"x": "a"}, S), ({}, F), ({"x": "a"}, S)]),
    ('<SkipUnlessUpdated entry="x"><UnsetBlackboard key="x"/></SkipUnlessUpdated>',
     [({}, K), ({"x": 1}, S), ({}, K)]),
])
def test_blackboard_nodes_see_entries_written_from_python(body, steps):
    engine = SequentialEngine()
    engine.create_tree_from_text(doc(tree("T", body)))
    for entries, status in steps:
        for key, value in entries.items():
            engine.set_blackboard_data(key, value)
        assert engine.tick_once() == status
    if "LoopInt" in body:
        assert engine.get_blackboard_data("total") == 6
