"""HFR calibration decoder against the L0 simulator: records per enabled band, level and
frequency step, the frequency rule's arguments, step counts at and past the limits, per-packet
failures and the public record count."""

import sys

import numpy as np
import pytest
from vantor.core.tools import exceptions

from kesta.dravel.l1.store import ListTask
from kesta.dravel.simulate.thr_encoding import HfrCalibrationPacket, encode_hfr_calibration_packet
from kesta.dravel.simulate.thr_expected import hfr_calibration_group
from kesta.dravel.simulate.thr_random import random_hfr_calibration
from kesta.dravel.tasks.thr import hfr
from kesta.dravel.tasks.thr import refcheck_highband as decoder

from records_support import assert_same_records


def packet(rng, hf1, hf2, hf1_step, hf2_step, ch=(1, 1), f0=7, sizes=(3, 5), acq=(9000, 4096, 1), **kw):
    """A calibration packet whose values end on a byte or in the pad byte."""

    def chan():
        return (
            tuple(int(v) for v in rng.integers(0, 1 << 13, hf1_step)),
            tuple(int(v) for v in rng.integers(0, 1 << 13, hf2_step)),
        )

    p = HfrCalibrationPacket(
        hfr_setup=(1, f0, hf2, hf1, 5),
        hfr_sweep=(hf2_step, sizes[1], hf1_step, sizes[0]),
        do_analysis=(0, 1, 0, ch[1], ch[0], 1),
        levels=[(chan(), chan()) for _ in range(9)],
        temperature_pcb=200,
        voltages=(1, 2, 3),
        input_setup=(2, 6, 7, 0, 0, 0),
        acquisition_time=acq,
        **kw,
    )
    words, size = encode_hfr_calibration_packet(p)
    assert len(words) == size or kw, "test packet must be clean"
    return p


def decode(group):
    task = ListTask()
    return decoder.decommute(group, task), task


class TestLayouts:
    def test_packet_record_layout(self):
        dt = np.dtype(decoder.create_dtype())
        assert dt.names == (
            "temperature_pcb",
            "voltages",
            "hfr_setup",
            "input_setup",
            "hfr_sweep",
            "do_analysis",
            "data",
            "acquisition_time",
        )
        assert dt["hfr_setup"].names == ("sw", "initial_frequency", "hf2", "hf1", "av")
        assert dt["hfr_sweep"].names == ("hf2_step", "hf2_size", "hf1_step", "hf1_size")
        assert dt["hfr_sweep"]["hf1_step"] == np.uint16 and dt["hfr_setup"]["initial_frequency"] == np.uint16
        assert dt["data"].names == tuple(str(k) for k in range(9))
        assert dt["data"]["8"].names == ("ch1", "ch2")
        assert dt["data"]["0"]["ch2"].names == ("hf1", "hf2")
        assert np.zeros(1, dt)["data"].view(np.uint16).size == 18432

    def test_public_names_and_error_class(self):
        assert decoder.create_dtype.__doc__ == "Create dtype of numpy for the special packet."
        assert decoder.band_record_number.__doc__ == "Get the number of records for each band."
        err = decoder.HFRCalibrationDecomError
        assert err.__bases__ == (Exception,) and err.__doc__ == "Error management for HFR calibration."
        assert decoder.compute_frequency is hfr.compute_frequency

    def test_band_record_number_counts_steps_of_bands_whose_flag_is_one(self):
        array = np.zeros(4, np.dtype(decoder.create_dtype()))
        array["hfr_setup"]["hf1"] = [1, 1, 2, 0]
        array["hfr_setup"]["hf2"] = [1, 0, 1, 1]
        array["hfr_sweep"]["hf1_step"] = [3, 0, 50, 7]
        array["hfr_sweep"]["hf2_step"] = [4, 9, 1, 0]
        n = decoder.band_record_number(array)
        assert type(n) is np.uint64 and n == 9 * (3 + 4 + 1)
        assert decoder.band_record_number(np.zeros(0, array.dtype)) == 0
        with pytest.raises(KeyError, match="hfr_setup"):
            decoder.band_record_number(np.zeros(2, [("x", "u1")]))


class TestRecords:
    def test_random_groups_match_the_simulator(self):
        rng = np.random.default_rng(21)
        for bad in (0, 3):
            case = random_hfr_calibration(rng, 20, bad=bad, max_steps=12)
            records, task = decode(case.group)
            assert_same_records(records, case.records)
            assert len(task.reports) == case.reports == bad
            for report, text in zip(task.reports, [e for e in case.packet_errors if e is not None]):
                assert report.rstrip().endswith(text)

    def test_one_band_of_three_steps_gives_27_records_in_level_then_step_order(self, monkeypatch):
        rng = np.random.default_rng(2)
        p = packet(rng, hf1=1, hf2=0, hf1_step=3, hf2_step=4)
        calls = []
        real = hfr.compute_frequency
        monkeypatch.setattr(hfr, "compute_frequency", lambda *args: calls.append(args) or real(*args))
        case = hfr_calibration_group([p])
        expected_calls, calls[:] = list(calls), []
        r, task = decode(case.group)
        assert not task.reports and len(r) == 27
        assert_same_records(r, case.records)
        assert set(r["hfr_band"].tolist()) == {0}
        assert r["calibration_level"].tolist() == [k for k in range(9) for _ in range(3)]
        assert [c[1] for c in calls] == [0, 1, 2] * 9
        assert {c[:1] + c[2:] for c in calls} == {(7, 3, 3, 5, "hf1")}
        assert [tuple(map(int, c[:5])) + c[5:] for c in calls] == expected_calls
        assert r["frequency"][:3].tolist() == [375 + 50 * (7 + j * 3) for j in range(3)]
        for rec, (k, j) in zip(r, [(k, j) for k in range(9) for j in range(3)]):
            assert rec["agc1"] == p.levels[k][0][0][j] and rec["agc2"] == p.levels[k][1][0][j]
        for name in ("epoch", "scet", "synchro_flag", "average_nr", "front_end"):
            assert len(set(r[name].tolist())) == 1, name
        assert r["average_nr"][0] == 5 and r["survey_mode"][0] == 2
        assert r["temperature"][0].tolist() == [200, 1, 2, 3] and r["sensor_config"][0].tolist() == [6, 7]
        assert r["acquisition_time"][0].tolist() == [9000, 4096] and r["synchro_flag"][0] == 1

    def test_second_band_frequencies_continue_after_the_first_sweep(self):
        rng = np.random.default_rng(4)
        p = packet(rng, hf1=1, hf2=1, hf1_step=2, hf2_step=2, f0=10, sizes=(4, 6))
        r, _ = decode(hfr_calibration_group([p]).group)
        assert r["hfr_band"].tolist() == [0] * 18 + [1] * 18
        hf2 = r[r["hfr_band"] == 1]
        assert hf2["frequency"][:2].tolist() == [375 + 50 * (10 + 2 * 4 + j * 6) for j in range(2)]
        assert [rec["agc2"] for rec in hf2[:2]] == list(p.levels[0][1][1])

    @pytest.mark.parametrize(
        "hf1, hf2, hf1_step, hf2_step, expected",
        [
            (1, 1, 0, 4, 36),  # an enabled band with no step yields nothing
            (0, 1, 5, 0, 0),
            (0, 0, 4, 4, 0),
        ],
    )
    def test_step_counts_and_flags(self, hf1, hf2, hf1_step, hf2_step, expected):
        rng = np.random.default_rng(5)
        case = hfr_calibration_group([packet(rng, hf1, hf2, hf1_step, hf2_step)])
        r, task = decode(case.group)
        assert len(r) == expected and not task.reports
        assert_same_records(r, case.records)

    def test_empty_group_gives_an_empty_array_of_the_output_layout(self):
        r, task = decode(hfr_calibration_group([]).group)
        assert r.shape == (0,) and r.dtype == np.dtype(hfr.hfr_dtype()) and not task.reports


class TestCallFailures:
    def test_more_than_512_steps_in_an_enabled_band_ends_the_call(self):
        rng = np.random.default_rng(6)
        good = packet(rng, 1, 0, 4, 0)
        big = packet(rng, 1, 0, 600, 0, ch=(1, 0))
        case = hfr_calibration_group([good, big])
        assert case.records is None and case.error
        with pytest.raises(IndexError, match=r"packet 1: band hf1 announces 600 frequency steps.* 512 values"):
            decode(case.group)

    def test_more_than_512_steps_in_a_disabled_band_is_harmless(self):
        rng = np.random.default_rng(6)
        case = hfr_calibration_group([packet(rng, 0, 1, 700, 3, ch=(0, 1))])
        r, task = decode(case.group)
        assert len(r) == 27 and not task.reports
        assert_same_records(r, case.records)

    def test_negative_frequency_ends_the_call(self, monkeypatch):
        rng = np.random.default_rng(7)
        case = hfr_calibration_group([packet(rng, 1, 0, 4, 0)])
        monkeypatch.setattr(hfr, "compute_frequency", lambda *args: -1)
        with pytest.raises(OverflowError, match="compute_frequency"):
            decode(case.group)


class TestPacketFailures:
    def test_size_mismatch_is_reported_while_handled_and_the_packet_yields_nothing(self, monkeypatch):
        rng = np.random.default_rng(8)
        packets = [
            packet(rng, 1, 1, 2, 1, acq=(1, 0, 0)),
            packet(rng, 1, 1, 2, 2, acq=(2, 0, 0), word_count_delta=2),
            packet(rng, 0, 1, 1, 1, acq=(3, 0, 0)),
        ]
        case = hfr_calibration_group(packets)
        seen = []

        def checking_print_exception():
            seen.append(sys.exc_info()[1])
            return "reported"

        monkeypatch.setattr(exceptions, "print_exception", checking_print_exception)
        r, task = decode(case.group)
        assert task.reports == ["reported"] and type(seen[0]) is decoder.HFRCalibrationDecomError
        declared = 2 * int(case.group["PA_THR_HFR_DATA_CNT"][1])
        assert str(seen[0]) == f"Expected a size of {declared} bytes but have {declared - 4}"
        assert sorted(set(r["acquisition_time"][:, 0].tolist())) == [1, 3]
        assert_same_records(r, case.records)

    @pytest.mark.parametrize(
        "sweep, error",
        [
            ((0, 1, 70000, 1), "OverflowError"),  # HF1 step count beyond 16 bits
            ((-1, 1, 2, 1), "OverflowError"),
            ((2, 1, 2), "ValueError"),  # one value short of the sweep record
            ("2121", "TypeError"),
        ],
    )
    def test_sweep_setup_faults_fail_that_packet(self, monkeypatch, sweep, error):
        rng = np.random.default_rng(9)
        case = hfr_calibration_group([packet(rng, 1, 1, 2, 2, acq=(i, 0, 0)) for i in range(3)])
        real = hfr.hfr_sweep_setup
        seen = []

        def sweep_setup(data, byte):
            seen.append(None)
            return sweep if len(seen) == 2 else real(data, byte)

        monkeypatch.setattr(hfr, "hfr_sweep_setup", sweep_setup)
        r, task = decode(case.group)
        assert len(task.reports) == 1 and error in task.reports[0].splitlines()[-1]
        assert sorted(set(r["acquisition_time"][:, 0].tolist())) == [0, 2]

    def test_channel_value_of_the_wrong_shape_fails_the_packet(self, monkeypatch):
        rng = np.random.default_rng(10)
        case = hfr_calibration_group([packet(rng, 1, 0, 4, 0, acq=(i, 0, 0)) for i in range(2)])
        real = hfr.extract_band
        calls = []

        def extract(*args):
            value, offset = real(*args)
            calls.append(None)
            return ((value[0][:-1], value[1]) if len(calls) == 36 else value), offset

        monkeypatch.setattr(hfr, "extract_band", extract)
        r, task = decode(case.group)
        assert len(task.reports) == 1 and "holds 1024 values, the helper gave 1023" in task.reports[0]
        assert set(r["acquisition_time"][:, 0].tolist()) == {0}


def random_case(seed, npackets=12):
    """Random packets; every packet decodes (the channel value forms below are checked on all)."""
    return random_hfr_calibration(np.random.default_rng(seed), npackets, max_steps=20)


def channel_values_as(monkeypatch, form):
    """extract_band answering with its channel value (hf1 values, hf2 values) made by form()."""
    real = hfr.extract_band
    monkeypatch.setattr(hfr, "extract_band", lambda *args: (lambda value, offset: (form(value), offset))(*real(*args)))


class TestChannelValueForms:
    """The contract lets extract_band give its values as tuples, lists or NumPy arrays. Only the
    steps an enabled band writes out reach the records, but the whole value is checked."""

    @pytest.mark.parametrize(
        "form",
        [
            lambda v: v,
            lambda v: [list(v[0]), list(v[1])],
            lambda v: (np.array(v[0], np.int64), np.array(v[1], np.uint16)),
            lambda v: np.array(v, np.uint32),  # one 2 x 512 array
            lambda v: (np.array(v[0], ">u2"), np.repeat(np.array(v[1], np.int16), 2)[::2]),  # swapped, strided
            lambda v: (tuple(map(float, v[0])), v[1]),
        ],
        ids=["tuples", "lists", "arrays", "2d-array", "odd-arrays", "floats"],
    )
    def test_every_form_gives_the_simulators_records(self, monkeypatch, form):
        case = random_case(30)
        channel_values_as(monkeypatch, form)
        records, task = decode(case.group)
        assert not task.reports
        assert_same_records(records, case.records)

    @pytest.mark.parametrize(
        "bad, error",
        [
            (None, "TypeError: field 'data.0.ch2': a value is None"),
            ("x", "TypeError: field 'data.0.ch2': 'x' is not a number"),
            (2**70, f"OverflowError: field 'data.0.ch2': value {2**70} does not fit 64 bits"),
            ((1, 2), "ValueError: field 'data.0.ch2' holds 1024 values, the helper gave more"),
        ],
    )
    @pytest.mark.parametrize("where", [(0, 500), (1, 3)], ids=["past-the-steps", "disabled-band"])
    def test_a_bad_item_no_record_reads_still_fails_its_packet(self, monkeypatch, bad, error, where):
        rng = np.random.default_rng(31)
        packets = [packet(rng, 1, 0, 4, 3, acq=(i, 0, 0)) for i in range(3)]
        case = hfr_calibration_group(packets)
        calls = []

        def spoil(value):
            calls.append(None)
            if len(calls) != 20:  # packet 1, level 0, channel 2
                return value
            band, index = where
            items = list(value[band])
            items[index] = bad
            return (tuple(items), value[1]) if band == 0 else (value[0], tuple(items))

        channel_values_as(monkeypatch, spoil)
        records, task = decode(case.group)
        assert len(task.reports) == 1 and task.reports[0].rstrip().endswith(error)
        assert sorted(set(records["acquisition_time"][:, 0].tolist())) == [0, 2]
        assert_same_records(records, case.records[case.records["acquisition_time"][:, 0] != 1])

    def test_numbers_of_other_kinds_no_record_reads_are_accepted(self, monkeypatch):
        rng = np.random.default_rng(32)
        case = hfr_calibration_group([packet(rng, 1, 0, 4, 3, acq=(i, 0, 0)) for i in range(2)])
        others = (2.5, True, np.uint16(7), -1, 2**40)
        channel_values_as(monkeypatch, lambda v: (v[0][:4] + others + v[0][4 + len(others) :], v[1][:-1] + (2**63,)))
        records, task = decode(case.group)
        assert not task.reports
        assert_same_records(records, case.records)
