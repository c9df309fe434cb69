"""Engines that run trees on threads of their own (see kelmora.engine.trigger.mthread)."""
