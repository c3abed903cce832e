"""The THR simulator's groups and expected records, checked against the packet descriptions
they were built from (the values a decoder must find are known independently here)."""

import numpy as np
import pytest
from quorel.time import Time

from kesta.dravel.simulate.thr_encoding import (
    HfrCalibrationPacket,
    TnrBlock,
    TnrCalibrationPacket,
    TnrPacket,
    encode_survey_packet,
    visible_band,
)
from kesta.dravel.simulate.thr_expected import hfr_calibration_group, tnr_calibration_group, tnr_survey_group
from kesta.dravel.simulate.thr_random import (
    random_band,
    random_hfr_calibration,
    random_tnr_calibration,
    random_tnr_survey,
)
from kesta.dravel.tasks.thr import tnr as _tnr

FILL_U8, FILL_U16 = 255, 65535


def block(rng, flags, ch=(1, 1), au=1, cr=1, av=1, ticks=(0, 0, 0, 0)):
    a, b, c, d = flags
    return TnrBlock(
        tnr_setup=(av, cr, au, d, c, b, a),
        do_analysis=(0, 0, 1, ch[1], ch[0], 0),
        bands=tuple(random_band(rng) for _ in range(4)),
        delta_times=ticks,
        cmd_ctr=0x1234,
        zelk_status=(1, 2, 3, 0, 1, 5),
        temperatures=(1023, 0, 512, 7),
        input_setup=(2, 5, 6, 1, 2, 3),
    )


def obt(acq):
    t = np.array([[acq[0], acq[1]]], dtype=np.uint32)
    return int(Time().obt_to_utc(t, to_tt2000=True)[0]), float(Time.cuc_to_scet(t)[0])


# --- TNR survey -----------------------------------------------------------------------


def test_survey_records_follow_blocks_and_bands():
    rng = np.random.default_rng(1)
    b0 = block(rng, (1, 0, 1, 1), av=0, ticks=(0, 5, 65536, 4294967295))
    b1 = block(rng, (0, 1, 0, 0), ch=(1, 0), au=0)
    b2 = block(rng, (0, 0, 0, 0))
    b3 = block(rng, (1, 0, 0, 0), ch=(0, 1), cr=1)
    acq = [(1000, 32768, 1), (2000, 0, 0)]
    case = tnr_survey_group([TnrPacket([b0, b1], acq[0]), TnrPacket([b2, b3], acq[1])], mode="burst")
    assert case.reports == 0 and "PA_THR_B_BLOCK_CNT" in case.group
    r = case.records
    assert list(r["tnr_band"]) == [0, 2, 3, 1, 0]
    assert list(r["sweep_num"]) == [0, 0, 0, 1, 3]
    assert set(r["survey_mode"]) == {1}
    for rec, (blk, k) in zip(r, [(b0, 0), (b0, 2), (b0, 3), (b1, 1), (b3, 0)]):
        av, cr, au = blk.tnr_setup[:3]
        seen = visible_band(blk.bands[k], 1, blk.do_analysis[4], blk.do_analysis[3], au, cr)
        assert rec["agc1"] == seen[0][0] and rec["agc2"] == seen[1][0]
        assert list(rec["auto1"]) == list(seen[0][1]) and list(rec["auto2"]) == list(seen[1][1])
        assert list(rec["cross_r"]) == [c[0] for c in seen[2]]
        assert list(rec["cross_i"]) == [c[1] for c in seen[2]]
        assert tuple(rec["auto_cross_status"]) == (au, cr)
        assert tuple(rec["channel_status"]) == (blk.do_analysis[4], blk.do_analysis[3])
        assert rec["average_nr"] == (16, 32)[av]
        assert tuple(rec["zelk_status"]) == blk.zelk_status
        assert tuple(rec["temperature"]) == blk.temperatures
        assert rec["front_end"] == 2 and tuple(rec["sensor_config"]) == (5, 6)
        assert rec["quality_flag"] == FILL_U8 and rec["calibration_level"] == FILL_U8
    assert r["frequency"][3][0] == np.float32(15967.143)  # band 1 starts at entry 32
    # times of block 0: band A with no ticks, band D with the largest tick count
    tt, scet = obt(acq[0])
    md = float(np.float32(0.0355 * 100.0))
    assert r["measurement_duration"][0] == md * 10000.0 != 35500.0
    assert r["epoch"][0] == int(float(tt) + 5000000.0 * md)
    assert r["scet"][0] == scet + md * 0.5
    assert r["delta_time"][1] == 999948.288 and r["ticks_nr"][1] == 65536
    assert r["delta_time"][2] == 65532610987110 / 1000.0
    assert tuple(r["acquisition_time"][4]) == (2000, 0) and r["synchro_flag"][4] == 0


def test_band_data_ending_inside_a_byte():
    rng = np.random.default_rng(2)
    # three bands of one AGC each: 36 bits, the next block starts on the half-used byte 34
    first = block(rng, (1, 1, 1, 0), ch=(1, 0), au=0, cr=0)
    last = block(rng, (0, 0, 0, 0), ticks=(7, 8, 9, 10))
    case = tnr_survey_group([TnrPacket([first, last])])
    assert case.reports == 0
    assert case.group["PA_THR_TNR_DATA_CNT"][0] == 32  # 34 + 30 bytes
    assert [rec["agc1"] for rec in case.records] == [first.bands[k][0][0] for k in range(3)]
    data = case.group["PA_THR_TNR_DATA"][0].astype(">u2").tobytes()
    assert data[34] >> 4 == first.bands[2][0][0] & 0xF  # shared by both blocks
    assert data[35] == 0x34 and data[48:52] == (7).to_bytes(4, "big")  # tick count A
    # the same block alone: its last bits lie past the declared words
    alone = tnr_survey_group([TnrPacket([first])])
    assert alone.reports == 1 and "past the end" in alone.packet_errors[0]
    assert len(alone.records) == 0


def test_survey_faults_reported_once_and_records_kept_as_decoded():
    rng = np.random.default_rng(3)
    two = [block(rng, (1, 0, 0, 0)), block(rng, (0, 1, 0, 0))]
    good = TnrPacket([block(rng, (0, 0, 1, 0))])

    case = tnr_survey_group([TnrPacket(two, word_count_delta=1), good])
    size = int(case.group["PA_THR_TNR_DATA_CNT"][0])
    assert case.packet_errors == [
        f"Bad decommutation for TNR normal mode\nExpected {2 * size} got {2 * size - 2} bytes",
        None,
    ]
    assert list(case.records["sweep_num"]) == [0, 1, 2]  # failed packet still counts

    case = tnr_survey_group([TnrPacket(two, block_count_delta=-1), good])
    assert case.reports == 1 and list(case.records["tnr_band"]) == [0, 2]

    # one block more than present: a zero row is left at the end of the block array
    case = tnr_survey_group([TnrPacket(two, block_count_delta=1), good])
    assert case.reports == 1 and "past the end" in case.packet_errors[0]
    assert list(case.records["sweep_num"]) == [0, 1, 2]

    # a row cut inside the second block: only the first block is stored
    words = len(encode_survey_packet(TnrPacket(two))[0])
    case = tnr_survey_group([TnrPacket(two, cut_words=3), good], maxwords=words - 3)
    assert case.reports == 1 and list(case.records["sweep_num"]) == [0, 1]

    # no blocks: fine without data, reported with data
    case = tnr_survey_group([TnrPacket([]), TnrPacket([], word_count_delta=3)])
    assert case.packet_errors == [None, "Bad decommutation for TNR normal mode\nExpected 6 got 0 bytes"]
    assert case.group["PA_THR_N_BLOCK_CNT"].tolist() == [0, 0]


def test_empty_groups():
    for case in (tnr_survey_group([]), tnr_calibration_group([]), hfr_calibration_group([])):
        assert case.reports == 0 and len(case.records) == 0
    assert tnr_survey_group([]).records.dtype == np.dtype(_tnr.tnr_dtype())


# --- TNR calibration ------------------------------------------------------------------


def test_tnr_calibration_levels_and_padding():
    rng = np.random.default_rng(4)
    levels = [[random_band(rng, 8) for _ in range(4)] for _ in range(9)]
    # bands A and C, channel 1 only with autos: 9 x 2 x 100 bits = 225 bytes -> one pad byte
    packet = TnrCalibrationPacket(
        tnr_setup=(3, 1, 1, 0, 1, 0, 1),
        levels=levels,
        do_analysis=(0, 0, 1, 0, 1, 0),
        temperature_pcb=200,
        voltages=(1, 2, 3),
        input_setup=(1, 7, 0, 0, 0, 0),
        acquisition_time=(50, 1, 1),
    )
    case = tnr_calibration_group([packet, packet])
    assert case.reports == 0
    assert list(case.group["PA_THR_TNR_DATA_CNT"]) == [118, 118]  # 10 + 225 + 1 bytes
    r = case.records[:18]
    assert list(r["tnr_band"]) == [0] * 9 + [2] * 9
    assert list(r["calibration_level"]) == list(range(9)) * 2
    assert [rec["agc1"] for rec in r] == [levels[lv][k][0][0] for k in (0, 2) for lv in range(9)]
    assert list(r["auto1"][10][:8]) == list(levels[1][2][0][1])
    assert set(r["auto1"][:, 8:].ravel()) == {FILL_U16} and set(r["agc2"]) == {0}
    assert set(r["average_nr"]) == {3} and set(r["survey_mode"]) == {2}
    assert tuple(r["temperature"][0]) == (200, 1, 2, 3)
    tt, scet = obt((50, 1))
    assert set(r["epoch"]) == {int(float(tt))} and set(r["scet"]) == {scet}  # via a double
    assert set(r["sweep_num"]) == {2**32 - 1}  # not written

    off = (0,) * 7
    bad = tnr_calibration_group(
        [TnrCalibrationPacket(tnr_setup=off, word_count_delta=1), packet, TnrCalibrationPacket(word_count_delta=-1)]
    )
    assert bad.packet_errors[0] == "Expected a size of 12 bytes but have 10"
    assert "past the end" in bad.packet_errors[2]
    assert bad.reports == 2 and len(bad.records) == 18


# --- HFR calibration ------------------------------------------------------------------


def test_hfr_calibration_records_per_step():
    rng = np.random.default_rng(5)
    levels = [tuple((tuple(int(v) for v in rng.integers(0, 8192, 3)), ()) for _ in range(2)) for _ in range(9)]
    packet = HfrCalibrationPacket(
        hfr_setup=(1, 40, 0, 1, 5),
        hfr_sweep=(0, 9, 3, 4),
        do_analysis=(0, 0, 0, 1, 1, 0),
        levels=levels,
        acquisition_time=(9, 9, 0),
    )
    case = hfr_calibration_group([packet])
    assert case.reports == 0 and case.error is None
    r = case.records
    assert len(r) == 27 and set(r["hfr_band"]) == {0}
    assert list(r["calibration_level"]) == [lv for lv in range(9) for _ in range(3)]
    assert list(r["frequency"][:3]) == [375 + 50 * (40 + 4 * j) for j in range(3)]
    assert list(r["frequency"][3:6]) == list(r["frequency"][:3])
    assert [rec["agc2"] for rec in r] == [levels[lv][1][0][j] for lv in range(9) for j in range(3)]
    assert set(r["average_nr"]) == {5}

    # an enabled band of step count 0 gives nothing; above 512 steps the whole call fails
    assert len(hfr_calibration_group([HfrCalibrationPacket(hfr_sweep=(0, 1, 0, 1))]).records) == 0
    long = HfrCalibrationPacket(hfr_setup=(0, 0, 1, 0, 0), hfr_sweep=(600, 1, 0, 1), do_analysis=(0, 0, 0, 0, 0, 0))
    case = hfr_calibration_group([long])
    assert case.records is None and "600" in case.error and case.reports == 0


# --- random groups --------------------------------------------------------------------


@pytest.mark.parametrize("make", [random_tnr_survey, random_tnr_calibration, random_hfr_calibration])
def test_random_groups_are_reproducible_with_the_asked_faults(make):
    for seed in range(4):
        a = make(np.random.default_rng(seed), 12, bad=4)
        b = make(np.random.default_rng(seed), 12, bad=4)
        assert a.reports == 4
        for name in a.group:
            assert np.array_equal(a.group[name], b.group[name])
        assert np.array_equal(a.records, b.records)
    clean = make(np.random.default_rng(7), 12)
    assert clean.reports == 0 and len(clean.records) > 0


# --- demo content -----------------------------------------------------------------------


def test_simulate_builds_the_thr_packets_without_their_records(monkeypatch):
    """`dravel simulate` writes packets only: no expected record is computed on the way, and
    the packets are those of the random cases with the same draws."""
    from kesta.dravel import products
    from kesta.dravel.cli.simulate import simulate_groups
    from kesta.dravel.simulate import thr_demo, thr_expected

    def refuse(*args, **kwargs):
        raise AssertionError("expected records computed for demo content")

    for name in ("expected_tnr_survey", "expected_tnr_calibration", "expected_hfr_calibration"):
        monkeypatch.setattr(thr_expected, name, refuse)
    groups, notes, failures = simulate_groups(seed=1, anomalies=True)
    assert not failures and not notes
    thr_packets = {p.packet for p in products.PRODUCTS if p.takes_group}
    assert thr_packets <= set(groups)
    monkeypatch.undo()

    # the demo's survey group is the random case's group, but for the times the demo sets
    rng = np.random.default_rng(5)
    demo = thr_demo.demo_groups(np.random.default_rng(5), anomalies=True)
    case = random_tnr_survey(rng, 12, "normal", bad=2)
    got = demo[products.TNR_NORMAL_PACKET]
    assert case.reports == 2 and got.keys() == case.group.keys()
    for name in case.group:
        if name != "PA_THR_ACQUISITION_TIME":
            np.testing.assert_array_equal(got[name], case.group[name], err_msg=name)
    assert list(got["PA_THR_ACQUISITION_TIME"][:, 0]) == [200_000 + 16 * k for k in range(12)]
