"""The base class of conditions written in Python."""

from kelmora.nodes._node import _Node

__all__ = ["ConditionNode"]


class ConditionNode(_Node):
    """Base class of conditions: leaves that check something, without side effects.

    A condition derives from it and writes ``tick(self)`` returning SUCCESS or FAILURE; RUNNING
    fails the tick with an error naming the node ("a condition must not return RUNNING").
    Registered with ``register_node_class``; a condition from a plain function is registered with
    ``register_condition_behavior``.
    """
