"""The base class of action node classes."""


class SimpleActionNode:
    """Base class of action node classes.

    An action node class derives from it and carries, at class level, a static ``tick(node)``
    returning a ``kelmora.core.NodeStatus`` and, optionally, a ``ports`` list of port descriptions
    (dicts with the keys ``name``, ``type``, ``direction``, ``description``). Such a class is
    registered with ``ThreadEngine.register_action_class``; it is never instantiated.

    This class itself defines neither ``tick`` nor ``ports``, so that a subclass without ``ports``
    registers with an empty ports list of its own.
    """
