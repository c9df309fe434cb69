"""The behaviour-tree core: the tree factory, the node status type and the tree node type."""

from kelmora._native import BehaviorTreeFactory as BehaviorTreeFactory
from kelmora._native import NodeStatus as NodeStatus
from kelmora._native import Tree as Tree
from kelmora._native import TreeNode as TreeNode
from kelmora._native import WakeUpSignal as WakeUpSignal

__all__ = ["BehaviorTreeFactory", "NodeStatus", "Tree", "TreeNode", "WakeUpSignal"]
