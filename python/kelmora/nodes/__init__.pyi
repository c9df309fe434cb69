"""Node classes of the behaviour-tree core."""
