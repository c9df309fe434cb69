"""The base class of decorators written in Python."""

from kelmora.nodes._node import _ParentNode

__all__ = ["DecoratorNode"]


class DecoratorNode(_ParentNode):
    """Base class of decorators: nodes with exactly one child (``self.child``).

    Written and registered like a ControlNode (``tick(self)``, optional ``halt(self)`` and
    ``ports``); an element with no child or with several is refused when the tree is built.
    """

    @property
    def child(self):
        """The handle of the one child (see ControlNode's children)."""
        return self._kelmora_node.children[0]
