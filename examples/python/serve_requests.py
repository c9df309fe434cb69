"""An asyncio program that answers requests, each with a behaviour tree running a model agent.

Every request gets a tree of its own: the tree makes an agent on an Ollama model, runs it on the
request's text and collects the streamed answer into the blackboard. The requests are served
concurrently from one event loop; the trees run on their own worker threads, and the loop only
awaits them.

    OLLAMA_HOST=127.0.0.1:11434 python3 examples/python/serve_requests.py "question" ...

(build/tools/standin/kelmora_standin_server --port 0 prints an address to use as OLLAMA_HOST.)
"""

import asyncio
import sys
from typing import List

from kelmora import llm
from kelmora.aio import AsyncThreadEngine
from kelmora.core import NodeStatus, TreeNode
from kelmora.nodes.action_node import SimpleActionNode

TREE = """
<root BTCPP_format="4">
  <BehaviorTree ID="Answer">
    <Sequence>
      <CreateAgentOllama model_id="qwen3:30b" description="You answer briefly." agent="{agent}"/>
      <GetStreamResponse agent="{agent}" instructions="" user_input="{user_input}"
                         response_stream="{response_stream}"/>
      <CollectAnswer response_stream="{response_stream}" answer="{answer}"/>
    </Sequence>
  </BehaviorTree>
</root>
"""


class CollectAnswer(SimpleActionNode):
    """Reads the whole streamed answer (on the tree's worker thread) into `answer`."""

    ports = [
        {"name": "response_stream", "type": "object", "direction": "input", "description": ""},
        {"name": "answer", "type": "string", "direction": "output", "description": ""},
    ]

    @staticmethod
    def tick(node: TreeNode) -> NodeStatus:
        stream: llm.ResponseStream = node.getInputObject("response_stream")
        node.setOutput("answer", "".join(piece.content for piece in stream))
        return NodeStatus.SUCCESS


async def answer(engine: AsyncThreadEngine, request_id: int, question: str) -> str:
    """Serves one request: a tree of its own, ticked until it succeeds, then stopped."""
    tree = engine.create_tree_from_text(TREE, "request-%d" % request_id)
    try:
        await engine.set_blackboard_data(tree, "user_input", question)
        await asyncio.wait_for(engine.tick_until_success(tree), timeout=120)
        text: str = await engine.get_blackboard_data(tree, "answer")
        return text
    finally:
        await engine.stop_tree(tree)


async def main(questions: List[str]) -> None:
    async with AsyncThreadEngine() as engine:
        engine.register_action_class(llm.CreateAgentOllama)
        engine.register_action_class(llm.GetStreamResponse)
        engine.register_action_class(CollectAnswer)
        answers = await asyncio.gather(*(answer(engine, i, q) for i, q in enumerate(questions)))
        for question, text in zip(questions, answers):
            print("%s -> %s" % (question, text))


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1:] or ["中国上海的新闻", "中国北京的新闻"]))
