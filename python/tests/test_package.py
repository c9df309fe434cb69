"""The package as pip builds and installs it: the in-tree build backend's metadata, and logging
without loguru."""

import importlib.util
import os
import subprocess
import sys
import textwrap
import zipfile

import pytest

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def load_backend():
    path = os.path.join(SOURCE_DIR, "python", "build_backend", "kelmora_build.py")
    found = importlib.util.spec_from_file_location("kelmora_build", path)
    assert found is not None and found.loader is not None
    backend = importlib.util.module_from_spec(found)
    found.loader.exec_module(backend)
    return backend


def test_backend_needs_nothing_to_build_and_writes_metadata(tmp_path):
    backend = load_backend()
    assert backend.get_requires_for_build_wheel() == []
    dist_info = backend.prepare_metadata_for_build_wheel(str(tmp_path))
    assert dist_info == "kelmora-0.1.0.dist-info"
    metadata = (tmp_path / dist_info / "METADATA").read_text(encoding="utf-8")
    assert "Name: kelmora\n" in metadata and "Version: 0.1.0\n" in metadata
    assert 'Requires-Dist: loguru; extra == "loguru"' in metadata


def test_backend_tags_wheels_for_the_running_interpreter():
    interpreter, abi, platform = load_backend()._python_tag()
    assert interpreter == "cp%d%d" % sys.version_info[:2]
    assert abi.startswith(interpreter) and platform and "-" not in platform


def test_backend_writes_a_wheel_whose_record_lists_every_file(tmp_path, monkeypatch):
    backend = load_backend()
    package = tmp_path / "kelmora"
    (package / "engine").mkdir(parents=True)
    (package / "__init__.py").write_text("")
    (package / "engine" / "__init__.py").write_text("x = 1\n")
    monkeypatch.setattr(backend, "_build_package", lambda: str(package))
    name = backend.build_wheel(str(tmp_path / "dist"))
    with zipfile.ZipFile(tmp_path / "dist" / name) as wheel:
        names = set(wheel.namelist())
        record = wheel.read("kelmora-0.1.0.dist-info/RECORD").decode().splitlines()
    assert {"kelmora/__init__.py", "kelmora/engine/__init__.py"} <= names
    listed = {line.split(",")[0] for line in record}
    assert listed == names


def test_without_loguru_log_lines_go_to_the_standard_logging_logger():
    script = textwrap.dedent("""
        import logging, sys
        sys.modules["loguru"] = None  # as if loguru were not installed
        lines = []
        class Keep(logging.Handler):
            def emit(self, record):
                lines.append(record.levelname + "|" + record.getMessage())
        logging.getLogger("kelmora").addHandler(Keep())
        from kelmora.engine.trigger.mthread import ThreadEngine
        engine = ThreadEngine()
        try:
            engine.tick_once("missing")
        except ValueError:
            pass
        engine.stop_all_trees()
        print("\\n".join(lines))
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=60, env=dict(os.environ))
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "INFO|初始化线程引擎", "ERROR|行为树ID missing 不存在", "INFO|停止所有行为树"]
