"""The behaviour-tree core: the tree factory, the node status type and the tree node type.

``TreeNode`` is what a tick function receives: ``getInputString(port)``, ``getInputObject(port)``
and ``setOutput(port, value)`` read and write the node's ports. It is valid only during the tick
it was passed to; using it afterwards raises RuntimeError.
"""

from kelmora._native import BehaviorTreeFactory, NodeStatus, Tree, TreeNode

__all__ = ["BehaviorTreeFactory", "NodeStatus", "Tree", "TreeNode"]
