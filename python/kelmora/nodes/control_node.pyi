"""The base class of controls written in Python."""

from typing import ClassVar, Dict, List

from kelmora.nodes._node import _ParentNode

__all__ = ["ControlNode"]

class ControlNode(_ParentNode):
    """Base class of controls: ``tick(self)`` ticks ``self.children``; optional ``halt(self)``,
    ``validate(self)`` and class-level ``ports``."""

    ports: ClassVar[List[Dict[str, str]]]
