"""Engines that run behaviour trees."""
