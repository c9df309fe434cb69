"""SequentialEngine: a single-threaded engine holding one tree.

Not thread-safe: one thread at a time uses an engine. Tick operations release the GIL while C++
nodes run; Python tick functions take it back while they run.
"""

from kelmora._native import SequentialEngine

__all__ = ["SequentialEngine"]
