"""The two functions through which kelmora's native code writes to loguru's shared logger.

They exist so that loguru, which looks at its caller's frame, finds a Python frame even for a
line written on a worker thread that runs no Python code of its own.
"""

from loguru import logger


def info(message):
    """Writes one line at info level."""
    logger.info(message)


def error(message):
    """Writes one line at error level."""
    logger.error(message)
