"""The base class of controls written in Python."""

from kelmora.nodes._node import _ParentNode

__all__ = ["ControlNode"]


class ControlNode(_ParentNode):
    """Base class of controls: nodes with one or more children.

    A control derives from it, writes ``tick(self)`` returning a kelmora.core.NodeStatus, and
    may write ``halt(self)`` (called when it is halted while RUNNING; clear its own state there)
    and a class-level ``ports`` list. It ticks its children through ``self.children`` (each
    ``child.executeTick()``), reads their ``status`` and halts them (``child.halt()``,
    ``self.haltChildren()``, ``self.haltChild(i)``). Registered with ``register_node_class``.
    An optional ``validate(self)`` runs once the tree is built, before any tick: what it raises
    fails the build with an error naming the node (check the number of children there).

    The engine keeps the rules around it: a tree whose element has no child is refused when it
    is built; whenever the tick returns SUCCESS, FAILURE or SKIPPED, the children are halted (none
    is left RUNNING); returning IDLE, or raising, fails the tick with an error naming the node.
    """
