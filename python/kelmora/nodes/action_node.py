"""The base classes of actions written in Python."""

from kelmora.nodes._node import _Node

__all__ = ["SimpleActionNode", "StatefulActionNode"]


class SimpleActionNode(_Node):
    """Base class of action node classes.

    Two uses:

    - With ``ThreadEngine.register_action_class``: a subclass carries, at class level, a static
      ``tick(node)`` returning a ``kelmora.core.NodeStatus`` and, optionally, a ``ports`` list of
      port descriptions (dicts with the keys ``name``, ``type``, ``direction``, ``description``).
      The class is never instantiated; ``tick`` receives a kelmora.core.TreeNode.
    - With ``register_node_class``: every element gets an instance, made when the tree is built;
      ``tick(self)`` runs on it (a static ``tick(node)`` receives the instance as the node), and
      an optional ``halt(self)`` runs when the node is halted while RUNNING.

    This class itself defines neither ``tick`` nor ``ports``, so that a subclass without
    ``ports`` registers with an empty ports list of its own.
    """


class StatefulActionNode(_Node):
    """Base class of actions that run across ticks.

    A subclass writes ``onStart(self)`` (the first tick of a run: SUCCESS or FAILURE ends it at
    once, RUNNING starts it), ``onRunning(self)`` (each later tick while RUNNING, returning the
    new status) and, optionally, ``onHalted(self)``: called exactly once when the node is halted
    while RUNNING (by its parent, reset_tree, a tick that failed elsewhere in the tree, the tree
    being stopped or replaced), never otherwise. After a run ends, the next tick calls
    ``onStart`` again. All three run on the tree's thread. Registered with
    ``register_node_class``.
    """

    def onHalted(self):
        """Stops what the run started. The default does nothing."""
