"""The agent layer exposed from C++: Ollama, Agent, streams, and the C++ agent nodes in trees
together with Python nodes."""

import os
import socket
import threading

import pytest

from conftest import action_tree, port
from kelmora import _native
from kelmora.core import NodeStatus

pytestmark = pytest.mark.skipif(not _native.HAS_LLM, reason="built without the agent layer")

STANDIN = os.environ.get("KELMORA_STANDIN", "")
needs_standin = pytest.mark.skipif(not os.path.isfile(STANDIN),
                                   reason="KELMORA_STANDIN names no stand-in server executable")


@pytest.fixture
def standin_host(monkeypatch):
    """A running stand-in model server, named by OLLAMA_HOST."""
    import subprocess

    server = subprocess.Popen([STANDIN, "--port", "0"], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    try:
        host = server.stdout.readline().strip()[len("listening on "):]
        monkeypatch.setenv("OLLAMA_HOST", host)
        yield host
    finally:
        server.terminate()
        server.wait(timeout=30)


def test_models_and_agents_keep_their_settings_and_contact_no_server():
    from kelmora.llm import Agent, Ollama

    model = Ollama(id="qwen3:30b", host="127.0.0.1:9")
    agent = Agent(model=model, description="A reporter.", markdown=True)
    assert (model.id, model.host) == ("qwen3:30b", "http://127.0.0.1:9")
    assert agent.model is model
    assert (agent.description, agent.markdown) == ("A reporter.", True)
    assert agent.system_message.startswith("A reporter.")
    assert Agent(model=model, description="A reporter.").system_message == "A reporter."
    with pytest.raises(TypeError):
        Agent(model="qwen3:30b")  # type: ignore[arg-type]
    with pytest.raises(ValueError, match="not a host"):
        Ollama(id="m", host="ftp://not a host")


def test_a_failed_chat_is_raised_while_the_stream_is_consumed():
    from kelmora.llm import Agent, ModelServerError, Ollama

    with socket.socket() as s:  # a port where nothing listens
        s.bind(("127.0.0.1", 0))
        port_number = s.getsockname()[1]
    stream = Agent(model=Ollama(id="m", host="127.0.0.1:%d" % port_number)).run("hi")
    with pytest.raises(ModelServerError) as raised:
        list(stream)
    assert isinstance(raised.value, RuntimeError)
    assert "127.0.0.1:%d" % port_number in str(raised.value) and '"m"' in str(raised.value)
    assert (raised.value.server, raised.value.servers, raised.value.model) == (
        "http://127.0.0.1:%d" % port_number, ["http://127.0.0.1:%d" % port_number], "m")


@needs_standin
def test_a_model_on_several_servers_moves_past_one_that_cannot_be_reached(standin_host):
    from kelmora.llm import Agent, Ollama

    with socket.socket() as s:  # a port where nothing listens
        s.bind(("127.0.0.1", 0))
        dead = "127.0.0.1:%d" % s.getsockname()[1]
    model = Ollama(id="m", servers=[dead, standin_host])
    assert model.servers == ["http://" + dead, "http://" + standin_host.replace("http://", "")]
    assert model.host == "http://" + dead
    answers = ["".join(i.content for i in Agent(model=model).run("你好 %d" % n, stream=True))
               for n in range(3)]
    assert all("你好 %d" % n in answer for n, answer in enumerate(answers))
    with pytest.raises(ValueError, match="at least one server"):
        Ollama(id="m", servers=[])
    with pytest.raises(ValueError):
        Ollama(id="m", servers=[standin_host, standin_host])


@needs_standin
def test_a_stream_is_consumed_on_another_thread_than_the_one_that_made_it(standin_host):
    from kelmora.llm import Agent, Ollama

    stream = Agent(model=Ollama(id="m"), description="d").run("中国上海的新闻", stream=True)
    pieces = []
    consumer = threading.Thread(target=lambda: pieces.extend(i.content for i in stream))
    consumer.start()
    consumer.join()
    assert len(pieces) > 1 and "中国上海的新闻" in "".join(pieces)


@needs_standin
def test_python_and_cpp_agent_nodes_hand_agents_and_streams_to_each_other(engine, standin_host):
    from kelmora.llm import Agent, CreateAgentOllama, GetStreamResponse, Ollama

    made = []

    def make_agent(node):  # a Python node making the agent the C++ node runs
        made.append(Agent(model=Ollama(id="py-model"), description="from Python"))
        node.setOutput("agent", made[-1])
        return NodeStatus.SUCCESS

    def check_agent(node):  # a Python node reading the agent the C++ node made
        agent = node.getInputObject("agent")
        node.setOutput("seen", (type(agent).__name__, agent.model.id))
        return GetStreamResponse.tick(node)  # the C++ tick, called from Python

    engine.register_action_behavior("MakeAgent", make_agent, [port("agent", direction="output")])
    engine.register_action_class(CreateAgentOllama)
    engine.register_action_class(GetStreamResponse)
    engine.register_action_behavior("CheckAgent", check_agent,
                                    GetStreamResponse.ports + [port("seen", direction="output")])
    python_made = engine.create_tree_from_text(action_tree(
        '<MakeAgent agent="{agent}"/>',
        '<GetStreamResponse agent="{agent}" instructions="{i}" user_input="{input}" '
        'response_stream="{stream}"/>'))
    cpp_made = engine.create_tree_from_text(action_tree(
        '<CreateAgentOllama model_id="cpp-model" description="from C++" agent="{agent}"/>',
        '<CheckAgent agent="{agent}" instructions="{i}" user_input="{input}" '
        'response_stream="{stream}" seen="{seen}"/>'))
    for tree in (python_made, cpp_made):
        engine.set_blackboard_data(tree, "input", "hello " + tree)
        assert engine.tick_once(tree) is NodeStatus.SUCCESS

    assert engine.get_blackboard_data(python_made, "agent") is made[0]
    answer = "".join(item.content for item in engine.get_blackboard_data(python_made, "stream"))
    assert "py-model" in answer and "hello tree_0" in answer
    assert engine.get_blackboard_data(cpp_made, "seen") == ("Agent", "cpp-model")
    answer = "".join(item.content for item in engine.get_blackboard_data(cpp_made, "stream"))
    assert "cpp-model" in answer and "from C++" in answer and "hello tree_1" in answer


def test_the_cpp_stream_node_without_an_agent_fails_and_keeps_its_output(engine):
    from kelmora.llm import GetStreamResponse

    engine.register_action_class(GetStreamResponse)
    tree = engine.create_tree_from_text(action_tree(
        '<GetStreamResponse agent="{agent}" instructions="{i}" user_input="x" '
        'response_stream="{stream}"/>'))
    engine.set_blackboard_data(tree, "stream", "previous")
    engine.set_blackboard_data(tree, "agent", "not an agent")
    with pytest.raises(RuntimeError, match="holds a value of kind str"):
        engine.tick_once(tree)
    assert engine.get_blackboard_data(tree, "stream") == "previous"


def test_a_model_server_failure_in_a_tick_is_the_cause_with_its_server_and_model(engine):
    from kelmora.llm import Agent, ModelServerError, Ollama

    with socket.socket() as s:  # a port where nothing listens
        s.bind(("127.0.0.1", 0))
        port_number = s.getsockname()[1]

    def ask(node):  # runs the agent and consumes its answer inside the tick
        model = Ollama(id="qwen-test", host="127.0.0.1:%d" % port_number)
        for _ in Agent(model=model).run("hi"):
            pass
        return NodeStatus.SUCCESS

    engine.register_action_behavior("Ask", ask, [])
    tree = engine.create_tree_from_text(action_tree("<Ask/>"))
    with pytest.raises(RuntimeError) as failed:
        engine.tick_once(tree)
    cause = failed.value.__cause__
    assert isinstance(cause, ModelServerError)
    assert cause.server == "http://127.0.0.1:%d" % port_number
    assert cause.servers == [cause.server]
    assert cause.model == "qwen-test"
    assert str(cause) in str(failed.value)


def test_a_cpp_value_is_named_in_python_words(engine):
    # SetBlackboard writes the literal as a C++ string; Python users are told it holds a str.
    from kelmora.llm import GetStreamResponse

    engine.register_action_class(GetStreamResponse)
    tree = engine.create_tree_from_text(action_tree(
        '<SetBlackboard value="not an agent" output_key="agent"/>'
        '<GetStreamResponse agent="{agent}" instructions="{i}" user_input="x" '
        'response_stream="{stream}"/>'))
    with pytest.raises(RuntimeError, match="holds a value of kind str, not an agent"):
        engine.tick_once(tree)


@pytest.fixture
def slow_standin_host(monkeypatch):
    """A stand-in model server that pauses 5 ms before each piece, named by OLLAMA_HOST."""
    import subprocess

    server = subprocess.Popen([STANDIN, "--port", "0", "--piece-delay-ms", "5"],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        host = server.stdout.readline().strip()[len("listening on "):]
        monkeypatch.setenv("OLLAMA_HOST", host)
        yield host
    finally:
        server.terminate()
        server.wait(timeout=30)


def run_agent_element(suffix, question):
    return ('<RunAgent agent="{agent%s}" user_input="%s" answer="{answer%s}" '
            'thinking="{thinking%s}" error="{error%s}"/>' % (suffix, question, suffix, suffix,
                                                             suffix))


@needs_standin
def test_run_agent_streams_inside_the_tree_two_at_once_under_parallel(slow_standin_host):
    from kelmora.engine.trigger.mthread import ThreadEngine
    from kelmora.llm import Agent, Ollama, RunAgent

    engine = ThreadEngine(tick_period=3600)  # only the pieces wake the loop
    try:
        engine.register_action_class(RunAgent)
        engine.create_tree_from_text(
            action_tree('<Parallel success_count="2" failure_count="1">%s%s</Parallel>'
                        % (run_agent_element("1", "first"), run_agent_element("2", "second"))),
            "t")
        for n, model in (("1", "think:a"), ("2", "b")):
            engine.set_blackboard_data("t", "agent" + n, Agent(model=Ollama(id=model)))
        assert engine.tick_until_success("t") > 2
        data = engine.get_all_blackboard_data("t")
        assert "first" in data["answer1"] and data["answer1"].startswith("[stand-in")
        assert "second" in data["answer2"] and "model=b" in data["answer2"]
        assert data["thinking1"].startswith("[stand-in thinking 1/3]")
        assert data["thinking2"] == ""
        assert "error1" not in data and "error2" not in data
    finally:
        engine._native.close()


@needs_standin
def test_run_agent_failure_puts_the_servers_error_in_its_output(standin_host):
    from kelmora.engine.sequential_engine import SequentialEngine
    from kelmora.llm import Agent, Ollama, RunAgent

    engine = SequentialEngine()
    engine.register_action_behavior("RunAgent", RunAgent.tick, RunAgent.ports)
    engine.create_tree_from_text(action_tree(run_agent_element("", "q")))
    engine.set_blackboard_data("agent", Agent(model=Ollama(id="fail:404")))
    engine.tick_until_failure()
    assert engine.get_blackboard_data("error") == (
        'Ollama server http://%s (model "fail:404"): HTTP status 404: model "fail:404" not '
        'found, try pulling it first' % standin_host)
    assert engine.get_blackboard_data("answer") == ""
