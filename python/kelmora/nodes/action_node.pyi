"""The base class of action node classes."""

from typing import ClassVar, Dict, List

class SimpleActionNode:
    """Base class of action node classes: a subclass carries a static ``tick(node)`` returning a
    NodeStatus and, optionally, a class-level ``ports`` list; it is registered, never
    instantiated."""

    # Declared for type checkers only: the base class itself has no `ports`, so that a subclass
    # without one registers with an empty list of its own.
    ports: ClassVar[List[Dict[str, str]]]
