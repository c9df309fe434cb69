"""The base class of conditions written in Python."""

from typing import ClassVar, Dict, List

from kelmora.nodes._node import _Node

__all__ = ["ConditionNode"]

class ConditionNode(_Node):
    """Base class of conditions: ``tick(self)`` returns SUCCESS or FAILURE, never RUNNING."""

    ports: ClassVar[List[Dict[str, str]]]
