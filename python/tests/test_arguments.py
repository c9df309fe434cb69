"""Arguments of the wrong kind: a TypeError naming the argument, before anything is logged,
sent or changed."""

import pytest

from conftest import CPP_TREE

TREE = "t"

# (operation, arguments, message); TREE names an existing tree.
CASES = [
    ("create_tree_from_text", (None,), "xml_text must be str, not NoneType"),
    ("create_tree_from_text", (b"<root/>",), "xml_text must be str, not bytes"),
    ("create_tree_from_text", (CPP_TREE, 5), "tree_id must be str or None, not int"),
    ("create_tree_from_file", (None,), "file_path must be str, not NoneType"),
    ("create_tree_from_file", ("x.xml", ["t"]), "tree_id must be str or None, not list"),
    ("_check_tree_exists", (None,), "tree_id must be str, not NoneType"),
    ("_send_command", (None, "tick_once"), "tree_id must be str, not NoneType"),
    ("_send_command", (TREE, None), "command_type must be str, not NoneType"),
    ("_send_command", (TREE, "tick_once", [("n", 1)]), "params must be dict or None, not list"),
    ("_send_command", (TREE, "tick_once", {1: 2}), "params keys must be str, not int"),
    ("tick_once", (1,), "tree_id must be str, not int"),
    ("tick_until_failure", (None,), "tree_id must be str, not NoneType"),
    ("tick_until_success", (1.5,), "tree_id must be str, not float"),
    ("tick_n_times", (None, 1), "tree_id must be str, not NoneType"),
    ("tick_n_times", (TREE, "3"), "n must be int, not str"),
    ("tick_n_times", (TREE, None), "n must be int, not NoneType"),
    ("tick_n_times", (TREE, 3.0), "n must be int, not float"),
    ("get_tree_status", (("t",),), "tree_id must be str, not tuple"),
    ("get_blackboard_data", (TREE, None), "key must be str, not NoneType"),
    ("get_blackboard_data", (None, "k"), "tree_id must be str, not NoneType"),
    ("set_blackboard_data", (TREE, 1, "v"), "key must be str, not int"),
    ("set_blackboard_data", (b"t", "k", "v"), "tree_id must be str, not bytes"),
    ("get_all_blackboard_data", (None,), "tree_id must be str, not NoneType"),
    ("reset_tree", (object(),), "tree_id must be str, not object"),
    ("stop_tree", (None,), "tree_id must be str, not NoneType"),
]


@pytest.mark.parametrize("operation, args, message", CASES,
                         ids=["%s-%d" % (c[0], i) for i, c in enumerate(CASES)])
def test_wrong_kind_is_a_type_error_naming_the_argument(engine, log_lines, operation, args,
                                                        message):
    engine.create_tree_from_text(CPP_TREE, TREE)
    engine.set_blackboard_data(TREE, "k", "before")
    del log_lines[:]
    with pytest.raises(TypeError) as raised:
        getattr(engine, operation)(*args)
    assert str(raised.value) == message
    assert log_lines == []
    assert engine.get_tree_ids() == [TREE]
    assert engine.get_blackboard_data(TREE, "k") == "before"
    assert engine.get_tree_status(TREE)["tick_count"] == 0


def test_bool_is_an_int_for_n_as_in_python(engine):
    engine.create_tree_from_text(CPP_TREE, TREE)
    assert len(engine.tick_n_times(TREE, True)) == 1


def test_str_subclasses_are_accepted_as_str(engine):
    class Name(str):
        pass

    tree = engine.create_tree_from_text(CPP_TREE, Name("sub"))
    assert engine.get_tree_ids() == ["sub"]
    engine.set_blackboard_data(Name("sub"), Name("k"), 1)
    assert engine.get_blackboard_data(tree, "k") == 1
