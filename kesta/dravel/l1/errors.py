"""Errors of the L1 library, each with the exit code the command line gives it."""


class DravelError(Exception):
    """A failure the caller can report in one line (the message says what and where)."""

    exit_code = 1


class InputError(DravelError):
    """An input that cannot be used at all: a missing file, not HDF5, not an L0 store."""

    exit_code = 2


class OutputError(DravelError):
    """An output that cannot be written where asked: a folder, an unwritable place, a file
    that exists already."""

    exit_code = 2


class WriteError(OutputError):
    """An output that failed while being written (a full disk, a failing device): the run
    stops and removes what it had written."""

    exit_code = 1
