"""What every node class written in Python shares: the instance API of its node.

An instance is made by the engine, one per element of a tree, when the tree is built (on the
tree's thread, with no arguments). It reaches its node through a handle the engine gives it before
``__init__`` runs, so ``self.name`` and ``self.registration_id`` may be used from ``__init__`` on.
The node's status, ports and children may be used only during one of the node's own methods
(``tick``, ``halt``, ``onStart``, ``onRunning``, ``onHalted``), on the thread running it; anywhere
else they raise RuntimeError. Once the tree is gone, every use raises RuntimeError.
"""

from kelmora import _native


class _Node:
    """The operations of the node an instance belongs to."""

    def __new__(cls, *args, **kwargs):
        self = super().__new__(cls)
        # The handle of the node being built on this thread; a handle of no node when the class
        # is called outside a tree.
        self._kelmora_node = _native._take_node_under_construction()
        return self

    @property
    def name(self):
        """The element's `name` attribute (its id when absent)."""
        return self._kelmora_node.name

    @property
    def registration_id(self):
        """The id the node's class was registered under."""
        return self._kelmora_node.registration_id

    @property
    def status(self):
        """The node's status (a kelmora.core.NodeStatus): during a tick, the one it had before."""
        return self._kelmora_node.status

    def isPortBound(self, port):
        """Whether the element binds the port (an attribute of that name was given)."""
        return self._kelmora_node.isPortBound(port)

    def getInputString(self, port):
        """The input port's value as text (see kelmora.core.TreeNode.getInputString)."""
        return self._kelmora_node.getInputString(port)

    def getInputObject(self, port):
        """The input port's value, of any kind (None for an entry never written)."""
        return self._kelmora_node.getInputObject(port)

    def setOutput(self, port, value):
        """Writes `value` to the blackboard entry the output port refers to."""
        self._kelmora_node.setOutput(port, value)

    def emitWakeUpSignal(self):
        """Asks for the tree to be ticked again soon: a tick loop waiting between RUNNING ticks
        ticks at once. Another thread uses wake_up_signal() (taken in a method, or in
        __init__) instead."""
        self._kelmora_node.emitWakeUpSignal()

    def wake_up_signal(self):
        """The tree's wake-up signal (a kelmora.core.WakeUpSignal): its emit() may be called from
        any thread, also after the tree is gone (it then does nothing)."""
        return self._kelmora_node.wake_up_signal()


class _ParentNode(_Node):
    """The operations of a node with children (controls and decorators)."""

    @property
    def children(self):
        """The child handles, in XML order (a new list each time). A child handle has `name`,
        `registration_id`, `status`, `executeTick()` (ticks it, returns its NodeStatus) and
        `halt()`."""
        return self._kelmora_node.children

    def haltChildren(self):
        """Halts every child: a RUNNING one stops what it runs; all end IDLE."""
        self._kelmora_node.haltChildren()

    def haltChild(self, index):
        """Halts the child at `index` (IndexError when there is none)."""
        self._kelmora_node.haltChild(index)

    def halt(self):
        """Called when the node is halted while RUNNING (its parent halts it, the tree is reset
        or goes away, a tick failed elsewhere). The default halts the children, which the engine
        also does after any override: an override clears the node's own state."""
        self.haltChildren()
