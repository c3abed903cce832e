"""Errors the command line reports in one line, with their exit codes."""
from kesta.dravel.l1.errors import DravelError


class UsageError(DravelError):
    """A bad argument or an input that cannot be used at all (missing file, not an L0 store).

    The command line prints the message on one line and exits with code 2.
    """

    exit_code = 2
