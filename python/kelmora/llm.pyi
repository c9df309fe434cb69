"""The agent layer: Ollama models, agents and their streamed answers, and the two agent action
node classes."""

from typing import ClassVar, Dict, List

from kelmora._native import Agent as Agent
from kelmora._native import CppTick
from kelmora._native import ModelServerError as ModelServerError
from kelmora._native import Ollama as Ollama
from kelmora._native import ResponseItem as ResponseItem
from kelmora._native import ResponseStream as ResponseStream
from kelmora.nodes.action_node import SimpleActionNode

class CreateAgentOllama(SimpleActionNode):
    """Inputs model_id and description (text); output agent: an Agent on Ollama(id=model_id)."""

    tick: ClassVar[CppTick]
    ports: ClassVar[List[Dict[str, str]]]

class GetStreamResponse(SimpleActionNode):
    """Inputs agent, instructions and user_input; output response_stream, unread."""

    tick: ClassVar[CppTick]
    ports: ClassVar[List[Dict[str, str]]]

class RunAgent(SimpleActionNode):
    """Runs an agent inside the tree, streaming, across ticks: inputs agent and user_input;
    outputs answer, thinking and error."""

    tick: ClassVar[CppTick]
    ports: ClassVar[List[Dict[str, str]]]

__all__ = ["Agent", "Ollama", "ResponseStream", "ResponseItem", "ModelServerError",
           "CreateAgentOllama", "GetStreamResponse", "RunAgent"]
