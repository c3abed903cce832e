"""Errors of the L1 library. The command line maps each kind to its exit code."""


class DravelError(Exception):
    """A failure the caller can report in one line (the message says what and where)."""


class InputError(DravelError):
    """An input that cannot be used at all: a missing file, not HDF5, not an L0 store."""


class UsageError(DravelError):
    """A bad argument or an input that cannot be used at all (missing file, not an L0 store)."""


class OutputError(DravelError):
    """An output that cannot be written where asked: a folder, an unwritable place, a file
    that exists already."""


class WriteError(OutputError):
    """An output that failed while being written (a full disk, a failing device): the run
    stops and removes what it had written."""


class Interrupted(Exception):
    """The run was asked to stop (Ctrl-C): raised between windows and chunks, never from a
    signal handler, so that no library in between can swallow it."""


def failure(exc):
    """One line saying why a unit of work failed: our own errors say it themselves, another
    exception gives its kind and text."""
    return str(exc) if isinstance(exc, DravelError) else f"{type(exc).__name__}: {exc}"


def check(interrupted):
    """Raises Interrupted when `interrupted()` says the run is to stop."""
    if interrupted is not None and interrupted():
        raise Interrupted()
