"""What the decoders log: the warnings of each decode kept per thread, and the framework
logger's level set so that what a handler takes is made."""

from __future__ import annotations

import logging
import threading
from typing import Literal

_level_lock = threading.Lock()
_level_users = 0
_saved_level = logging.NOTSET  # the framework logger's level while no decode counts warnings


class _WarningCounter(logging.Handler):
    """Keeps the warnings logged by one thread (threads of one process decode side by side
    when a cluster runs its workers as threads)."""

    def __init__(self) -> None:
        super().__init__(level=logging.WARNING)
        self.thread = threading.get_ident()
        self.messages: list[str] = []

    def emit(self, record: logging.LogRecord) -> None:
        if record.levelno == logging.WARNING and record.thread == self.thread:
            try:
                self.messages.append(record.getMessage())
            except (TypeError, ValueError, KeyError):  # a log call whose arguments do not fit its format
                self.messages.append(str(record.msg))


def framework_logger() -> logging.Logger | None:
    try:
        # lazy: the pipeline's component, bound when first used (the package imports without it)
        from vantor.core.logger import logger
    except ImportError:
        return None
    return logger if isinstance(logger, logging.Logger) else None


def _lowest_handled(logger: logging.Logger | None) -> int:
    """The lowest level taken by a handler that `logger`'s records reach."""
    lowest = logging.CRITICAL + 1
    while logger is not None:
        for handler in logger.handlers:
            if not isinstance(handler, _WarningCounter):
                lowest = min(lowest, handler.level)
        if not logger.propagate:
            break
        logger = logger.parent
    return lowest


class counting_warnings:
    """Context: keeps the warnings the decoders log on the framework's logger."""

    def __enter__(self) -> _WarningCounter:
        global _level_users, _saved_level
        self.handler = _WarningCounter()
        self.logger = framework_logger()
        if self.logger is not None:
            with _level_lock:
                if _level_users == 0:
                    _saved_level = self.logger.level
                    # let warnings through whatever the root level, and debug progress when a
                    # handler takes it (-vv, a log file): otherwise the decoders skip making it.
                    # (Level 0 would defer to the root's level again.)
                    lowest = max(1, _lowest_handled(self.logger))
                    self.logger.setLevel(min(logging.WARNING, lowest))
                _level_users += 1
            self.logger.addHandler(self.handler)
        return self.handler

    def __exit__(self, *exc: object) -> Literal[False]:
        global _level_users
        if self.logger is not None:
            self.logger.removeHandler(self.handler)
            with _level_lock:
                _level_users -= 1
                if _level_users == 0:
                    self.logger.setLevel(_saved_level)
        return False
