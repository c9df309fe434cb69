"""Observers, the SQLite recorder, Graphviz pictures and the monitor's JSON, from Python."""

import json
import shutil
import sqlite3
import subprocess
import threading
import urllib.error
import urllib.request

import pytest

from conftest import CPP_TREE, action_tree, wait_until
from kelmora.core import NodeStatus

PAIR = action_tree('<AlwaysSuccess/>', '<Work name="work"/>')


def succeed(node):
    return NodeStatus.SUCCESS


def test_observers_get_one_dict_per_transition_on_the_worker_thread(engine):
    engine.register_action_behavior("Work", succeed, [])
    engine.create_tree_from_text(PAIR, "a")
    engine.create_tree_from_text(CPP_TREE, "b")
    records, threads = [], set()

    def observe(record):
        records.append(record)
        threads.add(threading.get_ident())

    only_b = []
    engine.add_observer(observe)
    engine.add_observer(only_b.append, "b")
    engine.tick_once("a")
    engine.tick_once("b")
    assert [(r["tree_id"], r["node_id"], r["path"], r["previous"], r["status"])
            for r in records if r["tree_id"] == "a"] == [
        ("a", 0, "Sequence", NodeStatus.IDLE, NodeStatus.RUNNING),
        ("a", 1, "Sequence/AlwaysSuccess", NodeStatus.IDLE, NodeStatus.SUCCESS),
        ("a", 2, "Sequence/work", NodeStatus.IDLE, NodeStatus.SUCCESS),
        ("a", 1, "Sequence/AlwaysSuccess", NodeStatus.SUCCESS, NodeStatus.IDLE),
        ("a", 2, "Sequence/work", NodeStatus.SUCCESS, NodeStatus.IDLE),
        ("a", 0, "Sequence", NodeStatus.RUNNING, NodeStatus.SUCCESS),
    ]
    assert [r["tree_id"] for r in only_b] == ["b"]
    assert set(records[2]) == {"tree_id", "node_id", "name", "registration_id", "path",
                               "previous", "status", "time", "wall_time"}
    assert records[2]["registration_id"] == "Work" and records[2]["name"] == "work"
    assert records[0]["time"] <= records[-1]["time"]
    assert threading.get_ident() not in threads


def test_an_observer_commanding_its_own_tree_is_refused_and_one_that_raises_is_removed(
        engine, log_lines):
    engine.create_tree_from_text(CPP_TREE, "a")
    engine.create_tree_from_text(CPP_TREE, "b")
    outcomes = []

    def commanding(record):
        try:
            engine.tick_once("a")
            outcomes.append("served a")
        except RuntimeError as e:
            outcomes.append("refused a: " + str(e))
        outcomes.append(engine.get_tree_status("b")["status"])

    calls = []

    def raising(record):
        calls.append(record)
        raise ValueError("observer broke")

    engine.add_observer(commanding, "a")
    engine.add_observer(raising, "a")
    assert engine.tick_once("a") == NodeStatus.SUCCESS
    assert engine.tick_once("a") == NodeStatus.SUCCESS  # no change: nobody called
    engine.reset_tree("a")
    assert outcomes[0].startswith("refused a: ") and " a " in outcomes[0]
    assert outcomes[1] == "IDLE"
    assert len(calls) == 1
    assert any(line.startswith("ERROR|observer of tree a failed and was removed: ")
               and "observer broke" in line for line in log_lines)


def test_observer_arguments_are_checked(engine):
    with pytest.raises(TypeError):
        engine.add_observer(42)
    with pytest.raises(ValueError, match="行为树ID nope 不存在"):
        engine.add_observer(print, "nope")
    assert engine.remove_observer(9999) is False
    observer_id = engine.add_observer(print)
    assert engine.remove_observer(observer_id) is True


def test_recording_writes_every_transition_to_sqlite(engine, tmp_path):
    engine.register_action_behavior("Work", succeed, [])
    engine.create_tree_from_text(PAIR, "a")
    path = tmp_path / "run.db"
    engine.start_recording(path)
    with pytest.raises(RuntimeError, match="already recording to"):
        engine.start_recording(str(tmp_path / "other.db"))
    engine.tick_n_times("a", 10)
    engine.stop_recording()
    db = sqlite3.connect(str(path))
    assert db.execute("SELECT tree_id, main_tree FROM trees").fetchall() == [("a", "T")]
    assert db.execute("SELECT node_id, path FROM nodes ORDER BY node_id").fetchall() == [
        (0, "Sequence"), (1, "Sequence/AlwaysSuccess"), (2, "Sequence/work")]
    assert db.execute("SELECT COUNT(*) FROM transitions").fetchone() == (60,)
    slowest = db.execute("""
        SELECT n.path, MAX(t.spent_us) FROM transitions t
        JOIN nodes n ON n.tree = t.tree AND n.node_id = t.node_id
        GROUP BY n.path ORDER BY n.path""").fetchall()
    assert [row[0] for row in slowest] == ["Sequence", "Sequence/AlwaysSuccess", "Sequence/work"]
    db.close()


def test_recording_to_a_file_that_cannot_be_opened_raises(engine, tmp_path):
    with pytest.raises(RuntimeError, match="cannot record to '.*': unable to open database file"):
        engine.start_recording(str(tmp_path / "missing" / "run.db"))


def test_tree_to_dot_is_graphviz_text_that_dot_renders(engine, tmp_path):
    engine.register_action_behavior("Work", succeed, [])
    engine.create_tree_from_text(PAIR, "a")
    engine.tick_once("a")
    text = engine.tree_to_dot("a")
    assert text.startswith('digraph "a" {')
    assert '[Action] Work\\n\\"work\\"\\nIDLE' in text
    assert "n0 -> n2;" in text
    if shutil.which("dot") is None:
        pytest.skip("Graphviz's dot is not installed (scripts/setup.sh installs it)")
    svg = subprocess.run(["dot", "-Tsvg"], input=text, capture_output=True, text=True,
                         timeout=60, check=True).stdout
    assert "<svg" in svg and "work" in svg


def test_the_monitor_serves_json_of_every_tree(engine):
    engine.create_tree_from_text(CPP_TREE, "a")
    engine.create_tree_from_text(CPP_TREE, "b")
    url = engine.serve_monitor()
    assert url.startswith("http://127.0.0.1:") and url.endswith("/")
    assert engine.serve_monitor() == url
    engine.tick_once("a")
    engine.tick_once("b")
    trees = json.loads(urllib.request.urlopen(url + "api/trees", timeout=30).read())
    assert [t["id"] for t in trees] == ["a", "b"]
    tree = json.loads(urllib.request.urlopen(url + "api/trees/a", timeout=30).read())
    assert tree["nodes"][0]["id"] == "AlwaysSuccess"
    assert tree["nodes"][0]["status"] == "SUCCESS"
    assert tree["nodes"][0]["success_count"] == 1
    with pytest.raises(urllib.error.HTTPError) as missing:
        urllib.request.urlopen(url + "api/trees/nope", timeout=30)
    assert missing.value.code == 404
    engine.stop_monitor()
    assert wait_until(lambda: _refused(url))


def _refused(url):
    try:
        urllib.request.urlopen(url + "api/trees", timeout=5)
        return False
    except (urllib.error.URLError, ConnectionError):
        return True
