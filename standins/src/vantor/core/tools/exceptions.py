"""Exception report of the framework (stand-in)."""

import sys
import traceback

from vantor.core.logger import logger


def print_exception():
    """Log the exception being handled and return its report text.

    Must be called inside an exception handler; outside one it reports that nothing is handled.
    """
    exc = sys.exc_info()[1]
    if exc is None:
        message = "print_exception() called with no exception being handled"
    else:
        message = "".join(traceback.format_exception(type(exc), exc, exc.__traceback__)).rstrip()
    logger.error(message)
    return message
