"""Engines that run behaviour trees on worker threads."""
