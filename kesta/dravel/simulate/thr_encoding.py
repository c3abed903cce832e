"""L0 encoding of the THR packets: the bit layout, the bit writer and field encoders, the
packet descriptions and the packet and group builders.

The encoders are the inverse of the receiver helper modules (bit layout in
standins/docs/thr-bit-layout.md; the widths are repeated here on purpose, so that a slip on
either side shows up in the round-trip tests). The group builders give packet groups only;
the records a decoder must make of them are in `thr_expected`.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any, Optional

import numpy as np

# ---------------------------------------------------------------------------------------
# Bit layout (stream order)

STATUS_BITS = (4, 4, 2, 2, 1, 3)
TEMPERATURE_BITS = (10, 10, 10, 10)
VOLTAGE_BITS = (8, 8, 8)
INPUT_SETUP_BITS = (2, 3, 3, 3, 3, 2)
DO_ANALYSIS_BITS = (2, 2, 1, 1, 1, 1)  # rx_mode, average, tnr, ch2, ch1, hfr
TNR_SETUP_BITS = (2, 1, 1, 1, 1, 1, 1)  # av, cr, au, d, c, b, a
DELTA_TIME_BITS = (32, 32, 32, 32)
HFR_SETUP_BITS = (2, 9, 1, 1, 3)  # sw, initial_frequency, hf2, hf1, av
HFR_SWEEP_BITS = (10, 8, 10, 8, 4)  # hf2_step, hf2_size, hf1_step, hf1_size, reserved
AGC_BITS, AUTO_BITS, CROSS_BITS = 12, 11, 9
HFR_VALUE_BITS = 13
HFR_MAX_VALUES = 512

SURVEY_BINS = 32
CALIBRATION_BINS = 8
NLEVELS = 9

THR_TICK_NSEC = 15258
TNR_FREQUENCY_LIST = [3991.785737 * (4**0.03125) ** k for k in range(128)]
TNR_BAND_FREQUENCY = {b: TNR_FREQUENCY_LIST[32 * b : 32 * b + 32] for b in range(4)}

SURVEY_COUNT_PARAM = {"normal": "PA_THR_N_BLOCK_CNT", "burst": "PA_THR_B_BLOCK_CNT"}


# ---------------------------------------------------------------------------------------
# Bit writer and encoders


class BitWriter:
    """Big-endian bit stream: fields are appended most significant bit first."""

    def __init__(self) -> None:
        self._parts: list[str] = []
        self.nbits = 0

    def write(self, value: int, nbits: int) -> None:
        value = int(value)
        if nbits < 0 or value < 0 or value >> nbits:
            raise ValueError(f"value {value} does not fit {nbits} bits")
        if nbits:
            self._parts.append(format(value, f"0{nbits}b"))
            self.nbits += nbits

    def write_fields(self, values: Sequence[int], widths: Sequence[int]) -> None:
        if len(values) != len(widths):
            raise ValueError(f"{len(values)} values for {len(widths)} fields")
        for value, width in zip(values, widths):
            self.write(value, width)

    def to_bytes(self) -> bytes:
        """The stream padded with zero bits to whole bytes."""
        nbytes = (self.nbits + 7) // 8
        if not nbytes:
            return b""
        bits = "".join(self._parts).ljust(nbytes * 8, "0")
        return int(bits, 2).to_bytes(nbytes, "big")


def encode_fields(values: Sequence[int], widths: Sequence[int]) -> Any:
    writer = BitWriter()
    writer.write_fields(values, widths)
    return writer.to_bytes()


def _fields_encoder(widths):
    """An encoder of one fixed group of bit fields (`widths`), as the decoders' readers take it."""

    def encode(values):
        return encode_fields(values, widths)

    return encode


encode_zelk_status = _fields_encoder(STATUS_BITS)
encode_temperatures = _fields_encoder(TEMPERATURE_BITS)
encode_voltages = _fields_encoder(VOLTAGE_BITS)
encode_input_setup = _fields_encoder(INPUT_SETUP_BITS)
encode_do_analysis = _fields_encoder(DO_ANALYSIS_BITS)
encode_tnr_setup = _fields_encoder(TNR_SETUP_BITS)
encode_delta_times = _fields_encoder(DELTA_TIME_BITS)
encode_hfr_setup = _fields_encoder(HFR_SETUP_BITS)


def encode_hfr_sweep_setup(values: Sequence[int]) -> Any:
    return encode_fields(tuple(values) + (0,), HFR_SWEEP_BITS)


def zero_band(nbins: int = SURVEY_BINS) -> Any:
    zeros = (0,) * nbins
    return ((0, zeros), (0, zeros), ((0, 0),) * nbins)


def visible_band(band: Any, flag: Any, ch1: Any, ch2: Any, au: Any, cr: Any, nbins: int = SURVEY_BINS) -> Any:
    """The band value a reader gets back: fields that are not transmitted read as 0."""
    if not flag or band is None:
        return zero_band(nbins)
    zeros = (0,) * nbins
    chans = []
    for on, (agc, autos) in zip((ch1, ch2), band[:2]):
        chans.append((int(agc), tuple(int(a) for a in autos) if au else zeros) if on else (0, zeros))
    cross = tuple((int(r), int(i)) for r, i in band[2]) if cr and ch1 and ch2 else ((0, 0),) * nbins
    return (chans[0], chans[1], cross)


def write_tnr_band(
    writer: BitWriter, band: Any, flag: Any, ch1: Any, ch2: Any, au: Any, cr: Any, nbins: int = SURVEY_BINS
) -> None:
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


def write_hfr_channel(
    writer: BitWriter, channel: Any, ch_flag: Any, hf1: Any, hf2: Any, hf1_steps: Any, hf2_steps: Any
) -> None:
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

    tnr_setup: tuple = (0, 1, 1, 1, 1, 1, 1)  # av, cr, au, d, c, b, a
    do_analysis: tuple = (0, 0, 1, 1, 1, 0)  # rx_mode, average, tnr, ch2, ch1, hfr
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
class _CalibrationPacket:
    """What every calibration packet holds besides its setup and levels, and its word faults."""

    temperature_pcb: int = 0
    voltages: tuple = (0, 0, 0)
    input_setup: tuple = (0, 0, 0, 0, 0, 0)
    acquisition_time: tuple = (0, 0, 0)
    word_count_delta: int = 0
    cut_words: int = 0
    extra_count: int = 0


@dataclass
class TnrCalibrationPacket(_CalibrationPacket):
    """A TNR calibration packet. `levels[k][b]` is band b of level k (None: zeros)."""

    tnr_setup: tuple = (0, 1, 1, 1, 1, 1, 1)
    do_analysis: tuple = (0, 0, 1, 1, 1, 0)
    levels: Optional[list] = None


@dataclass
class HfrCalibrationPacket(_CalibrationPacket):
    """An HFR calibration packet. `levels[k]` is (ch1, ch2), each (hf1 values, hf2 values)
    with one value per step of the band (None: zeros)."""

    hfr_setup: tuple = (0, 0, 1, 1, 0)  # sw, initial_frequency, hf2, hf1, av
    hfr_sweep: tuple = (2, 1, 2, 1)  # hf2_step, hf2_size, hf1_step, hf1_size
    do_analysis: tuple = (0, 0, 0, 1, 1, 1)
    levels: Optional[list] = None


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
        words = words[: max(len(words) - cut_words, 0)]
    return words, declared


def encode_survey_block(block: Any, stream: Any) -> Any:
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


def encode_survey_packet(packet: Any) -> Any:
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


def encode_tnr_calibration_packet(packet: Any) -> Any:
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


def encode_hfr_calibration_packet(packet: Any) -> Any:
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
            write_hfr_channel(writer, chan if chan is not None else empty, flag, hf1, hf2, hf1_step, hf2_step)
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
# Packet groups


def tnr_survey_packets(packets: Sequence[Any], mode: str = "normal", maxwords: int | None = None) -> Any:
    """Packet group of TNR survey packets (`TnrPacket` list).

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
    return {
        "PA_THR_ACQUISITION_TIME": _times(packets),
        "PA_THR_TNR_DATA_CNT": _counts(sizes),
        SURVEY_COUNT_PARAM[mode]: np.array(nblocks, dtype=np.uint8),
        "PA_THR_TNR_DATA": _matrix(rows, maxwords),
    }


def tnr_calibration_packets(packets: Sequence[Any], maxwords: int | None = None) -> Any:
    """Packet group of TNR calibration packets (`TnrCalibrationPacket` list)."""
    rows, sizes = zip(*[encode_tnr_calibration_packet(p) for p in packets]) if packets else ((), ())
    return {
        "PA_THR_TNR_DATA_CNT": _counts(sizes),
        "PA_THR_TNR_DATA": _matrix(rows, maxwords),
        "PA_THR_ACQUISITION_TIME": _times(packets),
    }


def hfr_calibration_packets(packets: Sequence[Any], maxwords: int | None = None) -> Any:
    """Packet group of HFR calibration packets (`HfrCalibrationPacket` list)."""
    rows, sizes = zip(*[encode_hfr_calibration_packet(p) for p in packets]) if packets else ((), ())
    return {
        "PA_THR_HFR_DATA_CNT": _counts(sizes),
        "PA_THR_HFR_DATA": _matrix(rows, maxwords),
        "PA_THR_ACQUISITION_TIME": _times(packets),
    }
