"""What the command line reports in one line, and the exit code of each kind of ending."""

from __future__ import annotations

from kesta.dravel.l1.errors import DravelError, InputError, Interrupted, OutputError, WriteError
from kesta.dravel.l1.errors import UsageError as LowerUsageError

__all__ = ["UsageError", "RunFailed", "exit_code"]


class UsageError(DravelError):
    """A bad argument, or an input named on the command line that cannot be used at all
    (missing file, not an L0 store)."""


class RunFailed(Exception):
    """The run ended, but not well (a product or file failed; with --strict, one is partial):
    the message says why."""


# EXIT_FAILED, not FAILED: that name is a product's status (l1.results.FAILED).
SUCCESS, EXIT_FAILED, UNUSABLE, INTERRUPTED = 0, 1, 2, 130

# The exit code of each way a run ends other than success, most specific first.
EXIT_CODES = (
    (Interrupted, INTERRUPTED),
    (KeyboardInterrupt, INTERRUPTED),
    (WriteError, EXIT_FAILED),  # the output failed while being written (a full disk)
    (UsageError, UNUSABLE),
    (LowerUsageError, UNUSABLE),  # what the run layer and the archive refuse to start with
    (InputError, UNUSABLE),
    (OutputError, UNUSABLE),  # refused before any decoding
    (RunFailed, EXIT_FAILED),
    (DravelError, EXIT_FAILED),
)


def exit_code(exc: BaseException) -> int:
    """The exit code of a run that ended with `exc`."""
    for kind, code in EXIT_CODES:
        if isinstance(exc, kind):
            return code
    return EXIT_FAILED
