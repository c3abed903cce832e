import faulthandler
import logging
import sys

import pytest

import hardening_cases as hc

# A decoder that hangs must not hang the suite: the process dumps its stacks and exits instead.
HANG_SECONDS = 600


@pytest.fixture(autouse=True)
def hang_guard():
    faulthandler.dump_traceback_later(HANG_SECONDS, exit=True, file=sys.stderr)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.fixture(autouse=True)
def quiet_framework_log():
    """Reports of rejected units go to the framework's log: keep thousands of them off the output."""
    logger = logging.getLogger("vantor")
    level, propagate = logger.level, logger.propagate
    logger.setLevel(logging.CRITICAL + 1)
    logger.propagate = False
    yield
    logger.setLevel(level)
    logger.propagate = propagate


def built(product):
    if not hc.available(product):
        pytest.skip(f"{hc.PRODUCTS[product].module} is not built")
