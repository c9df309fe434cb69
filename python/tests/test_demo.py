"""The demonstration program `python3 -m kelmora.engine.trigger.mthread`, against kelmora's
stand-in model server, compared with the C++ demonstration."""

import ast
import os
import subprocess
import sys

import pytest

import kelmora.engine.trigger.mthread as mthread

STANDIN = os.environ.get("KELMORA_STANDIN", "")
CPP_DEMO = os.environ.get("KELMORA_DEMO", "")

needs_standin = pytest.mark.skipif(not os.path.isfile(STANDIN),
                                   reason="KELMORA_STANDIN names no stand-in server executable")


@pytest.fixture
def standin():
    """OLLAMA_HOST of a running stand-in model server."""
    server = subprocess.Popen([STANDIN, "--port", "0"], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    try:
        first = server.stdout.readline().strip()
        assert first.startswith("listening on "), first
        yield first[len("listening on "):]
    finally:
        server.terminate()
        server.wait(timeout=30)


def run_demo(command, host):
    env = dict(os.environ, OLLAMA_HOST=host)
    return subprocess.run(command, capture_output=True, env=env, timeout=120)


@needs_standin
def test_the_python_demo_prints_both_streamed_answers_and_logs_the_engine_lines(standin):
    result = run_demo([sys.executable, "-m", "kelmora.engine.trigger.mthread"], standin)
    assert result.returncode == 0, result.stderr.decode()
    lines = result.stdout.decode("utf-8").split("\n")
    assert len(lines) == 3 and lines[2] == ""
    assert "中国上海的新闻" in lines[0] and "qwen3:30b" in lines[0]
    assert "中国北京的新闻" in lines[1]
    messages = [line.split(" - ", 1)[1] for line in result.stderr.decode("utf-8").splitlines()
                if " - " in line]
    assert messages[:7] == [
        "初始化线程引擎", "注册动作节点: CreateAgentOllama", "注册动作节点: GetStreamResponse",
        "创建行为树: tree0", "创建行为树: tree1", "停止行为树: tree0", "停止行为树: tree1"]
    assert messages[7] == "停止所有行为树"


@needs_standin
@pytest.mark.skipif(not os.path.isfile(CPP_DEMO), reason="KELMORA_DEMO names no C++ demo")
def test_the_python_demo_prints_exactly_what_the_cpp_demo_prints(standin):
    python = run_demo([sys.executable, "-m", "kelmora.engine.trigger.mthread"], standin)
    cpp = run_demo([CPP_DEMO], standin)
    assert cpp.returncode == 0 and python.returncode == 0
    assert python.stdout == cpp.stdout


def test_the_demo_fails_without_a_model_server():
    # A port on which nothing listens: consuming the first stream fails, and the program ends
    # with that failure before printing anything or stopping the trees.
    with __import__("socket").socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    result = run_demo([sys.executable, "-m", "kelmora.engine.trigger.mthread"],
                      "127.0.0.1:%d" % port)
    assert result.returncode != 0
    assert result.stdout == b""
    assert b"ModelServerError" in result.stderr
    assert "停止所有行为树".encode() not in result.stderr.split(b"Traceback")[0]


def example_xml():
    """The example XML text, taken from the program entry's source."""
    source = open(mthread.__file__, encoding="utf-8").read()
    for node in ast.walk(ast.parse(source)):
        if (isinstance(node, ast.Assign) and getattr(node.targets[0], "id", "") == "xml_text"
                and isinstance(node.value, ast.Constant)):
            return node.value.value
    raise AssertionError("no xml_text literal")


def test_the_example_xml_is_the_779_character_text():
    text = example_xml()
    lines = text.split("\n")
    assert len(text) == 779 and len(lines) == 18
    assert lines[0] == "" and lines[17] == "    "
    for number in (8, 9, 10, 11):
        assert lines[number].startswith(" " * 28 + "\t") and lines[number][29] != " "
    assert [len(line) - len(line.rstrip(" ")) for line in lines[1:17]] == [
        0, 0, 0, 0, 2, 0, 1, 1, 1, 1, 5, 0, 0, 0, 0, 0]
    assert lines[4].strip() == (
        '<CreateAgentOllama model_id="qwen3:30b" agent="{agent}" description="You are an '
        'enthusiastic news reporter with a flair for storytelling!"/>')


EXAMPLE = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(
    __file__)))), "examples", "python", "serve_requests.py")


@needs_standin
def test_the_asyncio_example_answers_every_request(standin):
    questions = ["q%d" % i for i in range(5)]
    result = subprocess.run([sys.executable, EXAMPLE] + questions, capture_output=True,
                            text=True, env=dict(os.environ, OLLAMA_HOST=standin), timeout=120)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert [line.split(" -> ")[0] for line in lines] == questions
    for question, line in zip(questions, lines):
        assert line.endswith("user=" + question), line
    assert result.stderr.count("停止行为树: request-") == 5
