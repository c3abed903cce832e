"""Windowed decoding writes the same L1 file as decoding every product whole."""

import importlib
import re

import h5py
import numpy as np
import pytest

from kesta.dravel import products as registry
from kesta.dravel.cli.simulate import simulate_groups
from kesta.dravel.l1 import convert, decode_file
from kesta.dravel.l1.hdf5 import product_datasets, texts
from kesta.dravel.l1.store import ListTask, open_l0
from kesta.dravel.l1.windows import FIRST_WINDOW_UNITS, cut_windows, unit_starts
from kesta.dravel.simulate import thr_random
from kesta.dravel.simulate.scale import repeat
from kesta.dravel.simulate.store import write_hdf5


def unnumbered(lines):
    """Texts without the unit numbers the decoders count from the start of each call."""
    return [re.sub(r"#\d+", "#", line) for line in lines]


def summary(result):
    d = result.as_dict()
    d.update(seconds=0, outputs=[], reports=unnumbered(d["reports"]), warnings=unnumbered(d["warnings"]))
    return d


def scaled_groups():
    groups, _, failures = simulate_groups(seed=4, anomalies=True)
    assert not failures
    return groups, repeat(groups, 3)


@pytest.fixture(scope="module")
def scaled_l0(tmp_path_factory):
    path = tmp_path_factory.mktemp("l0") / "L0.h5"
    write_hdf5(path, scaled_groups()[1])
    return path


@pytest.fixture(scope="module")
def reused_numbers_l0(tmp_path_factory):
    """The scaled content with every copy's snapshot numbers set back to the first copy's: the
    on-board counter wrapped twice within the file."""
    once, scaled = scaled_groups()
    for product in registry.PRODUCTS:
        name = product.packets[0]
        if product.grouping == "count_swf":
            scaled[name][product.unit_param] = np.tile(once[name][product.unit_param], 3)
    path = tmp_path_factory.mktemp("l0") / "L0.h5"
    write_hdf5(path, scaled)
    return path


@pytest.mark.parametrize("aside", [False, True], ids=["one-process", "thr-in-a-second-process"])
@pytest.mark.parametrize("numbers", ["distinct", "reused"])
def test_windows_give_the_records_of_a_whole_decode(request, tmp_path, monkeypatch, numbers, aside):
    scaled_l0 = request.getfixturevalue({"distinct": "scaled_l0", "reused": "reused_numbers_l0"}[numbers])
    aside_module = importlib.import_module("kesta.dravel.l1.aside")
    started = []
    start = aside_module.Aside.start.__func__

    def spy(cls, f, todo, path, window_bytes=None):
        went = start(cls, f, todo, path, window_bytes)
        started.append((went.process is not None, {p.name for p, _ in went.todo}, window_bytes))
        return went

    monkeypatch.setattr(aside_module.Aside, "start", classmethod(spy))
    monkeypatch.setattr(aside_module, "ASIDE_PACKETS", 1 if aside else 10**12)
    with open_l0(scaled_l0) as f:
        for product in registry.PRODUCTS:
            cut = unit_starts(f, product, product.packets[0])
            assert len(cut[1]) > FIRST_WINDOW_UNITS, product.name  # really cut into windows
    whole = convert(scaled_l0, tmp_path / "whole.h5", window_bytes=None)
    started.clear()
    windowed = convert(scaled_l0, tmp_path / "windowed.h5", window_bytes=1)  # one unit a window
    ((process, went_aside, window_bytes),) = started
    assert process == aside and window_bytes == 1
    if aside:
        assert went_aside == {p.name for p in registry.PRODUCTS if p.takes_group}
    assert [summary(p) for p in whole.products] == [summary(p) for p in windowed.products]
    assert whole.partial and not whole.failed  # the anomalies were reported
    with h5py.File(tmp_path / "whole.h5") as a, h5py.File(tmp_path / "windowed.h5") as b:
        da, db = product_datasets(a), product_datasets(b)
        assert set(da) == set(db) == {p.name for p in registry.PRODUCTS}
        for name in da:
            assert da[name].dtype == db[name].dtype
            np.testing.assert_array_equal(da[name][()], db[name][()], err_msg=name)
            assert dict(da[name].attrs) == dict(db[name].attrs)
            for group in ("reports", "warnings"):
                assert unnumbered(texts(a, group, name)) == unnumbered(texts(b, group, name))


@pytest.mark.parametrize("aside", [False, True], ids=["one-process", "thr-in-a-second-process"])
def test_written_file_holds_what_the_library_decodes(scaled_l0, tmp_path, monkeypatch, aside):
    # chunks compressed apart from the library read back through the standard gzip filter
    aside_module = importlib.import_module("kesta.dravel.l1.aside")
    monkeypatch.setattr(aside_module, "ASIDE_PACKETS", 1 if aside else 10**12)
    kept = decode_file(scaled_l0)
    done = convert(scaled_l0, tmp_path / "L1.h5")
    assert [p.product for p in done.products] == [p.product for p in kept.products]
    with h5py.File(tmp_path / "L1.h5") as f:
        for p in kept.products:
            dataset = f[p.product]
            assert dataset.compression == "gzip"
            np.testing.assert_array_equal(dataset[()], p.data, err_msg=p.product)
            assert unnumbered(texts(f, "reports", p.product)) == unnumbered(p.reports)
            assert dataset.attrs["status"] == p.status


def test_scaled_units_stay_distinct(scaled_l0):
    once, _, _ = simulate_groups(seed=4, anomalies=True)
    with open_l0(scaled_l0) as f:
        for product in registry.PRODUCTS:
            if product.grouping == "count_swf":
                numbers = f["TM"][product.packets[0]]["source_data"][product.unit_param][()]
                first = once[product.packets[0]][product.unit_param]
                assert len(np.unique(numbers)) == 3 * len(np.unique(first))


def test_a_store_in_memory_decodes_as_its_file(scaled_l0):
    from kesta.dravel.l1 import decode_store, read_l0

    from_file = decode_file(scaled_l0)
    in_memory = decode_store(read_l0(scaled_l0))
    assert [summary(p) for p in in_memory.products] == [summary(p) for p in from_file.products]
    for a, b in zip(in_memory.products, from_file.products):
        np.testing.assert_array_equal(a.data, b.data, err_msg=a.product)


THR_SURVEYS = [p.name for p in registry.PRODUCTS if p.carry == "blocks"]
THR_CALIBRATIONS = [p.name for p in registry.PRODUCTS if p.receiver == "thr" and not p.carry]
SURVEY_FAULTS = [(), ("block_count_high",), ("truncated", "block_count_low"), thr_random.SURVEY_FAULTS]


def _thr_case(product, rng, faults):
    bad = 8 if faults else 0
    if product.carry == "blocks":
        mode = "normal" if product.name == "tnr_normal" else "burst"
        return thr_random.random_tnr_survey(rng, 16, mode, max_blocks=4, bad=bad, faults=faults)
    if product.name == "tnr_calibration":
        return thr_random.random_tnr_calibration(rng, 10, bad=bad, faults=faults)
    return thr_random.random_hfr_calibration(rng, 10, bad=bad, max_steps=6, faults=faults)


@pytest.mark.parametrize(
    "name, faults",
    [(n, f) for n in THR_SURVEYS for f in SURVEY_FAULTS]
    + [(n, f) for n in THR_CALIBRATIONS for f in [(), thr_random.CALIBRATION_FAULTS]],
)
def test_thr_packets_decoded_one_at_a_time_carry_the_group_numbering(name, faults):
    # a packet whose walk fails part way keeps the blocks before the failure: the sweep numbers
    # of the next window go on from the blocks stored, not from the blocks declared
    product = registry.BY_NAME[name]
    case = _thr_case(product, np.random.default_rng(len(faults) * 7 + len(name)), faults)
    group = case.group
    n = len(np.asarray(group[product.count_param]))
    parts, reports, carried = [], 0, None
    for i in range(n):
        window = {param: np.asarray(values)[i : i + 1] for param, values in group.items()}
        task = ListTask()
        records = product.call(window, task)
        records, carried = product.carry_over(window, records, task.reports, carried)
        parts.append(records)
        reports += len(task.reports)
    windowed = np.concatenate(parts)
    assert windowed.dtype == case.records.dtype
    assert windowed.tobytes() == case.records.tobytes(), name
    assert reports == case.reports
    if faults:
        assert case.reports  # the faults were there to carry over


@pytest.mark.parametrize("name", [p.name for p in registry.PRODUCTS if p.work_layout])
def test_windows_hold_the_decoders_intermediate_records_within_the_window(scaled_l0, name):
    # an HFR calibration packet becomes a 36 kB intermediate record and only 2 kB of L1
    # records: windows sized by L1 records alone would hold the whole group
    product = registry.BY_NAME[name]
    with open_l0(scaled_l0) as f:
        group = f["TM"][product.packet]["source_data"]
        work = [
            product.work_bytes({k: group[k][i : i + 1] for k in group}, 1)
            for i in range(len(group[product.count_param]))
        ]
        window_bytes = 3 * max(work)
        windows = cut_windows(f, product, product.packet, window_bytes)
        rows = next(windows)
        sizes = []
        try:
            while True:
                sizes.append(sum(work[i] for i in rows))
                rows = windows.send(1)  # L1 records too small to matter
        except StopIteration:
            pass
    assert len(sizes) > 2 and min(work) > 0
    assert max(sizes[1:]) <= 2 * window_bytes, sizes  # sized by the average packet


def test_a_fault_while_cutting_windows_fails_that_product_alone(scaled_l0, tmp_path, monkeypatch):
    # decoding it whole instead would quietly give up the bound on memory
    product = next(p for p in registry.PRODUCTS if not p.takes_group)

    def broken(self, group, n):
        if self is product:
            raise IndexError("unit table out of step")
        return original(self, group, n)

    original = type(product).units
    monkeypatch.setattr(type(product), "units", broken)
    done = convert(scaled_l0, tmp_path / "L1.h5", window_bytes=1 << 20)
    failed = {p.product: p.message for p in done.failed}
    assert list(failed) == [product.name]
    assert "could not be cut into windows (IndexError: unit table out of step)" in failed[product.name]
