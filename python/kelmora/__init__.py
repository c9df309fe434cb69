"""kelmora: behaviour trees run concurrently, one worker thread per tree.

Modules:
    kelmora.core                      BehaviorTreeFactory, NodeStatus, TreeNode
    kelmora.nodes.action_node         SimpleActionNode, the base of action node classes
    kelmora.engine.sequential_engine  SequentialEngine, a single-threaded engine for one tree
    kelmora.engine.trigger.mthread    ThreadEngine, one worker thread per tree
    kelmora.llm                       Ollama, Agent and the two agent action node classes

Importing the package or any of these modules makes no engine, starts no thread and logs nothing.
"""
