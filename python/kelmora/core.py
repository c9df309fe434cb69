"""The behaviour-tree core: the tree factory, the node status type and the tree node type.

``TreeNode`` is what a tick function receives: ``getInputString(port)``, ``getInputObject(port)``
and ``setOutput(port, value)`` read and write the node's ports, ``emitWakeUpSignal()`` asks for
the tree to be ticked again at once. It is valid only during the tick it was passed to (for a
generator tick function: during each tick of its run and its close); using it otherwise raises
RuntimeError. ``wake_up_signal()`` gives a ``WakeUpSignal`` that stays usable: its ``emit()`` may
be called from any thread, e.g. by a thread that finished the node's work.

A tick function that is a generator function runs across ticks: each ``yield`` leaves the node
RUNNING until its next tick, ``return NodeStatus.SUCCESS`` (or FAILURE, SKIPPED) ends the run,
and a halt of the RUNNING node closes the generator (its ``finally:`` blocks run on the thread
that ticks the tree).
"""

from kelmora._native import BehaviorTreeFactory, NodeStatus, Tree, TreeNode, WakeUpSignal

__all__ = ["BehaviorTreeFactory", "NodeStatus", "Tree", "TreeNode", "WakeUpSignal"]
