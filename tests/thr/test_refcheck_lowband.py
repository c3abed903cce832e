"""TNR calibration decoder against the L0 simulator: packet records, nine records per enabled
band, per-packet failures, the consumed-size rule and band flags other than 0 or 1."""

import sys

import numpy as np
import pytest
from vantor.core.tools import exceptions

from kesta.dravel.l1.store import ListTask
from kesta.dravel.simulate.thr_encoding import (
    CALIBRATION_BINS,
    TnrCalibrationPacket,
    encode_tnr_calibration_packet,
    zero_band,
)
from kesta.dravel.simulate.thr_expected import tnr_calibration_group
from kesta.dravel.simulate.thr_random import random_band, random_tnr_calibration
from kesta.dravel.tasks.thr import refcheck_lowband as decoder
from kesta.dravel.tasks.thr import science_tools, tnr

from records_support import assert_same_records

FILL_U8, FILL_U16 = 255, 65535


def packet(rng, flags, ch=(1, 1), au=1, cr=1, av=2, acq=(5000, 1234, 1), **kw):
    """A clean calibration packet (no half byte at the end of its spectra)."""
    a, b, c, d = flags
    p = TnrCalibrationPacket(
        tnr_setup=(av, cr, au, d, c, b, a),
        do_analysis=(1, 2, 1, ch[1], ch[0], 0),
        levels=[[random_band(rng, CALIBRATION_BINS) for _ in range(4)] for _ in range(9)],
        temperature_pcb=int(rng.integers(0, 256)),
        voltages=(11, 22, 33),
        input_setup=(3, 4, 5, 1, 2, 3),
        acquisition_time=acq,
        **kw,
    )
    words, size = encode_tnr_calibration_packet(p)
    assert len(words) == size or kw, "test packet must end on a byte"
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
            "tnr_setup",
            "input_setup",
            "do_analysis",
            "data",
            "acquisition_time",
        )
        assert dt["tnr_setup"].names == ("av", "cr", "au", "d", "c", "b", "a")
        assert dt["data"].names == tuple(str(k) for k in range(9))
        for k in range(9):
            assert dt["data"][str(k)].names == ("a", "b", "c", "d")
        band = dt["data"]["0"]["a"]
        assert band["cross"].shape == (8, 2) and band["ch1"]["autos"].shape == (8,)
        assert dt["acquisition_time"].shape == (3,)
        spectra = np.zeros(1, dt)["data"].view(np.uint16)
        assert spectra.size == 1224

    def test_layouts_are_new_lists_on_every_call(self):
        first = decoder.block_data_dtype()
        first.clear()
        assert len(decoder.block_data_dtype()) == 9
        assert decoder.band_dtype() == decoder.band_dtype()

    def test_public_names_and_error_class(self):
        assert decoder.create_dtype.__doc__ == "Create dtype of numpy for the special packet."
        assert decoder.tnr_setup_dtype.__doc__ == "Return the TNR setup command dtype."
        err = decoder.TNRCalibrationDecomError
        assert err.__bases__ == (Exception,)
        assert err.__doc__ == "Error management for TNR calibration."
        assert decoder.extract_band is tnr.extract_calibration_band


class TestRecords:
    def test_random_groups_match_the_simulator(self):
        rng = np.random.default_rng(7)
        for bad in (0, 4):
            case = random_tnr_calibration(rng, 24, bad=bad)
            records, task = decode(case.group)
            assert_same_records(records, case.records)
            assert len(task.reports) == case.reports == bad
            expected = [e for e in case.packet_errors if e is not None]
            for report, text in zip(task.reports, expected):
                assert report.rstrip().endswith(text)

    @pytest.mark.parametrize(
        "form",
        [
            lambda v: [[v[0][0], list(v[0][1])], [v[1][0], list(v[1][1])], [list(c) for c in v[2]]],
            lambda v: ((v[0][0], np.array(v[0][1], np.uint16)), [v[1][0], np.array(v[1][1])], np.array(v[2], np.int32)),
        ],
        ids=["lists", "arrays"],
    )
    def test_band_values_as_lists_or_arrays_decode_as_tuples(self, monkeypatch, form):
        case = random_tnr_calibration(np.random.default_rng(8), 12)
        real = tnr.extract_calibration_band
        monkeypatch.setattr(
            tnr, "extract_calibration_band", lambda *args: (lambda value, offset: (form(value), offset))(*real(*args))
        )
        records, task = decode(case.group)
        assert not task.reports
        assert_same_records(records, case.records)

    def test_bands_a_and_c_give_nine_records_each_in_band_then_level_order(self):
        rng = np.random.default_rng(3)
        p0 = packet(rng, (1, 0, 1, 0), acq=(7000, 65535, 1))
        p1 = packet(rng, (0, 0, 0, 0))
        case = tnr_calibration_group([p0, p1])
        r, task = decode(case.group)
        assert not task.reports
        assert_same_records(r, case.records)
        assert list(r["tnr_band"]) == [0] * 9 + [2] * 9
        assert list(r["calibration_level"]) == list(range(9)) * 2
        # Everything from the packet's header is the same in all of its records.
        for name in ("epoch", "scet", "synchro_flag", "average_nr", "front_end", "survey_mode"):
            assert len(set(r[name].tolist())) == 1, name
        assert r["survey_mode"][0] == 2 and r["average_nr"][0] == 2  # the raw av code
        assert r["acquisition_time"].tolist() == [[7000, 65535]] * 18
        assert r["temperature"][0].tolist() == [p0.temperature_pcb, 11, 22, 33]
        assert r["sensor_config"][0].tolist() == [4, 5] and r["channel_status"][0].tolist() == [1, 1]
        # Spectra come from the band and level they name; bins 8 and up keep their fill.
        for rec in r:
            band = p0.levels[rec["calibration_level"]][rec["tnr_band"]]
            assert rec["agc1"] == band[0][0] and rec["agc2"] == band[1][0]
            assert rec["auto1"][:8].tolist() == list(band[0][1])
            assert rec["auto2"][:8].tolist() == list(band[1][1])
            assert rec["cross_r"][:8].tolist() == [c[0] for c in band[2]]
            assert rec["cross_i"][:8].tolist() == [c[1] for c in band[2]]
            for name in ("auto1", "auto2", "cross_r", "cross_i"):
                assert set(rec[name][8:].tolist()) == {FILL_U16}
        assert set(r["sweep_num"].tolist()) == {np.iinfo(r["sweep_num"].dtype).max}
        assert np.all(r["frequency"] == np.float32(-1e31))

    def test_empty_group_gives_an_empty_array_of_the_output_layout(self):
        case = tnr_calibration_group([])
        r, task = decode(case.group)
        assert r.shape == (0,) and r.dtype == np.dtype(tnr.tnr_dtype()) and not task.reports

    def test_output_layout_is_taken_as_the_helper_module_gives_it(self, monkeypatch):
        real = tnr.tnr_dtype

        def other_layout():
            fields = [(n, "float64" if n in ("agc1", "scet") else t, *s) for n, t, *s in real()]
            return [("spare", "uint8", (3,))] + fields[::-1]

        monkeypatch.setattr(tnr, "tnr_dtype", other_layout)
        case = random_tnr_calibration(np.random.default_rng(11), 6)
        records, _ = decode(case.group)
        assert records.dtype == np.dtype(other_layout())
        assert_same_records(records, case.records)


class TestPacketFailures:
    def test_size_mismatch_is_reported_with_its_own_error_while_it_is_handled(self, monkeypatch):
        rng = np.random.default_rng(5)
        good, bad = packet(rng, (1, 1, 0, 0)), packet(rng, (1, 1, 1, 1), word_count_delta=1)
        case = tnr_calibration_group([good, bad, good])
        seen = []

        def checking_print_exception():
            seen.append(sys.exc_info()[1])
            return f"report {len(seen)}"

        monkeypatch.setattr(exceptions, "print_exception", checking_print_exception)
        r, task = decode(case.group)
        assert task.reports == ["report 1"]
        assert type(seen[0]) is decoder.TNRCalibrationDecomError
        size = 2 * int(case.group["PA_THR_TNR_DATA_CNT"][1])
        assert str(seen[0]) == f"Expected a size of {size} bytes but have {size - 2}"
        assert sys.exc_info() == (None, None, None)
        assert list(r["tnr_band"]) == ([0] * 9 + [1] * 9) * 2  # packet 1 yields nothing
        assert_same_records(r, case.records)

    @pytest.mark.parametrize(
        "final_bits, declared_bytes, ok",
        [(20, 12, True), (20, 14, False), (24, 14, True), (24, 12, False), (32, 14, True), (32, 16, False)],
    )
    def test_consumed_size_counts_whole_bytes_then_pads_to_even(self, monkeypatch, final_bits, declared_bytes, ok):
        real = tnr.extract_calibration_band
        monkeypatch.setattr(tnr, "extract_calibration_band", lambda flag, *args: (real(0, *args)[0], final_bits))
        p = TnrCalibrationPacket(tnr_setup=(0, 0, 0, 0, 0, 0, 0), word_count_delta=declared_bytes // 2 - 5)
        r, task = decode(tnr_calibration_group([p]).group)
        assert len(r) == 0
        if ok:
            assert task.reports == []
        else:
            expected = {20: 12, 24: 14, 32: 14}[final_bits]
            assert len(task.reports) == 1
            assert task.reports[0].endswith(
                f"TNRCalibrationDecomError: Expected a size of {declared_bytes} bytes but have {expected}"
            )

    @pytest.mark.parametrize(
        "fault, error",
        [
            ("offset_over_16_bits", "OverflowError"),
            ("negative_offset", "OverflowError"),
            ("band_not_a_pair", "ValueError"),
            ("setup_not_a_tuple", "TypeError"),
            ("voltages_none", "TypeError"),
            ("band_too_short", "ValueError"),
            ("band_holds_none", "TypeError"),
        ],
    )
    def test_helper_faults_fail_that_packet_only_and_leave_its_row_empty(self, monkeypatch, fault, error):
        rng = np.random.default_rng(9)
        # The middle packet has no cross terms, so its reader is shorter than the others'.
        packets = [packet(rng, (1, 1, 1, 1), acq=(100 + i, 0, 0)) for i in range(3)]
        packets[1].tnr_setup = packets[1].tnr_setup[:1] + (0,) + packets[1].tnr_setup[2:]
        case = tnr_calibration_group(packets)
        real_extract, real_setup, real_volts = tnr.extract_calibration_band, tnr.tnr_setup, decoder.voltages
        victim = {"calls": 0}

        def extract(flag, ch1, ch2, au, cr, data, byte, bitoff):
            band, offset = real_extract(flag, ch1, ch2, au, cr, data, byte, bitoff)
            is_victim = data.length == victim["length"]
            if not is_victim:
                return band, offset
            victim["calls"] += 1
            if victim["calls"] < 36:  # the packet's last band: everything before it went through
                return band, offset
            return {
                "offset_over_16_bits": lambda: (band, 65536),
                "negative_offset": lambda: (band, -1),
                "band_not_a_pair": lambda: (band, offset, 0),
                "band_too_short": lambda: (band[:2], offset),
                "band_holds_none": lambda: ((band[0], band[1], ((None, 0),) + band[2][1:]), offset),
            }.get(fault, lambda: (band, offset))()

        victim["length"] = 2 * int(case.group["PA_THR_TNR_DATA_CNT"][1])
        # Packets 0 and 2 must not have the victim's length for the fault to hit packet 1 only.
        assert (
            2 * int(case.group["PA_THR_TNR_DATA_CNT"][0])
            != victim["length"]
            != 2 * int(case.group["PA_THR_TNR_DATA_CNT"][2])
        )
        monkeypatch.setattr(tnr, "extract_calibration_band", extract)
        if fault == "setup_not_a_tuple":
            monkeypatch.setattr(
                tnr,
                "tnr_setup",
                lambda data, byte: (
                    list(real_setup(data, byte)) if data.length == victim["length"] else real_setup(data, byte)
                ),
            )
        if fault == "voltages_none":
            monkeypatch.setattr(
                science_tools,
                "voltages",
                lambda data, byte: None if data.length == victim["length"] else real_volts(data, byte),
            )
        r, task = decode(case.group)
        assert len(task.reports) == 1 and error in task.reports[0].splitlines()[-1]
        assert victim["calls"] == (0 if fault == "setup_not_a_tuple" else 36)  # None is a valid command until stored
        assert r["acquisition_time"][:, 0].tolist() == [100] * 36 + [102] * 36

    def test_missing_or_short_parameters(self):
        rng = np.random.default_rng(4)
        case = tnr_calibration_group([packet(rng, (1, 0, 0, 0)) for _ in range(3)])
        group = dict(case.group)
        group["PA_THR_TNR_DATA_CNT"] = np.append(group["PA_THR_TNR_DATA_CNT"], 7)
        r, task = decode(group)
        assert len(r) == 27 and len(task.reports) == 1
        assert "PA_THR_TNR_DATA: packet 3 is beyond its 3 packets" in task.reports[0]
        del group["PA_THR_ACQUISITION_TIME"]
        r, task = decode(group)
        assert len(r) == 0 and len(task.reports) == 4
        with pytest.raises(KeyError, match="PA_THR_TNR_DATA_CNT"):
            decode({k: v for k, v in case.group.items() if k != "PA_THR_TNR_DATA_CNT"})

    def test_word_count_beyond_the_row_is_reported(self):
        rng = np.random.default_rng(8)
        case = random_tnr_calibration(rng, 5, bad=2, faults=("truncated",))
        r, task = decode(case.group)
        assert len(task.reports) == 2
        assert_same_records(r, case.records)


class TestBandFlags:
    def test_flag_other_than_one_adds_no_record_and_no_fill_tail(self, monkeypatch):
        rng = np.random.default_rng(12)
        p = packet(rng, (1, 0, 1, 0))
        real_setup, real_extract = tnr.tnr_setup, tnr.extract_calibration_band
        # Band B's flag reads 2; the band reader sees it as off (nothing was sent for it).
        monkeypatch.setattr(
            tnr, "tnr_setup", lambda data, byte: real_setup(data, byte)[:5] + (2,) + real_setup(data, byte)[6:]
        )
        monkeypatch.setattr(
            tnr, "extract_calibration_band", lambda flag, *args: real_extract(0 if flag == 2 else flag, *args)
        )
        case = tnr_calibration_group([p, p])
        r, task = decode(case.group)
        assert not task.reports
        assert len(r) == 36 and list(r["tnr_band"]) == ([0] * 9 + [2] * 9) * 2
        assert FILL_U8 not in r["tnr_band"].tolist()
        assert_same_records(r, case.records)

    def test_components_are_looked_up_on_every_call(self, monkeypatch):
        rng = np.random.default_rng(13)
        case = tnr_calibration_group([packet(rng, (1, 1, 1, 1))])
        assert len(decode(case.group)[0]) == 36
        real_setup = tnr.tnr_setup
        monkeypatch.setattr(tnr, "tnr_setup", lambda data, byte: real_setup(data, byte)[:3] + (0, 0, 0, 1))
        monkeypatch.setattr(
            tnr, "extract_calibration_band", lambda flag, ch1, ch2, au, cr, data, byte, bitoff: (zero_band(8), 0)
        )
        r, task = decode(case.group)
        # Band A only, and the size check now fails: nothing was consumed.
        assert len(r) == 0 and len(task.reports) == 1
        assert decoder.tnr_setup is tnr.tnr_setup
