"""The agent layer: Ollama models, agents and their streamed answers, and the two agent action
node classes, all written in C++.

    agent = Agent(model=Ollama(id="qwen3:30b"), description="...", markdown=True)
    for item in agent.run("中国上海的新闻", stream=True):
        print(item.content, end="")

The model server is the one OLLAMA_HOST names (default http://127.0.0.1:11434), or the `host`
given to Ollama. Making a model or an agent contacts no server; a run returns its ResponseStream
at once, and a failure of the chat is raised as ModelServerError (a RuntimeError) while the
stream is consumed. Iterating a stream releases the GIL while it waits for the next piece.

CreateAgentOllama, GetStreamResponse and RunAgent are action node classes whose tick functions
are C++: registered with a ThreadEngine they tick without the GIL. RunAgent streams inside the
tree: it stays RUNNING while the answer arrives, and several run at the same time under a
Parallel.
"""

from kelmora import _native
from kelmora.nodes.action_node import SimpleActionNode

if not _native.HAS_LLM:
    raise ImportError("kelmora was built without its agent layer (KELMORA_BUILD_LLM=OFF)")

Agent = _native.Agent
Ollama = _native.Ollama
ResponseStream = _native.ResponseStream
ResponseItem = _native.ResponseItem
ModelServerError = _native.ModelServerError


class CreateAgentOllama(SimpleActionNode):
    """Inputs model_id and description (text); output agent: an Agent on Ollama(id=model_id)
    with that description and markdown on."""

    tick = _native.create_agent_ollama_tick
    ports = _native.create_agent_ollama_ports


class GetStreamResponse(SimpleActionNode):
    """Inputs agent (an Agent), instructions (unused) and user_input (text); output
    response_stream: the ResponseStream of agent.run(user_input, stream=True), unread."""

    tick = _native.get_stream_response_tick
    ports = _native.get_stream_response_ports


class RunAgent(SimpleActionNode):
    """Runs an agent inside the tree, streaming, across ticks: inputs agent (an Agent) and
    user_input (text); outputs answer (the answer so far, growing as pieces arrive), thinking
    (the model's thinking so far) and error (why the run failed). RUNNING while the answer
    streams, each piece waking the tree; SUCCESS once it is complete; FAILURE with the model
    server's error in `error`. A halt closes the connection."""

    tick = _native.run_agent_tick
    ports = _native.run_agent_ports


__all__ = ["Agent", "Ollama", "ResponseStream", "ResponseItem", "ModelServerError",
           "CreateAgentOllama", "GetStreamResponse", "RunAgent"]
