"""L0 simulator for the THR products: TNR survey, TNR calibration and HFR calibration.

The encoders below are the inverse of the receiver helper modules (bit layout in
standins/docs/thr-bit-layout.md; the widths are repeated here on purpose, so that a slip on
either side shows up in the round-trip tests). The group builders turn packet descriptions
into packet groups, and compute the records a decoder must return for them by walking the
built group exactly as the decoders do: same block/packet order, same per-packet failure
rule, same time arithmetic, fill values from the fill-value library.
"""
from dataclasses import dataclass, field
from typing import Optional

import numpy as np

from quorel.packet_structure.data import Data
from quorel.time import Time
from tesmo.converters.cdf_fill import fill_records as _fill
from kesta.dravel.tasks.thr import hfr as _hfr
from kesta.dravel.tasks.thr import science_tools as _st
from kesta.dravel.tasks.thr import tnr as _tnr

# ---------------------------------------------------------------------------------------
# Bit layout (stream order)

STATUS_BITS = (4, 4, 2, 2, 1, 3)
TEMPERATURE_BITS = (10, 10, 10, 10)
VOLTAGE_BITS = (8, 8, 8)
INPUT_SETUP_BITS = (2, 3, 3, 3, 3, 2)
DO_ANALYSIS_BITS = (2, 2, 1, 1, 1, 1)       # rx_mode, average, tnr, ch2, ch1, hfr
TNR_SETUP_BITS = (2, 1, 1, 1, 1, 1, 1)      # av, cr, au, d, c, b, a
DELTA_TIME_BITS = (32, 32, 32, 32)
HFR_SETUP_BITS = (2, 9, 1, 1, 3)            # sw, initial_frequency, hf2, hf1, av
HFR_SWEEP_BITS = (10, 8, 10, 8, 4)          # hf2_step, hf2_size, hf1_step, hf1_size, reserved
AGC_BITS, AUTO_BITS, CROSS_BITS = 12, 11, 9
HFR_VALUE_BITS = 13
HFR_MAX_VALUES = 512

SURVEY_BINS = 32
CALIBRATION_BINS = 8
NLEVELS = 9

THR_TICK_NSEC = 15258
TNR_FREQUENCY_LIST = [3991.785737 * (4 ** 0.03125) ** k for k in range(128)]
TNR_BAND_FREQUENCY = {b: TNR_FREQUENCY_LIST[32 * b:32 * b + 32] for b in range(4)}

SURVEY_COUNT_PARAM = {"normal": "PA_THR_N_BLOCK_CNT", "burst": "PA_THR_B_BLOCK_CNT"}


# ---------------------------------------------------------------------------------------
# Bit writer and encoders


class BitWriter:
    """Big-endian bit stream: fields are appended most significant bit first."""

    def __init__(self):
        self._parts = []
        self.nbits = 0

    def write(self, value, nbits):
        value = int(value)
        if nbits < 0 or value < 0 or value >> nbits:
            raise ValueError(f"value {value} does not fit {nbits} bits")
        if nbits:
            self._parts.append(format(value, f"0{nbits}b"))
            self.nbits += nbits

    def write_fields(self, values, widths):
        if len(values) != len(widths):
            raise ValueError(f"{len(values)} values for {len(widths)} fields")
        for value, width in zip(values, widths):
            self.write(value, width)

    def to_bytes(self):
        """The stream padded with zero bits to whole bytes."""
        nbytes = (self.nbits + 7) // 8
        if not nbytes:
            return b""
        bits = "".join(self._parts).ljust(nbytes * 8, "0")
        return int(bits, 2).to_bytes(nbytes, "big")


def encode_fields(values, widths):
    writer = BitWriter()
    writer.write_fields(values, widths)
    return writer.to_bytes()


def encode_zelk_status(values):
    return encode_fields(values, STATUS_BITS)


def encode_temperatures(values):
    return encode_fields(values, TEMPERATURE_BITS)


def encode_voltages(values):
    return encode_fields(values, VOLTAGE_BITS)


def encode_input_setup(values):
    return encode_fields(values, INPUT_SETUP_BITS)


def encode_do_analysis(values):
    return encode_fields(values, DO_ANALYSIS_BITS)


def encode_tnr_setup(values):
    return encode_fields(values, TNR_SETUP_BITS)


def encode_delta_times(values):
    return encode_fields(values, DELTA_TIME_BITS)


def encode_hfr_setup(values):
    return encode_fields(values, HFR_SETUP_BITS)


def encode_hfr_sweep_setup(values):
    return encode_fields(tuple(values) + (0,), HFR_SWEEP_BITS)


def zero_band(nbins=SURVEY_BINS):
    zeros = (0,) * nbins
    return ((0, zeros), (0, zeros), ((0, 0),) * nbins)


def visible_band(band, flag, ch1, ch2, au, cr, nbins=SURVEY_BINS):
    """The band value a reader gets back: fields that are not transmitted read as 0."""
    if not flag or band is None:
        return zero_band(nbins)
    zeros = (0,) * nbins
    chans = []
    for on, (agc, autos) in zip((ch1, ch2), band[:2]):
        chans.append((int(agc), tuple(int(a) for a in autos) if au else zeros) if on
                     else (0, zeros))
    cross = (tuple((int(r), int(i)) for r, i in band[2]) if cr and ch1 and ch2
             else ((0, 0),) * nbins)
    return (chans[0], chans[1], cross)


def write_tnr_band(writer, band, flag, ch1, ch2, au, cr, nbins=SURVEY_BINS):
    """Append one band's spectra as the TNR band reader expects them."""
    if not flag:
        return
    for on, (agc, autos) in zip((ch1, ch2), band[:2]):
        if on:
            writer.write(agc, AGC_BITS)
            if au:
                if len(autos) != nbins:
                    raise ValueError(f"{len(autos)} autos for {nbins} bins")
                writer.write_fields(autos, (AUTO_BITS,) * nbins)
    if cr and ch1 and ch2:
        if len(band[2]) != nbins:
            raise ValueError(f"{len(band[2])} cross terms for {nbins} bins")
        for re, im in band[2]:
            writer.write(re, CROSS_BITS)
            writer.write(im, CROSS_BITS)


def write_hfr_channel(writer, channel, ch_flag, hf1, hf2, hf1_steps, hf2_steps):
    """Append one channel of one calibration level (values per band, one per step)."""
    if not ch_flag:
        return
    for enabled, steps, values in ((hf1, hf1_steps, channel[0]), (hf2, hf2_steps, channel[1])):
        if enabled and steps:
            if len(values) != steps:
                raise ValueError(f"{len(values)} values for {steps} steps")
            writer.write_fields(values, (HFR_VALUE_BITS,) * steps)


# ---------------------------------------------------------------------------------------
# Packet descriptions


@dataclass
class TnrBlock:
    """One TNR survey block. `bands` holds four band values (A to D) or None for zeros."""
    tnr_setup: tuple = (0, 1, 1, 1, 1, 1, 1)      # av, cr, au, d, c, b, a
    do_analysis: tuple = (0, 0, 1, 1, 1, 0)       # rx_mode, average, tnr, ch2, ch1, hfr
    bands: Optional[tuple] = None
    delta_times: tuple = (0, 0, 0, 0)
    cmd_ctr: int = 0
    zelk_status: tuple = (0, 0, 0, 0, 0, 0)
    temperatures: tuple = (0, 0, 0, 0)
    input_setup: tuple = (0, 0, 0, 0, 0, 0)


@dataclass
class TnrPacket:
    """A TNR survey packet and the faults to build into it.

    word_count_delta: declared word count minus the words the blocks take (the row is
    zero-padded up to the declared count); block_count_delta: declared block count minus the
    blocks present; cut_words: words removed from the end of the data row (a cut row
    narrower than the group's array is zero-padded again, so a real cut needs `maxwords`);
    extra_count: words added to the declared count with nothing behind them in the row.
    The calibration packets take the same word faults.
    """
    blocks: list = field(default_factory=list)
    acquisition_time: tuple = (0, 0, 0)
    word_count_delta: int = 0
    block_count_delta: int = 0
    cut_words: int = 0
    extra_count: int = 0


@dataclass
class TnrCalibrationPacket:
    """A TNR calibration packet. `levels[k][b]` is band b of level k (None: zeros)."""
    tnr_setup: tuple = (0, 1, 1, 1, 1, 1, 1)
    do_analysis: tuple = (0, 0, 1, 1, 1, 0)
    levels: Optional[list] = None
    temperature_pcb: int = 0
    voltages: tuple = (0, 0, 0)
    input_setup: tuple = (0, 0, 0, 0, 0, 0)
    acquisition_time: tuple = (0, 0, 0)
    word_count_delta: int = 0
    cut_words: int = 0
    extra_count: int = 0


@dataclass
class HfrCalibrationPacket:
    """An HFR calibration packet. `levels[k]` is (ch1, ch2), each (hf1 values, hf2 values)
    with one value per step of the band (None: zeros)."""
    hfr_setup: tuple = (0, 0, 1, 1, 0)            # sw, initial_frequency, hf2, hf1, av
    hfr_sweep: tuple = (2, 1, 2, 1)               # hf2_step, hf2_size, hf1_step, hf1_size
    do_analysis: tuple = (0, 0, 0, 1, 1, 1)
    levels: Optional[list] = None
    temperature_pcb: int = 0
    voltages: tuple = (0, 0, 0)
    input_setup: tuple = (0, 0, 0, 0, 0, 0)
    acquisition_time: tuple = (0, 0, 0)
    word_count_delta: int = 0
    cut_words: int = 0
    extra_count: int = 0


@dataclass
class ThrCase:
    """A built packet group and what a decoder must make of it.

    records: the expected output array (None when the whole call must fail, see `error`);
    reports: number of packets the decoder must report and skip; packet_errors: per packet,
    None or the text of the failure the decoder reports; error: why the call must fail.
    """
    group: dict
    records: Optional[np.ndarray]
    reports: int
    packet_errors: list
    error: Optional[str] = None


# ---------------------------------------------------------------------------------------
# Packet encoding


def _words(stream):
    if len(stream) % 2:
        stream = bytes(stream) + b"\0"
    return np.frombuffer(bytes(stream), dtype=">u2").astype(np.uint16)


def _row(stream, natural_words, packet):
    words = _words(stream)
    declared = natural_words + packet.word_count_delta
    if declared > len(words):
        words = np.concatenate([words, np.zeros(declared - len(words), np.uint16)])
    declared += packet.extra_count
    if declared < 0:
        raise ValueError(f"declared word count {declared} is negative")
    cut_words = packet.cut_words
    if cut_words:
        words = words[:max(len(words) - cut_words, 0)]
    return words, declared


def encode_survey_block(block, stream):
    """Append `block` to the packet stream (a `SurveyStream`) at the next block position.

    Returns the stream position where the following block starts. When the previous band
    data ended inside a byte, that byte is shared with this block's command counter.
    """
    start = len(stream)
    carry = None
    if stream.tail_bits:
        start -= 1
        carry = (stream[start], stream.tail_bits)
    header = bytearray(int(block.cmd_ctr).to_bytes(2, "big"))
    header += encode_zelk_status(block.zelk_status)
    header += encode_temperatures(block.temperatures)
    header += encode_tnr_setup(block.tnr_setup)
    header += encode_input_setup(block.input_setup) + b"\0"
    header += encode_do_analysis(block.do_analysis)
    header += encode_delta_times(block.delta_times)
    assert len(header) == 30
    if carry is not None:
        value, nbits = carry
        mask = (0xFF << (8 - nbits)) & 0xFF
        header[0] = (value & mask) | (header[0] & ~mask & 0xFF)
        del stream[start:]
    stream += header
    av, cr, au, d, c, b, a = block.tnr_setup
    ch2, ch1 = block.do_analysis[3], block.do_analysis[4]
    bands = block.bands or (None,) * 4
    writer = BitWriter()
    for flag, band in zip((a, b, c, d), bands):
        write_tnr_band(writer, band if band is not None else zero_band(), flag, ch1, ch2, au, cr)
    stream += writer.to_bytes()
    n = start + 30 + writer.nbits // 8
    n += n % 2
    tail = writer.nbits % 8
    if len(stream) < n:
        stream += b"\0" * (n - len(stream))
    stream.tail_bits = tail if len(stream) > n else 0
    return n


class SurveyStream(bytearray):
    """Bytes of a survey packet; `tail_bits` counts the band bits in its last byte when the
    band data of the last block ended inside that byte (0 otherwise)."""
    tail_bits = 0


def encode_survey_packet(packet):
    """Data row and declared counts of a survey packet: (words, word count, block count)."""
    stream = SurveyStream()
    end = 0
    for block in packet.blocks:
        end = encode_survey_block(block, stream)
    words, declared = _row(stream, end // 2, packet)
    nblocks = len(packet.blocks) + packet.block_count_delta
    if nblocks < 0:
        raise ValueError(f"declared block count {nblocks} is negative")
    return words, declared, nblocks


def _calibration_size(nbits, header):
    n = nbits // 8
    return header + n + n % 2


def encode_tnr_calibration_packet(packet):
    """Data row and declared word count of a TNR calibration packet."""
    stream = bytearray([packet.temperature_pcb])
    stream += encode_voltages(packet.voltages) + b"\0"
    stream += encode_tnr_setup(packet.tnr_setup)
    stream += encode_input_setup(packet.input_setup) + b"\0"
    stream += encode_do_analysis(packet.do_analysis)
    av, cr, au, d, c, b, a = packet.tnr_setup
    ch2, ch1 = packet.do_analysis[3], packet.do_analysis[4]
    writer = BitWriter()
    levels = packet.levels or [None] * NLEVELS
    for level in levels:
        bands = level or (None,) * 4
        for flag, band in zip((a, b, c, d), bands):
            band = band if band is not None else zero_band(CALIBRATION_BINS)
            write_tnr_band(writer, band, flag, ch1, ch2, au, cr, CALIBRATION_BINS)
    stream += writer.to_bytes()
    size = _calibration_size(writer.nbits, 10)
    stream += b"\0" * max(size - len(stream), 0)
    return _row(stream, size // 2, packet)


def encode_hfr_calibration_packet(packet):
    """Data row and declared word count of an HFR calibration packet."""
    stream = bytearray([packet.temperature_pcb])
    stream += encode_voltages(packet.voltages)
    stream += encode_hfr_setup(packet.hfr_setup)
    stream += encode_input_setup(packet.input_setup)
    stream += encode_hfr_sweep_setup(packet.hfr_sweep)
    stream += encode_do_analysis(packet.do_analysis)
    sw, f0, hf2, hf1, av = packet.hfr_setup
    hf2_step, hf2_size, hf1_step, hf1_size = packet.hfr_sweep
    ch2, ch1 = packet.do_analysis[3], packet.do_analysis[4]
    empty = ((0,) * hf1_step, (0,) * hf2_step)
    writer = BitWriter()
    levels = packet.levels or [None] * NLEVELS
    for level in levels:
        chans = level or (None, None)
        for flag, chan in ((ch1, chans[0]), (ch2, chans[1])):
            write_hfr_channel(writer, chan if chan is not None else empty,
                              flag, hf1, hf2, hf1_step, hf2_step)
    stream += writer.to_bytes()
    size = _calibration_size(writer.nbits, 14)
    stream += b"\0" * max(size - len(stream), 0)
    return _row(stream, size // 2, packet)


def _matrix(rows, maxwords):
    width = max([len(r) for r in rows], default=0)
    if maxwords is not None:
        width = maxwords
    out = np.zeros((len(rows), width), dtype=np.uint16)
    for i, row in enumerate(rows):
        k = min(len(row), width)
        out[i, :k] = row[:k]
    return out


def _times(packets):
    return np.array([p.acquisition_time for p in packets], dtype=np.uint32).reshape(-1, 3)


def _counts(values):
    values = list(values)
    if any(v > 0xFFFF for v in values):
        raise ValueError("word count above 65535")
    return np.array(values, dtype=np.uint16)


# ---------------------------------------------------------------------------------------
# Expected records: the decoders' walk over the built group


def _packet_reader(group, data_param, size, i):
    row = np.asarray(group[data_param][i])
    words = row[:size].astype(">u2")
    raw = words.tobytes()
    return Data(raw, len(raw))


def _time_pair(acq):
    return np.array([[acq[0], acq[1]]], dtype=np.uint32)


def _survey_block(data, offset, time):
    cmd_ctr = data.u16(offset, 0, 16)
    status = _st.zelk_status(data, offset + 2)
    temps = _st.temperatures_command(data, offset + 4)
    setup = _tnr.tnr_setup(data, offset + 9)
    inp = _st.input_setup(data, offset + 10)
    ana = _st.do_analysis(data, offset + 13)
    deltas = _tnr.delta_times(data, offset + 14)
    bit_count = 0
    bands = []
    for flag in (setup[6], setup[5], setup[4], setup[3]):
        band, bit_count = _tnr.extract_band(flag, ana[4], ana[3], setup[2], setup[1],
                                            data, offset + 30, bit_count)
        if not 0 <= bit_count <= 0xFFFF:
            raise OverflowError(f"bit offset {bit_count} does not fit 16 bits")
        bands.append(band)
    n = offset + 30 + bit_count // 8
    n += n % 2
    block = dict(cmd_ctr=cmd_ctr & 0xFF, zelk_status=status, temperatures=temps, tnr_setup=setup,
                 input_setup=inp, do_analysis=ana, delta_times=deltas, bands=bands,
                 acquisition_time=tuple(int(x) for x in time))
    return block, n


def _new_records(dtype, n):
    records = np.zeros(n, dtype=np.dtype(dtype))
    _fill(records)
    return records


def expected_tnr_survey(group, mode="normal"):
    """Records, report count and per-packet failures of a TNR survey decoder on `group`."""
    cnt_param = SURVEY_COUNT_PARAM.get(mode, "PA_THR_B_BLOCK_CNT")
    counts = np.asarray(group[cnt_param])
    blocks = [None] * int(counts.sum())
    counter = 0
    errors = []
    for i in range(len(counts)):
        try:
            size = int(group["PA_THR_TNR_DATA_CNT"][i])
            nblocks = int(counts[i])
            data = _packet_reader(group, "PA_THR_TNR_DATA", size, i)
            time = group["PA_THR_ACQUISITION_TIME"][i]
            offset = 0
            for _ in range(nblocks):
                blocks[counter], offset = _survey_block(data, offset, time)
                counter += 1
            if offset != 2 * size:
                raise Exception(f"Bad decommutation for TNR {mode} mode\n"
                                f"Expected {2 * size} got {offset} bytes")
            errors.append(None)
        except Exception as exc:  # noqa: BLE001 - every packet failure is reported
            errors.append(str(exc))
    survey_mode = 0 if mode == "normal" else 1
    wanted = [(i, k) for i, blk in enumerate(blocks) if blk is not None
              for k in range(4) if blk["tnr_setup"][6 - k] == 1]
    records = _new_records(_tnr.tnr_dtype(), len(wanted))
    for counter, (i, k) in enumerate(wanted):
        _set_survey_record(records[counter], blocks[i], i, k, survey_mode)
    return ThrCase(group, records, sum(e is not None for e in errors), errors)


def _set_survey_record(rec, blk, i, k, survey_mode):
    setup, ana, inp = blk["tnr_setup"], blk["do_analysis"], blk["input_setup"]
    acq = blk["acquisition_time"]
    ticks = blk["delta_times"][k]
    delta = ticks * THR_TICK_NSEC
    av = setup[0]
    md = float(np.float32(_tnr.DURATION[av, k] * 100.0))
    t = _time_pair(acq)
    epoch = float(int(np.int64(Time().obt_to_utc(t, to_tt2000=True)[0])) + delta)
    epoch += 10000000.0 * (md * 0.5)
    scet = float(Time.cuc_to_scet(t)[0]) + delta / 1000000000.0 + md * 0.5
    band = blk["bands"][k]
    rec["epoch"] = epoch
    rec["scet"] = scet
    rec["sweep_num"] = i
    rec["acquisition_time"] = acq[:2]
    rec["synchro_flag"] = acq[2]
    rec["measurement_duration"] = md * 10000.0
    rec["ticks_nr"] = ticks
    rec["delta_time"] = delta / 1000.0
    rec["survey_mode"] = survey_mode
    rec["average_nr"] = _st.average_nr(av)
    rec["auto_cross_status"] = (setup[2], setup[1])
    rec["channel_status"] = (ana[4], ana[3])
    rec["front_end"] = inp[0]
    rec["sensor_config"] = (inp[1], inp[2])
    rec["zelk_status"] = blk["zelk_status"]
    rec["temperature"] = blk["temperatures"]
    rec["tnr_band"] = k
    rec["frequency"] = TNR_BAND_FREQUENCY[k]
    rec["agc1"] = band[0][0]
    rec["agc2"] = band[1][0]
    rec["auto1"] = band[0][1]
    rec["auto2"] = band[1][1]
    rec["cross_r"] = [c[0] for c in band[2]]
    rec["cross_i"] = [c[1] for c in band[2]]


def _calibration_header(data):
    pcb = data.u8(0, 0, 8)
    volts = _st.voltages(data, 1)
    return pcb, volts


def expected_tnr_calibration(group):
    """Records, report count and per-packet failures of a TNR calibration decoder."""
    n = len(np.asarray(group["PA_THR_TNR_DATA_CNT"]))
    packets = [None] * n
    errors = []
    for i in range(n):
        try:
            size = int(group["PA_THR_TNR_DATA_CNT"][i])
            data = _packet_reader(group, "PA_THR_TNR_DATA", size, i)
            time = group["PA_THR_ACQUISITION_TIME"][i]
            pcb, volts = _calibration_header(data)
            setup = _tnr.tnr_setup(data, 5)
            inp = _st.input_setup(data, 6)
            ana = _st.do_analysis(data, 9)
            bit_count = 0
            levels = []
            for _ in range(NLEVELS):
                bands = []
                for flag in (setup[6], setup[5], setup[4], setup[3]):
                    band, bit_count = _tnr.extract_calibration_band(
                        flag, ana[4], ana[3], setup[2], setup[1], data, 10, bit_count)
                    if not 0 <= bit_count <= 0xFFFF:
                        raise OverflowError(f"bit offset {bit_count} does not fit 16 bits")
                    bands.append(band)
                levels.append(bands)
            consumed = _calibration_size(bit_count, 10)
            if consumed != 2 * size:
                raise Exception(f"Expected a size of {2 * size} bytes but have {consumed}")
            packets[i] = dict(pcb=pcb, voltages=volts, tnr_setup=setup, input_setup=inp,
                              do_analysis=ana, levels=levels,
                              acquisition_time=tuple(int(x) for x in time))
            errors.append(None)
        except Exception as exc:  # noqa: BLE001
            errors.append(str(exc))
    wanted = [(p, k, level) for p in packets if p is not None
              for k in range(4) if p["tnr_setup"][6 - k] == 1 for level in range(NLEVELS)]
    records = _new_records(_tnr.tnr_dtype(), len(wanted))
    for rec, (p, k, level) in zip(records, wanted):
        acq = p["acquisition_time"]
        t = _time_pair(acq)
        setup, ana, inp = p["tnr_setup"], p["do_analysis"], p["input_setup"]
        band = p["levels"][level][k]
        rec["epoch"] = float(Time().obt_to_utc(t, to_tt2000=True)[0])
        rec["acquisition_time"] = acq[:2]
        rec["scet"] = Time.cuc_to_scet(t)[0]
        rec["synchro_flag"] = acq[2]
        rec["survey_mode"] = 2
        rec["average_nr"] = setup[0]
        rec["auto_cross_status"] = (setup[2], setup[1])
        rec["channel_status"] = (ana[4], ana[3])
        rec["calibration_level"] = level
        rec["front_end"] = inp[0]
        rec["sensor_config"] = (inp[1], inp[2])
        rec["temperature"] = (p["pcb"],) + tuple(p["voltages"][:3])
        rec["tnr_band"] = k
        rec["agc1"] = band[0][0]
        rec["agc2"] = band[1][0]
        rec["auto1"][:CALIBRATION_BINS] = band[0][1]
        rec["auto2"][:CALIBRATION_BINS] = band[1][1]
        rec["cross_r"][:CALIBRATION_BINS] = [c[0] for c in band[2]]
        rec["cross_i"][:CALIBRATION_BINS] = [c[1] for c in band[2]]
    return ThrCase(group, records, sum(e is not None for e in errors), errors)


def expected_hfr_calibration(group):
    """Records, report count and per-packet failures of an HFR calibration decoder.

    A decoded packet with an enabled band of more than 512 steps makes the whole call fail:
    the result then has `records` None and `error` set.
    """
    n = len(np.asarray(group["PA_THR_HFR_DATA_CNT"]))
    packets = [None] * n
    errors = []
    for i in range(n):
        try:
            size = int(group["PA_THR_HFR_DATA_CNT"][i])
            data = _packet_reader(group, "PA_THR_HFR_DATA", size, i)
            time = group["PA_THR_ACQUISITION_TIME"][i]
            pcb, volts = _calibration_header(data)
            setup = _hfr.hfr_setup(data, 4)
            inp = _st.input_setup(data, 6)
            sweep = _hfr.hfr_sweep_setup(data, 8)
            hf1_steps, hf2_steps = int(sweep[2]), int(sweep[0])
            ana = _st.do_analysis(data, 13)
            bit_count = 0
            levels = []
            for _ in range(NLEVELS):
                chans = []
                for ch_flag in (ana[4], ana[3]):
                    chan, bit_count = _hfr.extract_band(ch_flag, setup[3], setup[2], hf1_steps,
                                                        hf2_steps, data, 14, bit_count)
                    if not 0 <= bit_count <= 0xFFFFFFFF:
                        raise OverflowError(f"bit offset {bit_count} does not fit 32 bits")
                    chans.append(chan)
                levels.append(chans)
            consumed = _calibration_size(bit_count, 14)
            if consumed != 2 * size:
                raise Exception(f"Expected a size of {2 * size} bytes but have {consumed}")
            packets[i] = dict(pcb=pcb, voltages=volts, hfr_setup=setup, input_setup=inp,
                              hfr_sweep=sweep, do_analysis=ana, levels=levels,
                              acquisition_time=tuple(int(x) for x in time))
            errors.append(None)
        except Exception as exc:  # noqa: BLE001
            errors.append(str(exc))
    reports = sum(e is not None for e in errors)
    wanted = []
    for p in packets:
        if p is None:
            continue
        sw, f0, hf2, hf1, av = p["hfr_setup"]
        hf2_step, hf2_size, hf1_step, hf1_size = p["hfr_sweep"]
        for index, flag, steps in ((0, hf1, hf1_step), (1, hf2, hf2_step)):
            if flag != 1:
                continue
            if steps > HFR_MAX_VALUES:
                return ThrCase(group, None, reports, errors,
                               error=f"step count {steps} above {HFR_MAX_VALUES}")
            wanted += [(p, index, level, j) for level in range(NLEVELS) for j in range(steps)]
    records = _new_records(_hfr.hfr_dtype(), len(wanted))
    for rec, (p, index, level, j) in zip(records, wanted):
        acq = p["acquisition_time"]
        t = _time_pair(acq)
        sw, f0, hf2, hf1, av = p["hfr_setup"]
        hf2_step, hf2_size, hf1_step, hf1_size = p["hfr_sweep"]
        band = ("hf1", "hf2")[index]
        ana, inp = p["do_analysis"], p["input_setup"]
        rec["epoch"] = float(Time().obt_to_utc(t, to_tt2000=True)[0])
        rec["acquisition_time"] = acq[:2]
        rec["scet"] = Time.cuc_to_scet(t)[0]
        rec["synchro_flag"] = acq[2]
        rec["frequency"] = np.uint64(_hfr.compute_frequency(f0, j, hf1_size, hf1_step,
                                                            hf2_size, band))
        rec["calibration_level"] = level
        rec["survey_mode"] = 2
        rec["average_nr"] = av
        rec["channel_status"] = (ana[4], ana[3])
        rec["front_end"] = inp[0]
        rec["sensor_config"] = (inp[1], inp[2])
        rec["temperature"] = (p["pcb"],) + tuple(p["voltages"][:3])
        rec["hfr_band"] = index
        rec["agc1"] = p["levels"][level][0][index][j]
        rec["agc2"] = p["levels"][level][1][index][j]
    return ThrCase(group, records, reports, errors)


# ---------------------------------------------------------------------------------------
# Group builders


def tnr_survey_group(packets, mode="normal", maxwords=None):
    """Packet group of TNR survey packets (`TnrPacket` list) and its expected decoding.

    `maxwords` sets the width of PA_THR_TNR_DATA (default: the longest row); a narrower
    width cuts longer rows.
    """
    if mode not in SURVEY_COUNT_PARAM:
        raise ValueError(f"mode must be 'normal' or 'burst', got {mode!r}")
    rows, sizes, nblocks = [], [], []
    for packet in packets:
        words, size, count = encode_survey_packet(packet)
        rows.append(words)
        sizes.append(size)
        nblocks.append(count)
    group = {
        "PA_THR_ACQUISITION_TIME": _times(packets),
        "PA_THR_TNR_DATA_CNT": _counts(sizes),
        SURVEY_COUNT_PARAM[mode]: np.array(nblocks, dtype=np.uint8),
        "PA_THR_TNR_DATA": _matrix(rows, maxwords),
    }
    return expected_tnr_survey(group, mode)


def tnr_calibration_group(packets, maxwords=None):
    """Packet group of TNR calibration packets and its expected decoding."""
    rows, sizes = zip(*[encode_tnr_calibration_packet(p) for p in packets]) if packets else ((), ())
    group = {
        "PA_THR_TNR_DATA_CNT": _counts(sizes),
        "PA_THR_TNR_DATA": _matrix(rows, maxwords),
        "PA_THR_ACQUISITION_TIME": _times(packets),
    }
    return expected_tnr_calibration(group)


def hfr_calibration_group(packets, maxwords=None):
    """Packet group of HFR calibration packets and its expected decoding."""
    rows, sizes = zip(*[encode_hfr_calibration_packet(p) for p in packets]) if packets else ((), ())
    group = {
        "PA_THR_HFR_DATA_CNT": _counts(sizes),
        "PA_THR_HFR_DATA": _matrix(rows, maxwords),
        "PA_THR_ACQUISITION_TIME": _times(packets),
    }
    return expected_hfr_calibration(group)


# ---------------------------------------------------------------------------------------
# Random packets

SURVEY_FAULTS = ("word_count", "block_count_low", "block_count_high", "truncated")
CALIBRATION_FAULTS = ("word_count", "truncated")


def _rand_fields(rng, widths):
    return tuple(int(rng.integers(0, 1 << w)) for w in widths)


def _rand_time(rng):
    return (int(rng.integers(0, 1 << 31)), int(rng.integers(0, 1 << 16)), int(rng.integers(0, 2)))


def random_band(rng, nbins=SURVEY_BINS):
    def chan():
        return (int(rng.integers(0, 1 << AGC_BITS)),
                tuple(int(v) for v in rng.integers(0, 1 << AUTO_BITS, nbins)))
    cross = tuple((int(r), int(i)) for r, i in rng.integers(0, 1 << CROSS_BITS, (nbins, 2)))
    return (chan(), chan(), cross)


_TICKS = (0, 1, 65535, 65536, 0xFFFFFFFF)


def random_tnr_block(rng):
    ticks = tuple(int(rng.choice(_TICKS)) if rng.random() < 0.3 else int(rng.integers(0, 1 << 32))
                  for _ in range(4))
    return TnrBlock(
        tnr_setup=_rand_fields(rng, TNR_SETUP_BITS),
        do_analysis=_rand_fields(rng, DO_ANALYSIS_BITS),
        bands=tuple(random_band(rng) for _ in range(4)),
        delta_times=ticks,
        cmd_ctr=int(rng.integers(0, 1 << 16)),
        zelk_status=_rand_fields(rng, STATUS_BITS),
        temperatures=_rand_fields(rng, TEMPERATURE_BITS),
        input_setup=_rand_fields(rng, INPUT_SETUP_BITS),
    )


def _clean(words, size):
    """True when a packet's data fits its declared word count (no dangling band bits)."""
    return len(words) == size


def _apply_fault(rng, packet, kind):
    if kind == "word_count":
        packet.word_count_delta = int(rng.choice([-2, -1, 1, 3]))
    elif kind == "block_count_low":
        packet.block_count_delta = -1
    elif kind == "block_count_high":
        packet.block_count_delta = 1
    elif kind == "truncated":
        packet.extra_count = -1         # settled by _truncate once all rows are known
    else:
        raise ValueError(f"unknown fault {kind!r}")


def _truncate(rng, packets, encode):
    """Give every packet marked "truncated" a word count beyond the array's width."""
    marked = [p for p in packets if p.extra_count == -1]
    for p in marked:
        p.extra_count = 0
    if not marked:
        return
    width = max(len(encode(p)[0]) for p in packets)
    for p in marked:
        words, declared = encode(p)[:2]
        p.extra_count = width - declared + int(rng.integers(1, 20))


def _pick_faults(rng, npackets, bad):
    if not bad:
        return set()
    return set(rng.choice(npackets, size=min(bad, npackets), replace=False).tolist())


def random_tnr_survey(rng, npackets, mode="normal", max_blocks=4, bad=0, faults=SURVEY_FAULTS):
    """`npackets` random survey packets, `bad` of them with a random fault from `faults`."""
    bad_idx = _pick_faults(rng, npackets, bad)
    packets = []
    for i in range(npackets):
        nblocks = int(rng.integers(1, max_blocks + 1))
        while True:
            packet = TnrPacket([random_tnr_block(rng) for _ in range(nblocks)], _rand_time(rng))
            words, size, _ = encode_survey_packet(packet)
            if _clean(words, size):
                break
        if i in bad_idx:
            kind = str(rng.choice(list(faults)))
            _apply_fault(rng, packet, kind)
        packets.append(packet)
    _truncate(rng, packets, encode_survey_packet)
    return tnr_survey_group(packets, mode)


def random_tnr_calibration(rng, npackets, bad=0, faults=CALIBRATION_FAULTS):
    """`npackets` random TNR calibration packets, `bad` of them faulty."""
    bad_idx = _pick_faults(rng, npackets, bad)
    packets = []
    for i in range(npackets):
        while True:
            packet = TnrCalibrationPacket(
                tnr_setup=_rand_fields(rng, TNR_SETUP_BITS),
                do_analysis=_rand_fields(rng, DO_ANALYSIS_BITS),
                levels=[[random_band(rng, CALIBRATION_BINS) for _ in range(4)]
                        for _ in range(NLEVELS)],
                temperature_pcb=int(rng.integers(0, 256)),
                voltages=_rand_fields(rng, VOLTAGE_BITS),
                input_setup=_rand_fields(rng, INPUT_SETUP_BITS),
                acquisition_time=_rand_time(rng))
            words, size = encode_tnr_calibration_packet(packet)
            if _clean(words, size):
                break
        if i in bad_idx:
            _apply_fault(rng, packet, str(rng.choice(list(faults))))
        packets.append(packet)
    _truncate(rng, packets, encode_tnr_calibration_packet)
    return tnr_calibration_group(packets)


def random_hfr_calibration(rng, npackets, bad=0, max_steps=8, faults=CALIBRATION_FAULTS):
    """`npackets` random HFR calibration packets (step counts up to `max_steps`)."""
    bad_idx = _pick_faults(rng, npackets, bad)
    packets = []
    for i in range(npackets):
        while True:
            setup = _rand_fields(rng, HFR_SETUP_BITS)
            hf1_step = int(rng.integers(0, max_steps + 1))
            hf2_step = int(rng.integers(0, max_steps + 1))
            sweep = (hf2_step, int(rng.integers(0, 256)), hf1_step, int(rng.integers(0, 256)))

            def chan():
                return (tuple(int(v) for v in rng.integers(0, 1 << HFR_VALUE_BITS, hf1_step)),
                        tuple(int(v) for v in rng.integers(0, 1 << HFR_VALUE_BITS, hf2_step)))
            packet = HfrCalibrationPacket(
                hfr_setup=setup, hfr_sweep=sweep,
                do_analysis=_rand_fields(rng, DO_ANALYSIS_BITS),
                levels=[(chan(), chan()) for _ in range(NLEVELS)],
                temperature_pcb=int(rng.integers(0, 256)),
                voltages=_rand_fields(rng, VOLTAGE_BITS),
                input_setup=_rand_fields(rng, INPUT_SETUP_BITS),
                acquisition_time=_rand_time(rng))
            words, size = encode_hfr_calibration_packet(packet)
            if _clean(words, size):
                break
        if i in bad_idx:
            _apply_fault(rng, packet, str(rng.choice(list(faults))))
        packets.append(packet)
    _truncate(rng, packets, encode_hfr_calibration_packet)
    return hfr_calibration_group(packets)


# ---------------------------------------------------------------------------------------
# Demo groups


def demo_groups(rng, anomalies=False):
    """Packet groups of the four THR packet types, for demos and the command line.

    With `anomalies`, some packets of each group carry a fault (wrong word or block count,
    truncated data row) that the decoders report and skip.
    """
    from kesta.dravel import products

    bad = 2 if anomalies else 0
    groups = {
        products.TNR_NORMAL_PACKET: random_tnr_survey(rng, 12, "normal", bad=bad).group,
        products.TNR_BURST_PACKET: random_tnr_survey(rng, 8, "burst", bad=bad).group,
        products.TNR_CALIBRATION_PACKET: random_tnr_calibration(rng, 4, bad=bad).group,
        products.HFR_CALIBRATION_PACKET: random_hfr_calibration(rng, 4, bad=bad).group,
    }
    # one packet every 16 s from the same start, as a receiver in operation sends them
    for group in groups.values():
        times = group["PA_THR_ACQUISITION_TIME"]
        times[:, 0] = 200_000 + 16 * np.arange(len(times))
        times[:, 1] = 0
        times[:, 2] = 1
    return groups
