"""What the command line reports in one line, and the exit code of each kind of ending."""

from kesta.dravel.l1.errors import DravelError, InputError, Interrupted, OutputError, UsageError, WriteError

__all__ = ["UsageError", "RunFailed", "exit_code"]


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
    (InputError, UNUSABLE),
    (OutputError, UNUSABLE),  # refused before any decoding
    (RunFailed, EXIT_FAILED),
    (DravelError, EXIT_FAILED),
)


def exit_code(exc):
    """The exit code of a run that ended with `exc`."""
    for kind, code in EXIT_CODES:
        if isinstance(exc, kind):
            return code
    return EXIT_FAILED
