import logging

import numpy as np
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


@pytest.fixture
def debug_lines(vantor_log):
    """`debug_lines()`: the messages of the framework logger's debug records so far."""
    return lambda: [r.getMessage() for r in vantor_log.records if r.levelname == "DEBUG"]


@pytest.fixture
def recording_time(monkeypatch):
    """`recording_time(utc, scet)` puts in a time service whose obt_to_utc gives `utc` and
    cuc_to_scet `scet` (as they are), and returns the list of its calls, in order:
    ("obt_to_utc", [[coarse, fine]...], to_tt2000) and ("cuc_to_scet", [[coarse, fine]...])."""
    import quorel.time

    def install(utc, scet):
        calls = []

        class RecordingTime(quorel.time.Time):
            def obt_to_utc(self, t, to_tt2000=False):
                calls.append(("obt_to_utc", np.asarray(t).tolist(), to_tt2000))
                return utc

            @staticmethod
            def cuc_to_scet(t):
                calls.append(("cuc_to_scet", np.asarray(t).tolist()))
                return scet

        monkeypatch.setattr(quorel.time, "Time", RecordingTime)
        return calls

    return install
