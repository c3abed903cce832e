"""TNR survey decoder against the THR simulator: records, per-packet reports, failures."""

import sys

import numpy as np
import pytest
import vantor.core.tools.exceptions as framework
from quorel.time import Time

from kesta.dravel.l1.store import ListTask
from kesta.dravel.simulate.thr_demo import demo_groups
from kesta.dravel.simulate.thr_encoding import TnrBlock, TnrPacket, zero_band
from kesta.dravel.simulate.thr_expected import ThrCase, expected_tnr_survey, tnr_survey_group
from kesta.dravel.simulate.thr_random import random_band, random_tnr_survey
from kesta.dravel.tasks.thr import science_tools, tnr
from kesta.dravel.tasks.thr import survey_lowband as sl

from records_support import assert_same_records

DECODERS = {"normal": sl.decommute_normal, "burst": sl.decommute_burst}


def decode(case, mode="normal"):
    task = ListTask()
    out = DECODERS[mode](case.group, task)
    return out, task


def assert_records(out, expected):
    assert out.dtype == np.dtype(tnr.tnr_dtype())
    assert_same_records(out, expected, exact=True)


def full_block(rng, flags=(1, 1, 1, 1), av=1, ticks=(0, 0, 0, 0), cmd_ctr=0x1234):
    a, b, c, d = flags
    return TnrBlock(
        tnr_setup=(av, 1, 1, d, c, b, a),
        do_analysis=(0, 0, 1, 1, 1, 0),
        bands=tuple(random_band(rng) for _ in range(4)),
        delta_times=ticks,
        cmd_ctr=cmd_ctr,
        zelk_status=(1, 2, 3, 0, 1, 5),
        temperatures=(1023, 0, 512, 7),
        input_setup=(2, 5, 6, 1, 2, 3),
    )


# --- whole groups ------------------------------------------------------------------------


@pytest.mark.parametrize("mode", ["normal", "burst"])
@pytest.mark.parametrize("seed,bad", [(1, 0), (2, 4), (3, 9)])
def test_random_groups_match_the_simulator(mode, seed, bad):
    case = random_tnr_survey(np.random.default_rng(seed), 24, mode, max_blocks=5, bad=bad)
    out, task = decode(case, mode)
    assert_records(out, case.records)
    assert set(out["survey_mode"]) <= {0 if mode == "normal" else 1}
    assert len(task.reports) == case.reports
    failed = [e for e in case.packet_errors if e is not None]
    for report, error in zip(task.reports, failed):
        assert error.splitlines()[-1] in report


def test_groups_of_lists_and_other_integer_types_decode_alike():
    case = random_tnr_survey(np.random.default_rng(7), 6, "normal", bad=2)
    group = {name: np.asarray(values).tolist() for name, values in case.group.items()}
    group["PA_THR_TNR_DATA"] = np.asarray(case.group["PA_THR_TNR_DATA"]).astype(np.int64)
    out, task = decode(ThrCase(group, None, 0, []))
    assert_records(out, case.records)
    assert len(task.reports) == case.reports


def test_no_packets_gives_an_empty_array():
    case = tnr_survey_group([], "burst")
    out, task = decode(case, "burst")
    assert len(out) == 0 and out.dtype == np.dtype(tnr.tnr_dtype()) and not task.reports


# --- records of one block ----------------------------------------------------------------


def test_bands_in_order_and_times_of_each_band():
    rng = np.random.default_rng(11)
    ticks = (0, 65536, 0xFFFFFFFF, 1)
    blocks = [full_block(rng, (1, 0, 1, 1), av=1, ticks=ticks), full_block(rng, (0, 0, 0, 0))]
    acq = (123456, 40000, 1)
    case = tnr_survey_group([TnrPacket(blocks, acq), TnrPacket([full_block(rng)], acq)])
    out, task = decode(case)
    assert_records(out, case.records)
    assert list(out["tnr_band"]) == [0, 2, 3, 0, 1, 2, 3]
    assert list(out["sweep_num"]) == [0, 0, 0, 2, 2, 2, 2]

    t = np.array([acq[:2]], dtype=np.uint32)
    obt = int(np.int64(Time().obt_to_utc(t, to_tt2000=True)[0]))
    scet0 = float(Time.cuc_to_scet(t)[0])
    for rec, band, tick in zip(out[:3], (0, 2, 3), (0, 0xFFFFFFFF, 1)):
        md = float(np.float32(tnr.DURATION[1, band] * 100.0))
        delta = tick * 15258
        assert rec["ticks_nr"] == tick
        assert rec["delta_time"] == delta / 1000.0
        assert rec["measurement_duration"] == md * 10000.0
        assert rec["epoch"] == np.int64(float(obt + delta) + 10000000.0 * (md * 0.5))
        assert rec["scet"] == scet0 + delta / 1e9 + md * 0.5
        np.testing.assert_array_equal(rec["frequency"], np.float32(sl.TNR_BAND_FREQUENCY[band]))
    assert out[1]["delta_time"] == 65532610987.11
    # DURATION[1, 2] * 100 is not a float32 value: the rounding shows
    assert out[1]["measurement_duration"] != 4600.0
    two = tnr_survey_group([TnrPacket([full_block(rng, (0, 1, 0, 0), ticks=(0, 65536, 0, 0))])])
    assert decode(two)[0]["delta_time"][0] == 999948.288


def test_block_boundaries_round_up_to_even_bytes_and_share_partial_bytes():
    rng = np.random.default_rng(21)

    def block(flags, ch1, ch2, au, cr):
        a, b, c, d = flags
        return TnrBlock(
            tnr_setup=(2, cr, au, d, c, b, a),
            do_analysis=(0, 0, 1, ch2, ch1, 0),
            bands=tuple(random_band(rng) for _ in range(4)),
            cmd_ctr=0xFFFF,
            delta_times=(1, 2, 3, 4),
        )

    blocks = [
        block((1, 1, 1, 0), 1, 0, 1, 0),  # 3 x 364 bits: ends mid-byte 166, next block there
        block((0, 1, 0, 0), 1, 0, 0, 1),  # 12 bits: 31 rounded up to 32
        block((0, 0, 0, 0), 1, 1, 1, 1),  # no band data at all: 30
        block((1, 0, 0, 1), 0, 1, 1, 1),  # no cross terms without both channels
        block((1, 1, 1, 1), 1, 1, 0, 1),
    ]  # cross terms without autos
    # a packet cannot end on a partial byte: that byte would lie past its word count
    again = [blocks[k] for k in (3, 0, 4, 2, 1)]
    case = tnr_survey_group([TnrPacket(blocks, (99, 1, 1)), TnrPacket(again, (98, 2, 0))])
    out, task = decode(case)
    assert not task.reports
    assert_records(out, case.records)
    assert len(out) == 2 * (3 + 1 + 0 + 2 + 4)


def test_frequency_tables():
    freqs = sl.TNR_FREQUENCY_LIST
    assert len(freqs) == 128 and freqs[0] == 3991.785737
    assert np.allclose(np.diff(np.log2(freqs)), 1 / 16)
    assert round(freqs[127], 3) == 978572.062
    assert sorted(sl.TNR_BAND_FREQUENCY) == [0, 1, 2, 3]
    assert list(sl.TNR_BAND_FREQUENCY[1]) == list(freqs[32:64])
    assert round(sl.TNR_BAND_FREQUENCY[1][0], 3) == 15967.143
    assert round(sl.TNR_BAND_FREQUENCY[0][31], 3) == 15290.188
    assert sl.THR_TICK_NSEC == 15258 and sl.UINT32_MAX_ENCODING == 2**32


def test_layouts_are_new_lists_built_from_the_helper_layouts(monkeypatch):
    first = sl.create_dtype()
    first.clear()
    layout = np.dtype(sl.create_dtype())
    assert layout.names == (
        "cmd_ctr",
        "zelk_status",
        "temperatures",
        "tnr_setup",
        "input_setup",
        "do_analysis",
        "delta_times",
        "data",
        "acquisition_time",
    )
    assert layout["tnr_setup"].names == ("av", "cr", "au", "d", "c", "b", "a")
    assert layout["data"]["c"]["cross"].shape == (32, 2)
    assert layout["data"]["a"]["ch2"]["autos"].shape == (32,)
    monkeypatch.setattr(science_tools, "zelk_status_dtype", lambda: [("only", "uint32")])
    assert np.dtype(sl.create_dtype())["zelk_status"] == np.dtype([("only", "uint32")])
    for op in (sl.tnr_setup_dtype, sl.delta_times_dtype, sl.channel_dtype, sl.band_dtype, sl.block_data_dtype):
        assert op() is not op() and op() == op()


# --- band flags --------------------------------------------------------------------------


def test_band_record_number_counts_only_flags_equal_to_one():
    blocks = np.zeros(4, dtype=np.dtype(sl.create_dtype()))
    setup = blocks["tnr_setup"]
    setup["a"] = [1, 2, 1, 0]
    setup["b"] = [3, 0, 1, 255]
    setup["d"] = [1, 1, 1, 1]
    assert sl.band_record_number(blocks) == (7, (2, 1, 0, 4))
    assert sl.band_record_number(blocks[:0]) == (0, (0, 0, 0, 0))


def test_flags_of_two_or_more_disable_a_band(monkeypatch):
    """Blocks whose setup reads a flag of 2 or 3 yield no record for that band and no
    trailing fill records."""
    rng = np.random.default_rng(5)
    blocks = [full_block(rng, (0, 1, 1, 0)), full_block(rng, (1, 0, 0, 1)), full_block(rng, (0, 0, 1, 1))]
    case = tnr_survey_group([TnrPacket(blocks[:2], (10, 0, 0)), TnrPacket(blocks[2:], (20, 0, 0))])
    setup, extract = tnr.tnr_setup, tnr.extract_band

    def lying_setup(data, byte):
        av, cr, au, d, c, b, a = setup(data, byte)
        return (av, cr, au, d or 3, c, b or 2, a or 2)

    def extract_band(flag, *args):
        return extract(0 if flag >= 2 else flag, *args)

    monkeypatch.setattr(tnr, "tnr_setup", lying_setup)
    monkeypatch.setattr(tnr, "extract_band", extract_band)
    out, task = decode(case)
    assert not task.reports
    assert_records(out, case.records)
    assert list(out["tnr_band"]) == [1, 2, 0, 3, 2, 3]


# --- per-packet failures -----------------------------------------------------------------


def test_size_check_reports_exact_text_and_keeps_the_blocks():
    rng = np.random.default_rng(3)
    packets = [
        TnrPacket([full_block(rng), full_block(rng, (0, 1, 0, 0))], (1, 2, 0), word_count_delta=1),
        TnrPacket([], (3, 4, 0)),  # no blocks, no words: fine
        TnrPacket([], (3, 4, 0), word_count_delta=7),  # no blocks but 7 words
        TnrPacket([full_block(rng, (0, 0, 1, 0))], (5, 6, 1)),
    ]
    case = tnr_survey_group(packets, "burst")
    out, task = decode(case, "burst")
    assert_records(out, case.records)
    # 682 bytes of the full block, then 30 + 163 of the one-band block: 875, rounded up to 876
    assert int(case.group["PA_THR_TNR_DATA_CNT"][0]) == 439
    assert task.reports[0].endswith("Bad decommutation for TNR burst mode\nExpected 878 got 876 bytes")
    assert task.reports[1].endswith("Bad decommutation for TNR burst mode\nExpected 14 got 0 bytes")
    assert len(task.reports) == 2
    assert list(out["sweep_num"]) == [0, 0, 0, 0, 1, 2]  # the failed packet's blocks stay


def test_short_data_row_reader_gets_the_words_present():
    rng = np.random.default_rng(4)
    one = TnrPacket([full_block(rng)], (7, 0, 0), extra_count=5)  # 5 words beyond the row
    cut = TnrPacket([full_block(rng), full_block(rng)], (8, 0, 0))
    words = (30 + 4 * 163) // 2
    case = tnr_survey_group([one, cut], maxwords=words + 20)
    out, task = decode(case)
    assert_records(out, case.records)
    assert task.reports[0].endswith(f"Expected {2 * (words + 5)} got {2 * words} bytes")
    # the second packet's row is cut: the reader ends where the row does
    assert f"of the {2 * (words + 20)} bytes of data" in task.reports[1]
    assert list(out["sweep_num"]) == [0, 0, 0, 0, 1, 1, 1, 1]


def test_failure_mid_packet_keeps_stored_blocks_and_the_next_packet_follows():
    rng = np.random.default_rng(6)
    first = TnrPacket(
        [full_block(rng, (1, 0, 0, 0)), full_block(rng, (0, 1, 0, 0))], (1, 0, 0), block_count_delta=3
    )  # announces 5 blocks, has 2
    second = TnrPacket([full_block(rng, (0, 0, 1, 0))], (2, 0, 0))
    case = tnr_survey_group([first, second])
    out, task = decode(case)
    assert_records(out, case.records)
    assert len(task.reports) == 1 and "IndexError" in task.reports[0]
    # rows 0 and 1 from the first packet, row 2 from the second; rows 3 to 5 stay zero
    assert list(out["sweep_num"]) == [0, 1, 2]
    assert list(out["acquisition_time"][:, 0]) == [1, 1, 2]


def test_missing_data_parameter_fails_each_packet_not_the_call():
    case = random_tnr_survey(np.random.default_rng(8), 3, "normal")
    for name in ("PA_THR_TNR_DATA", "PA_THR_TNR_DATA_CNT", "PA_THR_ACQUISITION_TIME"):
        group = dict(case.group)
        del group[name]
        out, task = decode(ThrCase(group, None, 0, []))
        assert len(out) == 0
        assert len(task.reports) == 3 and all(name in r for r in task.reports)


def test_missing_or_bad_block_counts_end_the_call():
    case = random_tnr_survey(np.random.default_rng(9), 3, "normal")
    task = ListTask()
    with pytest.raises(KeyError, match="PA_THR_B_BLOCK_CNT"):
        sl.decommute_burst(case.group, task)
    group = dict(case.group, PA_THR_N_BLOCK_CNT=np.array([1, -1, 2]))
    with pytest.raises(ValueError, match="PA_THR_N_BLOCK_CNT: packet 1"):
        sl.decommute_normal(group, task)
    assert not task.reports


def test_a_lying_block_count_costs_its_packet_only():
    case = random_tnr_survey(np.random.default_rng(10), 3, "normal", max_blocks=2)
    out0, _ = decode(case)
    group = dict(case.group, PA_THR_N_BLOCK_CNT=np.asarray(case.group["PA_THR_N_BLOCK_CNT"], np.int64).copy())
    group["PA_THR_N_BLOCK_CNT"][1] = 2**40
    out, task = decode(ThrCase(group, None, 0, []))
    assert len(task.reports) == 1
    assert "PA_THR_N_BLOCK_CNT: packet 1 announces 1099511627776 blocks" in task.reports[0]
    first = out0["acquisition_time"][:, 0] != case.group["PA_THR_ACQUISITION_TIME"][1, 0]
    kept = out0[first]
    assert len(out) == len(kept)
    for name in kept.dtype.names:
        if name != "sweep_num":
            np.testing.assert_array_equal(out[name], kept[name], err_msg=name)


@pytest.mark.parametrize(
    "helper,replacement,error",
    [
        ("extract_band", lambda *a: (zero_band(),), "ValueError"),
        ("extract_band", lambda *a: [zero_band(), 0, 0], "ValueError"),
        ("extract_band", lambda *a: (zero_band(), 70000), "OverflowError"),
        ("extract_band", lambda *a: (zero_band(), -1), "OverflowError"),
        ("extract_band", lambda *a: (((0, (0,) * 31), (0, (0,) * 32), ((0, 0),) * 32), 0), "ValueError"),
        ("tnr_setup", lambda d, b: [0, 1, 1, 1, 1, 1, 1], "TypeError"),
        ("tnr_setup", lambda d, b: (0, 1, 1), "IndexError"),
        ("delta_times", lambda d, b: (1, 2, None, 4), "TypeError"),
    ],
)
def test_bad_helper_results_are_reported_per_packet(monkeypatch, helper, replacement, error):
    rng = np.random.default_rng(10)
    case = tnr_survey_group([TnrPacket([full_block(rng)], (p, 0, 0)) for p in range(3)])
    real = getattr(tnr, helper)
    bad_call = 5 if helper == "extract_band" else 2  # the second packet's block
    calls = []

    def sometimes(*args):
        calls.append(args)
        return replacement(*args) if len(calls) == bad_call else real(*args)

    monkeypatch.setattr(tnr, helper, sometimes)
    out, task = decode(case)
    assert len(task.reports) == 1 and error in task.reports[0]
    assert list(out["acquisition_time"][:, 0]) == [0] * 4 + [2] * 4
    assert list(out["sweep_num"]) == [0] * 4 + [1] * 4  # the next packet takes the free row


def test_helper_results_as_numpy_arrays_and_scalars_decode_alike(monkeypatch):
    """Helpers and the time service may answer with NumPy arrays (any byte order, strided) and
    NumPy scalars instead of tuples of Python ints."""
    import quorel.time

    rng = np.random.default_rng(12)
    case = tnr_survey_group([TnrPacket([full_block(rng, av=a) for a in (0, 2)], (5 + p, 3, 1)) for p in range(3)])
    forms = [lambda a: a, lambda a: a.astype(a.dtype.newbyteorder()), lambda a: np.repeat(a, 2)[::2]]
    made = []

    def numpy_form(value, depth=0):
        """The helper's tuple kept (the contract), its items as NumPy arrays and scalars."""
        if isinstance(value, tuple) and depth > 0 and all(isinstance(v, int) for v in value):
            made.append(value)
            return forms[len(made) % 3](np.array(value, dtype=np.uint16 if len(made) % 2 else np.int64))
        if isinstance(value, tuple):
            return tuple(numpy_form(v, depth + 1) for v in value)
        return np.uint32(value) if depth % 2 else np.int16(value)

    for module, name in [
        (tnr, "extract_band"),
        (tnr, "delta_times"),
        (science_tools, "zelk_status"),
        (science_tools, "input_setup"),
    ]:
        real = getattr(module, name)
        monkeypatch.setattr(module, name, lambda *a, real=real: numpy_form(real(*a)))
    real_time = quorel.time.Time

    class NumPyTime(real_time):
        def obt_to_utc(self, t, to_tt2000=False):
            return np.int64(real_time.obt_to_utc(self, t, to_tt2000=to_tt2000)[0])

        @staticmethod
        def cuc_to_scet(t):
            return real_time.cuc_to_scet(t).astype(">f8")

    monkeypatch.setattr(quorel.time, "Time", NumPyTime)
    out, task = decode(case)
    assert not task.reports and len(made) > 3  # every array form was handed over
    assert_records(out, case.records)


# --- the report goes through the framework -----------------------------------------------


def test_print_exception_sees_the_failure_as_the_handled_exception(monkeypatch):
    rng = np.random.default_rng(12)
    case = tnr_survey_group(
        [TnrPacket([full_block(rng)], (1, 0, 0), word_count_delta=2), TnrPacket([full_block(rng)], (2, 0, 0))]
    )
    seen = []

    def print_exception():
        exc = sys.exc_info()[1]
        seen.append(exc)
        return f"report {len(seen)}"

    monkeypatch.setattr(framework, "print_exception", print_exception)
    out, task = decode(case)
    assert type(seen[0]) is Exception
    assert str(seen[0]) == f"Bad decommutation for TNR normal mode\nExpected {2 * (341 + 2)} got 682 bytes"
    assert task.reports == ["report 1"] and sys.exc_info()[1] is None

    class Boom(RuntimeError):
        pass

    boom = Boom("helper failed")

    def failing(data, byte):
        raise boom

    monkeypatch.setattr(tnr, "delta_times", failing)
    seen.clear()
    out, task = decode(case)
    assert seen == [boom, boom] and task.reports == ["report 1", "report 2"] and len(out) == 0


def test_errors_outside_the_packet_handler_end_the_call(monkeypatch):
    case = random_tnr_survey(np.random.default_rng(13), 2, "normal", bad=1)
    monkeypatch.setattr(framework, "print_exception", lambda: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        decode(case)
    monkeypatch.undo()
    good = random_tnr_survey(np.random.default_rng(13), 2, "normal")
    layout = [entry for entry in tnr.tnr_dtype() if entry[0] != "scet"]
    monkeypatch.setattr(tnr, "tnr_dtype", lambda: layout)
    with pytest.raises(KeyError, match="scet"):
        decode(good)
    monkeypatch.undo()
    monkeypatch.setattr(science_tools, "average_nr", lambda av: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        decode(good)


def test_demo_groups_decode_as_the_simulator_expects():
    from kesta.dravel import products

    groups = demo_groups(np.random.default_rng(2), anomalies=True)
    for name, mode in ((products.TNR_NORMAL_PACKET, "normal"), (products.TNR_BURST_PACKET, "burst")):
        case = expected_tnr_survey(groups[name], mode)
        out, task = decode(case, mode)
        assert_records(out, case.records)
        assert len(task.reports) == case.reports == 2


def test_a_duration_beyond_float32_becomes_infinite_not_undefined(monkeypatch):
    case = random_tnr_survey(np.random.default_rng(11), 2, "normal")
    monkeypatch.setattr(tnr, "DURATION", np.full((4, 4), 1e300))
    out, task = decode(case)
    assert len(out) == len(case.records) and not task.reports
    assert np.isinf(out["measurement_duration"]).all()
