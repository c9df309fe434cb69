"""Node classes of the behaviour-tree core: the bases of nodes written in Python."""
