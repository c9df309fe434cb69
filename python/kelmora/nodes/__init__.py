"""Node classes of the behaviour-tree core: the bases of nodes written in Python.

    kelmora.nodes.control_node    ControlNode (one or more children)
    kelmora.nodes.decorator_node  DecoratorNode (exactly one child)
    kelmora.nodes.condition_node  ConditionNode (a leaf that never returns RUNNING)
    kelmora.nodes.action_node     SimpleActionNode, StatefulActionNode
"""
