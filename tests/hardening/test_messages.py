"""What each kind of bad input gets: a report and skip of one unit, or an error that ends the call
and names the parameter and the packet (or packet type) concerned."""

import copy

import numpy as np
import pytest

from kesta.dravel.l1.store import ListTask, l0_store
from kesta.dravel.simulate.thr_encoding import HfrCalibrationPacket
from kesta.dravel.simulate.thr_expected import hfr_calibration_group

import hardening_cases as hc
from conftest import built
from records_support import assert_same_records

TDS = [p for p in hc.PRODUCTS if hc.PRODUCTS[p].receiver == "tds"]
THR = [p for p in hc.PRODUCTS if hc.PRODUCTS[p].receiver == "thr"]
group_of = hc.group_of


def damaged(product, param, change, seed=2):
    case = hc.clean_case(product, seed)
    l0 = copy.deepcopy(case.l0)
    group = group_of(l0, product)
    group[param] = change(np.asarray(group[param]))
    return l0


BAD_VALUES = {
    "1-D": lambda a: a.reshape(-1),
    "3-D": lambda a: a[..., None],
    "text": lambda a: a.astype("U6"),
    "NaN": lambda a: np.full(a.shape, np.nan),
    "one packet short": lambda a: a[:-1],
    "None": lambda a: None,
}


# --------------------------------------------------------------------------------------------
# Errors that end the call


@pytest.mark.parametrize("bad", list(BAD_VALUES))
@pytest.mark.parametrize("product", TDS)
def test_tds_errors_name_the_parameter_and_the_packet_type(product, bad):
    built(product)
    param = hc.PRODUCTS[product].data_param
    l0 = damaged(product, param, BAD_VALUES[bad])
    if bad == "one packet short" and len(group_of(l0, product)["PA_TDS_ACQUISITION_TIME"]) == 1:
        pytest.skip("a one-packet store has no packet to cut")
    with pytest.raises((ValueError, TypeError)) as info:
        hc.call(product, l0, hc.CountingTask())
    assert param in str(info.value), str(info.value)
    # A parameter of the wrong length or no array at all is already refused by sort_data, whose
    # message names the parameter only; what reaches the decoder's own checks names the packet
    # type too (the spectral-matrix decoder's own check of its data block's type says only
    # what the parameter must be; it reads a single packet type).
    if bad in ("3-D", "text", "NaN") and not (product == "lfm_sm" and bad != "3-D"):
        assert hc.packet_name(product) in str(info.value), str(info.value)


@pytest.mark.parametrize("product", TDS)
def test_tds_missing_parameter_is_a_key_error_naming_it(product):
    built(product)
    l0 = copy.deepcopy(hc.clean_case(product, 2).l0)
    del group_of(l0, product)[hc.PRODUCTS[product].data_param]
    with pytest.raises(KeyError) as info:
        hc.call(product, l0, hc.CountingTask())
    assert hc.PRODUCTS[product].data_param in str(info.value) and hc.packet_name(product) in str(info.value)


@pytest.mark.parametrize("product", TDS)
def test_tds_time_parameter_errors_are_named(product):
    built(product)
    l0 = damaged(product, "PA_TDS_ACQUISITION_TIME", lambda a: np.ascontiguousarray(a[:, :2]))
    with pytest.raises(ValueError, match="PA_TDS_ACQUISITION_TIME has 2 values per packet, expected at least 3"):
        hc.call(product, l0, hc.CountingTask())


@pytest.mark.parametrize("product", THR)
def test_thr_count_parameter_errors_end_the_call(product):
    built(product)
    param = hc.PRODUCTS[product].count_param
    l0 = copy.deepcopy(hc.clean_case(product, 2).l0)
    del group_of(l0, product)[param]
    with pytest.raises(KeyError, match=param):
        hc.call(product, l0, hc.CountingTask())
    for bad in ("text", "NaN", "3-D"):
        with pytest.raises((TypeError, ValueError), match=param):
            hc.call(product, damaged(product, param, BAD_VALUES[bad]), hc.CountingTask())


# --------------------------------------------------------------------------------------------
# Units reported and skipped


@pytest.mark.parametrize("product", THR)
def test_thr_damaged_packets_are_reported_and_skipped(product):
    built(product)
    for seed in range(4):
        case = hc.clean_case(product, seed, anomalies=True)
        task = hc.CountingTask()
        out = hc.call(product, case.l0, task)
        assert task.reports == case.reports == 1
        assert_same_records(out, case.records)


@pytest.mark.parametrize("product", THR)
def test_thr_packet_rows_missing_are_reported_per_packet(product):
    """Without its data words every packet fails on its own; the call still returns."""
    built(product)
    case = hc.clean_case(product, 2)
    l0 = copy.deepcopy(case.l0)
    npackets = len(group_of(l0, product)["PA_THR_ACQUISITION_TIME"])
    del group_of(l0, product)[hc.PRODUCTS[product].data_param]
    task = hc.CountingTask()
    out = hc.call(product, l0, task)
    assert len(out) == 0 and task.reports == npackets


@pytest.mark.parametrize("product", ["tswf", "rswf"])
def test_snapshot_whose_samples_do_not_add_up_is_reported_and_kept_at_fill(product):
    built(product)
    case = hc.clean_case(product, 4, anomalies=True)
    task = hc.CountingTask()
    out = hc.call(product, case.l0, task)
    assert task.reports == case.reports >= 1
    np.testing.assert_array_equal(out["waveform_data"], case.records["waveform_data"])


# --------------------------------------------------------------------------------------------
# Faults the fuzzer found (fixed): unchecked sort keys, a believed block count, a step-count
# error that named no parameter


@pytest.mark.parametrize("product", ["tswf", "rswf"])
@pytest.mark.parametrize(
    "param, change",
    [
        ("PA_TDS_SNAPSHOT_NR", lambda a: a[:0]),
        ("PA_TDS_SNAPSHOT_NR", lambda a: None),
        ("PA_TDS_SNAPSHOT_NR", lambda a: a[:, None]),
    ],
    ids=["empty", "None", "2-D"],
)
def test_snapshot_number_checked_before_sorting(product, param, change):
    built(product)
    with pytest.raises(ValueError) as info:
        hc.call(product, damaged(product, param, change), hc.CountingTask())
    assert param in str(info.value)


def test_huge_block_count_is_reported_with_its_packet():
    """A count no data row can hold is the packet's fault: reported, and no room is made for it."""
    built("tnr_normal")
    case = hc.clean_case("tnr_normal", 2)
    l0 = damaged("tnr_normal", "PA_THR_N_BLOCK_CNT", lambda a: np.full(a.shape, 2**40, np.int64))
    task = ListTask()
    out = hc.call("tnr_normal", l0, task)
    npackets = len(group_of(l0, "tnr_normal")["PA_THR_N_BLOCK_CNT"])
    assert len(out) == 0 and len(task.reports) == npackets
    assert all("PA_THR_N_BLOCK_CNT" in str(r) for r in task.reports)
    assert len(case.records) > 0


def test_hfr_step_count_error_names_the_parameter():
    built("hfr_calibration")
    # Channel 1 with HF1 only, whose sweep announces 600 steps (a level holds 512).
    packet = HfrCalibrationPacket(
        hfr_setup=(1, 7, 0, 1, 5),
        hfr_sweep=(0, 5, 600, 3),
        do_analysis=(0, 1, 0, 0, 1, 1),
        levels=[((tuple(range(600)), ()), ((), ())) for _ in range(9)],
    )
    group = hfr_calibration_group([packet]).group
    with pytest.raises(IndexError) as info:
        hc.call("hfr_calibration", l0_store({hc.packet_name("hfr_calibration"): group}), hc.CountingTask())
    assert "PA_THR_HFR_DATA" in str(info.value)
