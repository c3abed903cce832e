"""Receiver helper stand-ins against the simulator's encoders, and the bit reader's edges."""

import itertools

import numpy as np
import pytest
from quorel.packet_structure.data import Data

from kesta.dravel.simulate.thr_encoding import (
    DELTA_TIME_BITS,
    DO_ANALYSIS_BITS,
    HFR_SETUP_BITS,
    HFR_SWEEP_BITS,
    INPUT_SETUP_BITS,
    STATUS_BITS,
    TEMPERATURE_BITS,
    TNR_SETUP_BITS,
    VOLTAGE_BITS,
    BitWriter,
    encode_delta_times,
    encode_do_analysis,
    encode_hfr_setup,
    encode_hfr_sweep_setup,
    encode_input_setup,
    encode_temperatures,
    encode_tnr_setup,
    encode_voltages,
    encode_zelk_status,
    visible_band,
    write_hfr_channel,
    write_tnr_band,
)
from kesta.dravel.simulate.thr_random import random_band
from kesta.dravel.tasks.thr import hfr, tnr
from kesta.dravel.tasks.thr import science_tools as st

# --- bit reader -----------------------------------------------------------------------


def test_reader_big_endian_reads_and_bounds():
    d = Data(b"\x12\x34\x56\x78\x9a", 4)  # the fifth byte is outside the reader
    assert d.u16(0, 0, 16) == 0x1234
    assert d.u16(1, 0, 16) == 0x3456  # word at an odd byte
    assert d.u8(0, 0, 8) == 0x12
    assert d.u8(0, 4, 8) == 0x23  # straddles two bytes
    assert d.u32(0, 0, 32) == 0x12345678  # up to the last byte exactly
    assert d.u16(3, 7, 1) == 0x78 & 1
    assert d.u8(2, 0, 0) == 0
    with pytest.raises(IndexError, match="byte 4"):
        d.u8(3, 1, 8)  # one bit past the end
    with pytest.raises(IndexError):
        d.u16(4, 0, 16)
    with pytest.raises(IndexError):
        d.bits(-1, 4)


def test_reader_rejects_bad_arguments():
    with pytest.raises(ValueError):
        Data(b"\x00\x01", 3)
    with pytest.raises(ValueError):
        Data(b"\x00", -1)
    d = Data(bytearray(b"\xff\xff\xff\xff\xff"), 5)
    with pytest.raises(ValueError):
        d.u8(0, 0, 9)
    with pytest.raises(ValueError):
        d.u16(0, 0, 17)
    assert Data(b"", 0).bits(0, 0) == 0
    with pytest.raises(IndexError):
        Data(b"", 0).u8(0, 0, 8)


def test_reader_fields_match_single_reads():
    rng = np.random.default_rng(3)
    raw = bytes(rng.integers(0, 256, 40, dtype=np.uint8))
    d = Data(raw, len(raw))
    widths = (3, 11, 1, 32, 9, 7, 16)
    values, end = d.fields(5, widths)
    pos = 5
    for value, width in zip(values, widths):
        assert value == d.bits(pos, width)
        pos += width
    assert end == pos


# --- command words --------------------------------------------------------------------

COMMANDS = [
    # decoder, encoder, room in bytes, field widths
    (st.zelk_status, encode_zelk_status, 2, STATUS_BITS),
    (st.temperatures_command, encode_temperatures, 5, TEMPERATURE_BITS),
    (st.voltages, encode_voltages, 3, VOLTAGE_BITS),
    (st.input_setup, encode_input_setup, 2, INPUT_SETUP_BITS),
    (st.do_analysis, encode_do_analysis, 1, DO_ANALYSIS_BITS),
    (tnr.tnr_setup, encode_tnr_setup, 1, TNR_SETUP_BITS),
    (tnr.delta_times, encode_delta_times, 16, DELTA_TIME_BITS),
    (hfr.hfr_setup, encode_hfr_setup, 2, HFR_SETUP_BITS),
    (hfr.hfr_sweep_setup, encode_hfr_sweep_setup, 5, HFR_SWEEP_BITS[:4]),
]


@pytest.mark.parametrize("decode,encode,room,widths", COMMANDS, ids=[c[0].__name__ for c in COMMANDS])
def test_command_round_trip_within_its_room(decode, encode, room, widths):
    rng = np.random.default_rng(room)
    cases = [tuple((1 << w) - 1 for w in widths), (0,) * len(widths)]
    cases += [tuple(int(rng.integers(0, 1 << w)) for w in widths) for _ in range(20)]
    for values in cases:
        raw = encode(values)
        assert len(raw) == room
        # at an odd position, with the reader ending right after the command
        data = Data(b"\xa5" * 7 + raw, 7 + room)
        out = decode(data, 7)
        assert isinstance(out, tuple) and out == values


def test_layouts_match_decoded_tuples():
    data = Data(bytes(32), 32)
    for decode, layout in (
        (st.zelk_status, st.zelk_status_dtype),
        (st.temperatures_command, st.temperatures_dtype),
        (st.voltages, st.voltages_dtype),
        (st.input_setup, st.input_setup_dtype),
        (st.do_analysis, st.do_analysis_dtype),
    ):
        assert len(decode(data, 0)) == len(layout())
        np.zeros(1, dtype=layout())[0] = decode(data, 0)  # positional assignment works
    names = [f[0] for f in st.do_analysis_dtype()]
    assert len(names) >= 5 and names[4] == "ch1" and names[3] == "ch2"
    assert {"minus5", "plus5", "plus12"} <= {f[0] for f in st.voltages_dtype()}
    assert {"fe", "sensor_tnr_1", "sensor_tnr_2"} <= {f[0] for f in st.input_setup_dtype()}
    assert len(st.temperatures_dtype()) == 4
    # channel flags land where the band readers expect them
    values = st.do_analysis(Data(encode_do_analysis((0, 0, 0, 1, 0, 0)), 1), 0)
    assert (values[4], values[3]) == (0, 1)


def test_l1_layouts_hold_every_written_field():
    tnr_fields = dict((f[0], f) for f in tnr.tnr_dtype())
    written = [
        "epoch",
        "scet",
        "sweep_num",
        "acquisition_time",
        "synchro_flag",
        "measurement_duration",
        "ticks_nr",
        "delta_time",
        "survey_mode",
        "average_nr",
        "auto_cross_status",
        "channel_status",
        "front_end",
        "sensor_config",
        "zelk_status",
        "temperature",
        "tnr_band",
        "frequency",
        "agc1",
        "agc2",
        "auto1",
        "auto2",
        "cross_r",
        "cross_i",
        "calibration_level",
    ]
    assert set(written) < set(tnr_fields)  # plus fields no decoder writes
    dt = np.dtype(tnr.tnr_dtype())
    for name in ("frequency", "auto1", "auto2", "cross_r", "cross_i"):
        assert dt[name].shape == (32,)
    assert dt["temperature"].shape == (4,)
    assert dt["zelk_status"].shape == (len(st.zelk_status_dtype()),)
    hfr_written = [
        "epoch",
        "acquisition_time",
        "scet",
        "synchro_flag",
        "frequency",
        "calibration_level",
        "survey_mode",
        "average_nr",
        "channel_status",
        "front_end",
        "sensor_config",
        "temperature",
        "hfr_band",
        "agc1",
        "agc2",
    ]
    assert set(hfr_written) < {f[0] for f in hfr.hfr_dtype()}
    assert np.dtype(hfr.hfr_dtype())["temperature"].shape == (4,)


def test_duration_and_average_tables():
    assert tnr.DURATION.shape == (4, 4)
    assert tnr.DURATION[1, 2] == tnr.DURATION[1][2]
    products = tnr.DURATION * 100.0
    assert np.any(products.astype(np.float32).astype(np.float64) != products)
    assert [st.average_nr(av) for av in range(4)] == [16, 32, 64, 128]
    assert st.average_nr(np.uint8(3)) == 128
    with pytest.raises(ValueError):
        st.average_nr(4)


# --- band spectra ---------------------------------------------------------------------


@pytest.mark.parametrize("nbins,extract", [(32, tnr.extract_band), (8, tnr.extract_calibration_band)])
def test_tnr_bands_round_trip_for_every_setting(nbins, extract):
    rng = np.random.default_rng(nbins)
    for ch1, ch2, au, cr in itertools.product((0, 1), repeat=4):
        bands = [random_band(rng, nbins) for _ in range(3)]
        flags = (1, 0, 1)
        writer = BitWriter()
        writer.write(0b101, 3)  # data starts 3 bits into the start byte
        for flag, band in zip(flags, bands):
            write_tnr_band(writer, band, flag, ch1, ch2, au, cr, nbins)
        raw = b"\x00\x00" + writer.to_bytes()
        data = Data(raw, len(raw))
        offset = 3
        for flag, band in zip(flags, bands):
            value, new = extract(flag, ch1, ch2, au, cr, data, 2, offset)
            assert value == visible_band(band, flag, ch1, ch2, au, cr, nbins)
            if not flag:
                assert new == offset
            offset = new
        assert offset == writer.nbits
        # shape of a disabled band, positionally assignable into the band layout
        value, _ = extract(0, ch1, ch2, au, cr, data, 2, 0)
        layout = [
            ("ch1", [("agc", "u2"), ("autos", "u2", (nbins,))]),
            ("ch2", [("agc", "u2"), ("autos", "u2", (nbins,))]),
            ("cross", "u2", (nbins, 2)),
        ]
        np.zeros(1, dtype=layout)[0] = value


def test_tnr_band_errors_and_odd_lengths():
    data = Data(bytes(400), 400)
    with pytest.raises(ValueError):
        tnr.extract_band(2, 1, 1, 1, 1, data, 0, 0)
    with pytest.raises(IndexError):
        tnr.extract_band(1, 1, 1, 1, 1, Data(bytes(100), 100), 0, 0)
    # one channel with autos: 12 + 32 * 11 = 364 bits, not a whole number of bytes
    assert tnr.extract_band(1, 1, 0, 1, 0, data, 0, 0)[1] == 364
    assert tnr.extract_band(1, 1, 1, 1, 1, data, 0, 5)[1] == 5 + 1304


def test_hfr_channel_round_trip_and_long_sweeps():
    rng = np.random.default_rng(9)
    for ch, hf1, hf2 in itertools.product((0, 1), repeat=3):
        steps = (5, 600)  # HF2 announces more than 512 steps
        values = tuple(tuple(int(v) for v in rng.integers(0, 1 << 13, s)) for s in steps)
        writer = BitWriter()
        writer.write(1, 1)
        write_hfr_channel(writer, values, ch, hf1, hf2, *steps)
        raw = b"\x00" + writer.to_bytes()
        (got1, got2), end = hfr.extract_band(ch, hf1, hf2, steps[0], steps[1], Data(raw, len(raw)), 1, 1)
        assert end == writer.nbits
        assert len(got1) == len(got2) == 512
        assert got1 == ((values[0] + (0,) * 507) if ch and hf1 else (0,) * 512)
        assert got2 == (values[1][:512] if ch and hf2 else (0,) * 512)
    with pytest.raises(ValueError):
        hfr.extract_band(1, 3, 0, 1, 1, Data(bytes(8), 8), 0, 0)


def test_sweep_setup_encodes_step_counts_above_512():
    raw = encode_hfr_sweep_setup((1023, 255, 513, 7))
    assert hfr.hfr_sweep_setup(Data(raw, 5), 0) == (1023, 255, 513, 7)


def test_frequency_rule():
    assert hfr.compute_frequency(10, 0, 4, 3, 2, "hf1") == 375 + 50 * 10
    assert hfr.compute_frequency(10, 2, 4, 3, 2, "hf1") == 375 + 50 * 18
    # HF2 continues after the three HF1 steps of size 4
    assert hfr.compute_frequency(10, 1, 4, 3, 2, "hf2") == 375 + 50 * (10 + 12 + 2)
    assert hfr.compute_frequency(np.uint16(0), 0, 0, 0, 0, b"hf2") == 375
    with pytest.raises(ValueError):
        hfr.compute_frequency(0, 0, 0, 0, 0, "hf3")
