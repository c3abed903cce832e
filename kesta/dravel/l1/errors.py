"""Errors of the L1 library. The command line maps each kind to its exit code."""

from __future__ import annotations

# What the archive raises for an archive it cannot use (busy, of another version) and for bad
# settings of a campaign, until it has errors of its own; the command line's own usage error is
# cli.errors.UsageError.
from kesta.dravel.run.errors import (  # noqa: F401  (the library's too)
    DravelError,
    Interrupted,
    UsageError,
    check,
    failure,
)


class InputError(DravelError):
    """An input that cannot be used at all: a missing file, not HDF5, not an L0 store."""


class ConfigError(InputError):
    """A settings file of this system that cannot be used (not TOML, an unknown table or
    attribute, a value of the wrong kind): the message names the file and what is wrong."""


class OutputError(DravelError):
    """An output that cannot be written where asked: a folder, an unwritable place, a file
    that exists already."""


class WriteError(OutputError):
    """An output that failed while being written (a full disk, a failing device): the run
    stops and removes what it had written."""
