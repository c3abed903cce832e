"""Random THR packets, with and without faults, and the cases (packet group and expected
decoding) built from them.

The `random_*_packets` builders give packet descriptions only: encode them with the group
builders of `thr_encoding`; `random_tnr_survey` and the other two also compute the records.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np

from .thr_encoding import (
    AGC_BITS,
    AUTO_BITS,
    CALIBRATION_BINS,
    CROSS_BITS,
    DO_ANALYSIS_BITS,
    HFR_SETUP_BITS,
    HFR_VALUE_BITS,
    INPUT_SETUP_BITS,
    NLEVELS,
    STATUS_BITS,
    SURVEY_BINS,
    TEMPERATURE_BITS,
    TNR_SETUP_BITS,
    VOLTAGE_BITS,
    HfrCalibrationPacket,
    TnrBlock,
    TnrCalibrationPacket,
    TnrPacket,
    encode_hfr_calibration_packet,
    encode_survey_packet,
    encode_tnr_calibration_packet,
)
from .thr_expected import hfr_calibration_group, tnr_calibration_group, tnr_survey_group

SURVEY_FAULTS = ("word_count", "block_count_low", "block_count_high", "truncated")
CALIBRATION_FAULTS = ("word_count", "truncated")


def _rand_fields(rng, widths):
    return tuple(int(rng.integers(0, 1 << w)) for w in widths)


def random_time(rng: np.random.Generator) -> tuple[int, int, int]:
    return (int(rng.integers(0, 1 << 31)), int(rng.integers(0, 1 << 16)), int(rng.integers(0, 2)))


def random_band(rng: np.random.Generator, nbins: int = SURVEY_BINS) -> Any:
    def chan():
        return (int(rng.integers(0, 1 << AGC_BITS)), tuple(int(v) for v in rng.integers(0, 1 << AUTO_BITS, nbins)))

    cross = tuple((int(r), int(i)) for r, i in rng.integers(0, 1 << CROSS_BITS, (nbins, 2)))
    return (chan(), chan(), cross)


_TICKS = (0, 1, 65535, 65536, 0xFFFFFFFF)


def random_tnr_block(rng: np.random.Generator) -> Any:
    ticks = tuple(int(rng.choice(_TICKS)) if rng.random() < 0.3 else int(rng.integers(0, 1 << 32)) for _ in range(4))
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
        packet.extra_count = -1  # settled by _truncate once all rows are known
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


def random_tnr_survey_packets(
    rng: np.random.Generator, npackets: int, max_blocks: int = 4, bad: int = 0, faults: Sequence[str] = SURVEY_FAULTS
) -> Any:
    """`npackets` random survey packets (`TnrPacket`), `bad` of them with a random fault from
    `faults`."""
    bad_idx = _pick_faults(rng, npackets, bad)
    packets = []
    for i in range(npackets):
        nblocks = int(rng.integers(1, max_blocks + 1))
        while True:
            packet = TnrPacket([random_tnr_block(rng) for _ in range(nblocks)], random_time(rng))
            words, size, _ = encode_survey_packet(packet)
            if _clean(words, size):
                break
        if i in bad_idx:
            kind = str(rng.choice(list(faults)))
            _apply_fault(rng, packet, kind)
        packets.append(packet)
    _truncate(rng, packets, encode_survey_packet)
    return packets


def _random_calibration_packets(rng, npackets, bad, faults, make, encode):
    """`npackets` packets from `make()`, each drawn again until it ends on a whole word, `bad`
    of them with a random fault from `faults`."""
    bad_idx = _pick_faults(rng, npackets, bad)
    packets = []
    for i in range(npackets):
        while True:
            packet = make()
            words, size = encode(packet)
            if _clean(words, size):
                break
        if i in bad_idx:
            _apply_fault(rng, packet, str(rng.choice(list(faults))))
        packets.append(packet)
    _truncate(rng, packets, encode)
    return packets


def random_tnr_calibration_packets(
    rng: np.random.Generator, npackets: int, bad: int = 0, faults: Sequence[str] = CALIBRATION_FAULTS
) -> Any:
    """`npackets` random TNR calibration packets, `bad` of them faulty."""

    def make():
        return TnrCalibrationPacket(
            tnr_setup=_rand_fields(rng, TNR_SETUP_BITS),
            do_analysis=_rand_fields(rng, DO_ANALYSIS_BITS),
            levels=[[random_band(rng, CALIBRATION_BINS) for _ in range(4)] for _ in range(NLEVELS)],
            **_random_calibration_fields(rng),
        )

    return _random_calibration_packets(rng, npackets, bad, faults, make, encode_tnr_calibration_packet)


def random_hfr_calibration_packets(
    rng: np.random.Generator,
    npackets: int,
    bad: int = 0,
    max_steps: int = 8,
    faults: Sequence[str] = CALIBRATION_FAULTS,
) -> Any:
    """`npackets` random HFR calibration packets (step counts up to `max_steps`)."""

    def make():
        setup = _rand_fields(rng, HFR_SETUP_BITS)
        hf1_step = int(rng.integers(0, max_steps + 1))
        hf2_step = int(rng.integers(0, max_steps + 1))
        sweep = (hf2_step, int(rng.integers(0, 256)), hf1_step, int(rng.integers(0, 256)))

        def chan():
            return (
                tuple(int(v) for v in rng.integers(0, 1 << HFR_VALUE_BITS, hf1_step)),
                tuple(int(v) for v in rng.integers(0, 1 << HFR_VALUE_BITS, hf2_step)),
            )

        return HfrCalibrationPacket(
            hfr_setup=setup,
            hfr_sweep=sweep,
            do_analysis=_rand_fields(rng, DO_ANALYSIS_BITS),
            levels=[(chan(), chan()) for _ in range(NLEVELS)],
            **_random_calibration_fields(rng),
        )

    return _random_calibration_packets(rng, npackets, bad, faults, make, encode_hfr_calibration_packet)


def _random_calibration_fields(rng):
    """The fields every calibration packet holds, drawn in the order the packets always drew them."""
    return dict(
        temperature_pcb=int(rng.integers(0, 256)),
        voltages=_rand_fields(rng, VOLTAGE_BITS),
        input_setup=_rand_fields(rng, INPUT_SETUP_BITS),
        acquisition_time=random_time(rng),
    )


# ---------------------------------------------------------------------------------------
# Random cases


def random_tnr_survey(
    rng: np.random.Generator,
    npackets: int,
    mode: str = "normal",
    max_blocks: int = 4,
    bad: int = 0,
    faults: Sequence[str] = SURVEY_FAULTS,
) -> Any:
    """`npackets` random survey packets, `bad` of them with a random fault from `faults`, and
    their expected decoding (a `ThrCase`)."""
    return tnr_survey_group(random_tnr_survey_packets(rng, npackets, max_blocks, bad, faults), mode)


def random_tnr_calibration(
    rng: np.random.Generator, npackets: int, bad: int = 0, faults: Sequence[str] = CALIBRATION_FAULTS
) -> Any:
    """`npackets` random TNR calibration packets, `bad` of them faulty, and their decoding."""
    return tnr_calibration_group(random_tnr_calibration_packets(rng, npackets, bad, faults))


def random_hfr_calibration(
    rng: np.random.Generator,
    npackets: int,
    bad: int = 0,
    max_steps: int = 8,
    faults: Sequence[str] = CALIBRATION_FAULTS,
) -> Any:
    """`npackets` random HFR calibration packets (step counts up to `max_steps`), `bad` of
    them faulty, and their decoding."""
    return hfr_calibration_group(random_hfr_calibration_packets(rng, npackets, bad, max_steps, faults))
