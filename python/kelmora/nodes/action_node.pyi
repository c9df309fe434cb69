"""The base classes of actions written in Python."""

from typing import ClassVar, Dict, List

from kelmora.nodes._node import _Node

__all__ = ["SimpleActionNode", "StatefulActionNode"]

class SimpleActionNode(_Node):
    """Base class of action node classes: a static ``tick(node)`` for register_action_class, or
    ``tick(self)`` on an instance for register_node_class; an optional class-level ``ports``."""

    # Declared for type checkers only: the base class itself has no `ports`, so that a subclass
    # without one registers with an empty list of its own.
    ports: ClassVar[List[Dict[str, str]]]

class StatefulActionNode(_Node):
    """Base class of actions that run across ticks: ``onStart(self)``, ``onRunning(self)`` and
    optionally ``onHalted(self)``; registered with register_node_class."""

    ports: ClassVar[List[Dict[str, str]]]
    def onHalted(self) -> None: ...
