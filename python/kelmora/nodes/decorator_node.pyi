"""The base class of decorators written in Python."""

from typing import ClassVar, Dict, List

from kelmora._native import ChildNode
from kelmora.nodes._node import _ParentNode

__all__ = ["DecoratorNode"]

class DecoratorNode(_ParentNode):
    """Base class of decorators: nodes with exactly one child (``self.child``)."""

    ports: ClassVar[List[Dict[str, str]]]
    @property
    def child(self) -> ChildNode: ...
