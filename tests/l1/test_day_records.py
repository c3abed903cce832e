"""Day records, what the day files hold: one record per time, every decoder record's values at
its member's place, fill where its own flags say nothing was measured, and back again."""

import numpy as np
import pytest

from kesta.dravel.cli.simulate import simulate_file
from kesta.dravel.l1 import dayrecords as dr
from kesta.dravel.l1 import decode_file
from kesta.dravel.l1.attributes import fill_value
from kesta.dravel.l1.layout import flatten

REGROUPED = ["tnr_normal", "tnr_burst", "tnr_calibration", "hfr_calibration"]


@pytest.fixture(scope="module")
def decoded(tmp_path_factory):
    path = tmp_path_factory.mktemp("l0") / "L0.h5"
    simulate_file(path, seed=7, anomalies=True)
    return {p.product: p.data for p in decode_file(path).products if p.data is not None and len(p.data)}


def canonical(columns):
    """The columns, their rows in one order whatever the order they came in."""
    raw = np.concatenate(
        [np.ascontiguousarray(v).reshape(len(v), -1).view(np.uint8) for _, v in sorted(columns.items())], axis=1
    )
    order = np.lexsort(raw.T[::-1])
    return {k: np.asarray(v)[order] for k, v in columns.items()}


@pytest.mark.parametrize("product", REGROUPED + ["tswf", "hist2d", "lfm_psd"])
def test_day_records_hold_every_measured_value_once_in_strictly_increasing_time(decoded, product):
    records = decoded[product]
    day = dr.daily_records(product, records)
    assert day.dtype == dr.day_dtype(product, records.dtype)
    assert dr.is_day_layout(product, day.dtype) == (product in REGROUPED)
    assert not dr.is_day_layout(product, records.dtype)
    assert np.all(np.diff(day["epoch"].astype(np.int64)) > 0)
    if product in REGROUPED:
        assert len(day) < len(records)
    # made back into decoder records: the decoder's, unmeasured values at fill, in any order
    back = canonical(dr.decoder_columns(product, flatten(day)))
    want = flatten(dr.mask_unmeasured(records))
    want = canonical({("Epoch" if k == "Epoch" else k): v for k, v in want.items()})
    assert set(back) == set(want)
    for name, values in want.items():
        assert back[name].tobytes() == values.tobytes(), (product, name)


def test_values_not_measured_are_fill_and_only_those(decoded):
    records = decoded["tnr_normal"]
    masked = dr.mask_unmeasured(records)
    ch1_off = records["channel_status"][:, 0] == 0
    auto_off = records["auto_cross_status"][:, 0] == 0
    cross_off = ch1_off | (records["channel_status"][:, 1] == 0) | (records["auto_cross_status"][:, 1] == 0)
    assert ch1_off.any() and cross_off.any() and (~cross_off).any()
    fill = fill_value(np.uint16)
    assert np.all(masked["auto1"][ch1_off | auto_off] == fill)
    np.testing.assert_array_equal(masked["auto1"][~(ch1_off | auto_off)], records["auto1"][~(ch1_off | auto_off)])
    assert np.all(masked["cross_r"][cross_off] == fill) and np.all(masked["cross_i"][cross_off] == fill)
    np.testing.assert_array_equal(masked["cross_i"][~cross_off], records["cross_i"][~cross_off])
    np.testing.assert_array_equal(masked["agc1"][~ch1_off], records["agc1"][~ch1_off])
    # in the day records: floats, their fill where it was not measured (readers then draw nothing)
    day = dr.daily_records("tnr_normal", records)
    assert day.dtype["auto1"].base == np.float32 and day.dtype["auto1"].shape == (128,)
    assert (day["auto1"] == fill_value(np.float32)).any()
    assert not np.isin(day["auto1"], [fill]).any()


def test_a_sweep_delivered_by_two_files_is_one_record(decoded):
    # the same blocks decoded from the file that runs past midnight and from the next day's file
    # differ in their sweep numbers only
    records = decoded["tnr_normal"]
    again = records.copy()
    again["sweep_num"] += 1000
    day = dr.day_records("tnr_normal", np.concatenate([records, again]))
    assert len(day) == len(dr.day_records("tnr_normal", records))
    assert np.all(day["sweep_num"] < 1000)


def test_units_sharing_a_time_keep_both_epoch_moved_on_by_a_nanosecond(decoded):
    records = decoded["hist2d"][:3].copy()
    records["epoch"] = records["epoch"][0]
    records["hist2d_id"] = [1, 2, 3]
    day = dr.day_records("hist2d", records)
    assert list(day["epoch"].astype(np.int64) - int(records["epoch"][0])) == [0, 1, 2]
    np.testing.assert_array_equal(day["scet"], records["scet"])  # their own times kept
    # across the batches of one day file
    parts = list(dr.day_batches("hist2d", [records[:2], records[2:]]))
    assert [int(p["epoch"][-1]) - int(records["epoch"][0]) for p in parts] == [1, 2]


def test_calibration_packets_lie_along_bands_levels_and_steps(decoded):
    tnr = dr.daily_records("tnr_calibration", decoded["tnr_calibration"])
    assert tnr.dtype["auto1"].shape == (4, 9, 8) and tnr.dtype["agc1"].shape == (4, 9)
    hfr = dr.daily_records("hfr_calibration", decoded["hfr_calibration"])
    assert hfr.dtype["agc1"].shape == (2, 9, 512) and hfr.dtype["frequency"].shape == (2, 512)
    records = decoded["hfr_calibration"]
    first = records[records["epoch"] == hfr["epoch"][0]]
    band = first["hfr_band"][0]
    steps = np.count_nonzero((first["hfr_band"] == band) & (first["calibration_level"] == 0))
    got = hfr["frequency"][0, band]
    np.testing.assert_array_equal(
        got[:steps], first["frequency"][(first["hfr_band"] == band) & (first["calibration_level"] == 0)]
    )
    assert np.all(got[steps:] == fill_value(got.dtype))  # no such step: fill


def test_day_files_say_what_was_not_measured(decoded, tmp_path):
    spacepy = pytest.importorskip("spacepy.pycdf")
    from kesta.dravel.l1.cdf import write_cdf

    (path, *_) = write_cdf(decoded["tnr_normal"], "tnr_normal", tmp_path)
    with spacepy.CDF(path) as f:
        for name in ("auto1", "auto2", "cross_r", "cross_i", "agc1", "agc2"):
            assert "Fill where nothing was measured" in str(f[f"tnr_normal_{name}"].attrs["VAR_NOTES"])
        assert "VAR_NOTES" not in f["tnr_normal_frequency"].attrs
        assert f["tnr_normal_auto1"].attrs["DEPEND_1"] == "tnr_normal_frequency"
