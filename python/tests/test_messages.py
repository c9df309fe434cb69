"""Error texts and log lines carry their message whatever it holds: bytes that are not UTF-8
(a surrogate-escaped file name, a character reference to a surrogate) show escaped, and an
exception without text is named by its type.
"""

import os

import pytest

from conftest import CPP_TREE, action_tree
from kelmora.core import BehaviorTreeFactory, NodeStatus
from kelmora.engine.sequential_engine import SequentialEngine

FILE_NAME = os.fsdecode(b"caf\xe9.xml")  # a file name that is not UTF-8, as os.listdir gives it


class Silent(Exception):
    def __str__(self):
        return ""


class Unprintable(Exception):
    def __str__(self):
        raise ValueError("no text")


# Tick bodies, compiled here (outside pytest's assertion rewriting, which would give `assert` a
# text of its own), and the text each failure ends with.
TICK_BODIES = {
    "surrogate-escaped file name": ('raise ValueError("cannot open " + FILE_NAME)',
                                    "cannot open caf\\xe9.xml"),
    "lone surrogate": ('raise ValueError("half \\ud800 a pair")', "half \\ud800 a pair"),
    "failed assert": ("x, y = 1, 2\nassert x == y", "AssertionError"),
    "bare raise": ("raise ValueError", "ValueError"),
    "empty text": ('raise ValueError("")', "ValueError"),
    "blank text": ('raise RuntimeError("  ")', "RuntimeError"),
    "bare KeyError": ("raise KeyError", "KeyError"),
    "empty __str__": ("raise Silent()", "Silent"),
    "failing __str__": ("raise Unprintable()", "Unprintable"),
}


def make_tick(body):
    namespace = {"FILE_NAME": FILE_NAME, "Silent": Silent, "Unprintable": Unprintable}
    source = "def tick(node):\n" + "".join("    " + line + "\n" for line in body.split("\n"))
    exec(compile(source, "<tick>", "exec"), namespace)
    return namespace["tick"]


@pytest.mark.parametrize("case", list(TICK_BODIES))
def test_thread_engine_errors_and_log_lines_carry_the_ticks_message(engine, log_lines, case):
    body, text = TICK_BODIES[case]
    engine.register_action_behavior("A", make_tick(body), [])
    tree = engine.create_tree_from_text(action_tree("<A/>"), "t")
    del log_lines[:]
    with pytest.raises(RuntimeError) as raised:
        engine.tick_once(tree)
    worker = "处理命令 tick_once 时发生错误: node 'A' (A): " + text
    assert str(raised.value) == "行为树 t 执行命令 tick_once 失败: " + worker
    assert log_lines == ["ERROR|" + worker, "ERROR|" + str(raised.value)]


@pytest.mark.parametrize("case", list(TICK_BODIES))
def test_sequential_engine_errors_carry_the_ticks_message(case):
    body, text = TICK_BODIES[case]
    engine = SequentialEngine()
    engine.register_action_behavior("A", make_tick(body), [])
    engine.create_tree_from_text(action_tree("<A/>"))
    with pytest.raises(RuntimeError) as raised:
        engine.tick_once()
    assert str(raised.value) == "node 'A' (A): " + text


SURROGATE_REFERENCE = ('<root BTCPP_format="4">&#xD800;<BehaviorTree ID="T"><AlwaysSuccess/>'
                       '</BehaviorTree></root>')
QUOTED = "<xml text>:1: unexpected text '\\xed\\xa0\\x80' in <root>"


def test_build_error_quoting_bytes_that_are_not_utf8_shows_them_escaped(engine, log_lines):
    with pytest.raises(RuntimeError) as raised:
        SequentialEngine().create_tree_from_text(SURROGATE_REFERENCE)
    assert str(raised.value) == QUOTED
    with pytest.raises(RuntimeError) as raised:
        BehaviorTreeFactory().create_tree_from_text(SURROGATE_REFERENCE)
    assert str(raised.value) == QUOTED

    tree = engine.create_tree_from_text(SURROGATE_REFERENCE, "t")
    with pytest.raises(RuntimeError) as raised:
        engine.tick_once(tree)
    worker = "行为树线程 t 发生错误: " + QUOTED
    assert str(raised.value) == "行为树 t 执行命令 tick_once 失败: " + worker
    # The worker fails while it builds, which may be before or after the creation's line.
    assert sorted(log_lines[1:]) == sorted(
        ["INFO|创建行为树: t", "ERROR|" + worker, "ERROR|" + str(raised.value)])
    assert log_lines[-1] == "ERROR|" + str(raised.value)


def test_every_engine_reads_a_tree_file_that_is_not_utf8_alike(tmp_path):
    path = tmp_path / "latin1.xml"
    path.write_bytes(b'<root BTCPP_format="4">\xe9</root>')
    for create in (SequentialEngine().create_tree_from_file,
                   BehaviorTreeFactory().create_tree_from_file):
        with pytest.raises(UnicodeDecodeError) as raised:
            create(str(path))
        assert raised.value.object == b"\xe9"
        assert "latin1.xml' is not valid UTF-8 (byte 0xe9 at offset 23)" in str(raised.value)


def test_file_names_that_are_not_utf8_are_opened_and_named_escaped(engine, tmp_path):
    path = os.path.join(str(tmp_path), FILE_NAME)
    missing = os.path.join(str(tmp_path), "missing-" + FILE_NAME)
    with open(path, "w", encoding="utf-8") as file:
        file.write(CPP_TREE)

    sequential = SequentialEngine()
    sequential.create_tree_from_file(path)
    assert sequential.tick_once() is NodeStatus.SUCCESS
    assert BehaviorTreeFactory().create_tree_from_file(path).tickOnce() is NodeStatus.SUCCESS
    assert engine.tick_once(engine.create_tree_from_file(path, "t")) is NodeStatus.SUCCESS

    shown = os.fsencode(missing).decode("utf-8", "backslashreplace")
    for create in (sequential.create_tree_from_file, engine.create_tree_from_file):
        with pytest.raises(FileNotFoundError) as raised:
            create(missing)
        assert raised.value.filename == missing
        assert "cannot read tree file '%s'" % shown in str(raised.value)


def test_node_names_that_are_not_utf8_reach_a_tick_as_surrogate_escapes(engine):
    seen = []

    def tick(node):
        seen.append((os.fsencode(node.name), repr(node)))
        return NodeStatus.SUCCESS

    engine.register_action_behavior("Py", tick, [])
    tree = engine.create_tree_from_text(action_tree('<Py name="a&#xD800;"/>'))
    assert engine.tick_once(tree) is NodeStatus.SUCCESS
    assert seen == [(b"a\xed\xa0\x80", "<TreeNode a\\xed\\xa0\\x80 (Py)>")]
