"""The two functions through which kelmora's native code writes its log lines.

Lines go to loguru's shared ``logger`` when loguru is installed (``pip install kelmora[loguru]``,
or Debian's python3-loguru); otherwise to the standard library's ``logging`` logger named
"kelmora", so the package works in an environment without loguru. They exist as Python
functions so that loguru, which looks at its caller's frame, finds a Python frame even for a
line written on a worker thread that runs no Python code of its own.
"""

try:
    from loguru import logger
except ImportError:  # pragma: no cover - depends on the environment
    import logging

    logger = logging.getLogger("kelmora")
    if logger.level == logging.NOTSET:
        logger.setLevel(logging.INFO)  # like loguru: info lines are written too
    if not logger.handlers and not logging.getLogger().handlers:
        # Nothing configured: every line to standard error, as loguru's default does.
        _handler = logging.StreamHandler()
        _handler.setFormatter(logging.Formatter("%(asctime)s | %(levelname)-8s | %(message)s"))
        logger.addHandler(_handler)
        logger.propagate = False


def info(message):
    """Writes one line at info level."""
    logger.info(message)


def error(message):
    """Writes one line at error level."""
    logger.error(message)
