"""The errors a run itself raises, at the bottom of the package: the library's own errors
(kesta.dravel.l1.errors) build on them."""

from __future__ import annotations

from .protocol import StopCheck


class DravelError(Exception):
    """A failure the caller can report in one line (the message says what and where)."""


class UsageError(DravelError):
    """A bad argument or an input that cannot be used at all (missing file, not an L0 store)."""


class Interrupted(Exception):
    """The run was asked to stop (Ctrl-C): raised between windows and chunks, never from a
    signal handler, so that no library in between can swallow it."""


def failure(exc: BaseException) -> str:
    """One line saying why a unit of work failed: our own errors say it themselves, another
    exception gives its kind and text."""
    return str(exc) if isinstance(exc, DravelError) else f"{type(exc).__name__}: {exc}"


def check(interrupted: StopCheck | None) -> None:
    """Raises Interrupted when `interrupted()` says the run is to stop."""
    if interrupted is not None and interrupted():
        raise Interrupted()
