"""Tree files that cannot be read: every engine refuses folders, devices and pipes before reading,
so nothing blocks, and a file that cannot be read raises the error its cause calls for.

Each call runs in a fresh interpreter with a time limit, so that a call that blocks (a pipe
without writer) or reads without end (/dev/zero) fails its test instead of hanging the suite or
exhausting memory.
"""

import errno
import json
import os
import subprocess
import sys
import textwrap

import pytest

from conftest import CPP_TREE

# Prints, as JSON, what create_tree_from_file(argv[1]) raised on the engine named by argv[2],
# the log lines written meanwhile and what the engine holds afterwards. Outside AddressSanitizer
# (whose shadow memory needs a vast address space) the address space is capped, so a reader that
# never ends fails with MemoryError instead of exhausting the machine.
CALL_SCRIPT = textwrap.dedent("""
    import json, os, resource, sys
    if "asan" not in os.environ.get("LD_PRELOAD", ""):
        resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
    from loguru import logger
    logger.remove()
    lines = []
    logger.add(lambda m: lines.append(str(m).rstrip("\\n")), format="{level}|{message}")
    from kelmora.engine.sequential_engine import SequentialEngine
    from kelmora.engine.trigger.mthread import ThreadEngine

    path, kind = sys.argv[1], sys.argv[2]
    engine = ThreadEngine() if kind == "ThreadEngine" else SequentialEngine()
    del lines[:]
    report = {"raised": None}
    try:
        engine.create_tree_from_file(path)
    except Exception as e:
        report["raised"] = type(e).__name__
        report["text"] = str(e)
        report["bases"] = [k.__name__ for k in type(e).__mro__]
        report["errno"] = getattr(e, "errno", None)
        report["filename_is_path"] = getattr(e, "filename", None) == path
        report["object"] = list(getattr(e, "object", b"")) if isinstance(e, UnicodeError) else None
    report["lines"] = lines
    report["trees"] = (engine.get_tree_ids() if kind == "ThreadEngine" else engine.has_tree)
    print(json.dumps(report))
""")


def call_in_child(path, kind):
    """What create_tree_from_file(path) did on a new `kind` engine in a fresh interpreter; fails
    the test if it did not end within a minute."""
    try:
        result = subprocess.run([sys.executable, "-c", CALL_SCRIPT, path, kind],
                                capture_output=True, text=True, timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail("create_tree_from_file(%r) did not return (it blocked or read without end)"
                    % path)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    return json.loads(result.stdout)


def make_file(tmp_path, case):
    """The path for `case`, made ready under tmp_path."""
    if case == "pipe":
        path = tmp_path / "pipe.xml"
        os.mkfifo(path)  # no writer ever opens it
        return str(path)
    if case == "device":
        return "/dev/zero"
    if case == "folder":
        (tmp_path / "folder.xml").mkdir()
        return str(tmp_path / "folder.xml")
    if case == "missing":
        return str(tmp_path / "missing.xml")
    if case == "not_utf8":
        (tmp_path / "latin1.xml").write_bytes(b"<root>\xe9</root>")
        return str(tmp_path / "latin1.xml")
    raise AssertionError(case)


@pytest.mark.parametrize("engine_class", ["ThreadEngine", "SequentialEngine"])
@pytest.mark.parametrize("case, error, code", [
    ("pipe", "OSError", errno.EINVAL),
    ("device", "OSError", errno.EINVAL),
    ("folder", "IsADirectoryError", errno.EISDIR),
    ("missing", "FileNotFoundError", errno.ENOENT),
])
def test_engines_refuse_unreadable_files_unread_with_the_oserror_of_their_cause(
        tmp_path, engine_class, case, error, code):
    path = make_file(tmp_path, case)
    report = call_in_child(path, engine_class)
    assert report["raised"] == error
    assert "OSError" in report["bases"]
    assert report["errno"] == code
    assert report["filename_is_path"]
    assert "cannot read tree file '%s'" % path in report["text"]
    if case in ("pipe", "device"):
        assert "(not a regular file)" in report["text"]
    assert report["trees"] in ([], False) and report["lines"] == []


def test_thread_engine_refuses_a_file_that_is_not_utf8_naming_path_byte_and_offset(tmp_path):
    path = make_file(tmp_path, "not_utf8")
    report = call_in_child(path, "ThreadEngine")
    assert report["raised"] == "UnicodeDecodeError"
    assert "ValueError" in report["bases"]
    assert report["object"] == [0xE9]
    assert ("tree file '%s' is not valid UTF-8 (byte 0xe9 at offset 6)" % path) in report["text"]
    assert report["trees"] == [] and report["lines"] == []


def test_thread_engine_reads_a_tree_file_through_the_native_reader(engine, tmp_path, log_lines):
    path = tmp_path / "tree.xml"
    path.write_bytes(b"\xef\xbb\xbf" + CPP_TREE.replace("><", ">\r<").encode("utf-8"))
    assert engine.create_tree_from_file(str(path), "bom_and_cr") == "bom_and_cr"
    assert str(engine.tick_once("bom_and_cr")) == "NodeStatus.SUCCESS"
    assert log_lines[1:] == ["INFO|创建行为树: bom_and_cr"]
