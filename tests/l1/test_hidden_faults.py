"""Faults are not hidden: a failure is the one reported even when cleaning up after it fails
too, and what is caught on purpose is only what can really happen there."""

import logging

import numpy as np
import pytest

from kesta.dravel import products as registry
from kesta.dravel.l1 import days, logs
from kesta.dravel.l1.quicklook.records import _as_layout
from kesta.dravel.simulate.thr_expected import tnr_calibration_group
from kesta.dravel.simulate.thr_random import random_tnr_calibration_packets


def _records():
    """Records of a simulated TNR calibration group, as its decoder makes them."""
    rng = np.random.default_rng(4)
    return tnr_calibration_group(random_tnr_calibration_packets(rng, 2)).records


class _FailingDay:
    suffix = ".bin"
    disk_share = 0.0
    opened = []

    def __init__(self, tmp, dtype, product, name, parents, version):
        self.tmp = tmp
        open(tmp, "wb").close()
        _FailingDay.opened.append(tmp)

    def append(self, records):
        raise ValueError("the library refused the records")

    def close(self):
        raise OSError("and could not close either")


def test_the_write_failure_is_reported_and_the_failed_close_logged(tmp_path, caplog):
    records = _records()
    assert len(records)
    path = tmp_path / "day.bin"
    with caplog.at_level(logging.DEBUG, logger="kesta.dravel.l1.output"):
        with pytest.raises(Exception) as caught:
            days.write_batches(_FailingDay, str(path), lambda: iter([records]), "tnr_calibration", [], "01")
    assert "the library refused the records" in str(caught.value)
    assert "could not close either" in caplog.text
    assert list(tmp_path.iterdir()) == [] and _FailingDay.opened


def test_a_malformed_warning_is_counted_with_its_text():
    counter = logs._WarningCounter()

    def warn(msg, *args):
        counter.emit(logging.LogRecord("vantor", logging.WARNING, __file__, 1, msg, args, None))

    warn("%d packets", "two")  # the format does not fit its argument
    warn("block %s missing", 3)
    assert counter.messages == ["%d packets", "block 3 missing"]


def test_a_layout_that_cannot_be_had_keeps_the_columns_but_a_broken_one_is_an_error(monkeypatch):
    columns = {"epoch": np.arange(3, dtype=np.int64)}
    assert _as_layout("no_such_product", columns)["epoch"].dtype == np.int64
    ghost = registry.Product(
        "ghost",
        "kesta.dravel.tasks.tds.no_such_decoder",
        "set_ghost",
        ("TM_TDS_SCIENCE_GHOST",),
        "tds",
        layout="kesta.dravel.tasks.tds.nothing:X",
    )
    monkeypatch.setitem(registry.BY_NAME, "ghost", ghost)
    assert _as_layout("ghost", columns)["epoch"].dtype == np.int64  # not installed

    def broken():
        raise RuntimeError("the layout's own fault")

    monkeypatch.setattr(registry, "_attribute", lambda reference: broken)
    ghost = registry.Product("ghost", "m", "e", ("P",), "tds", layout="m:broken()")
    monkeypatch.setitem(registry.BY_NAME, "ghost", ghost)
    with pytest.raises(RuntimeError, match="own fault"):
        _as_layout("ghost", columns)
