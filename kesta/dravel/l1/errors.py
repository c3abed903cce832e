"""Errors of the L1 library. The command line maps each kind to its exit code."""

from kesta.dravel.run.errors import DravelError, Interrupted, UsageError, check, failure  # noqa: F401  (the library's too)


class InputError(DravelError):
    """An input that cannot be used at all: a missing file, not HDF5, not an L0 store."""


class OutputError(DravelError):
    """An output that cannot be written where asked: a folder, an unwritable place, a file
    that exists already."""


class WriteError(OutputError):
    """An output that failed while being written (a full disk, a failing device): the run
    stops and removes what it had written."""
