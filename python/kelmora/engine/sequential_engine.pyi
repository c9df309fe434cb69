"""SequentialEngine: a single-threaded engine holding one tree."""

from kelmora._native import SequentialEngine as SequentialEngine

__all__ = ["SequentialEngine"]
