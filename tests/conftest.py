import logging

import pytest

from kesta.dravel.l1.store import ListTask


@pytest.fixture
def task():
    return ListTask()


@pytest.fixture
def vantor_log(caplog):
    """Records of the framework logger, debug level and up."""
    caplog.set_level(logging.DEBUG, logger="vantor")
    return caplog
