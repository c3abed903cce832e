"""The records THR decoders must make of a packet group: the group walked exactly as the
decoders walk it (same block and packet order, same per-packet failure rule, same time
arithmetic, fill values from the fill-value library), and the cases built from chosen packets.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np
from quorel.packet_structure.data import Data
from quorel.time import Time
from tesmo.converters.cdf_fill import fill_records as _fill

from kesta.dravel.tasks.thr import hfr as _hfr
from kesta.dravel.tasks.thr import science_tools as _st
from kesta.dravel.tasks.thr import tnr as _tnr

from .thr_encoding import (
    CALIBRATION_BINS,
    HFR_MAX_VALUES,
    NLEVELS,
    SURVEY_COUNT_PARAM,
    THR_TICK_NSEC,
    TNR_BAND_FREQUENCY,
    _calibration_size,
    hfr_calibration_packets,
    tnr_calibration_packets,
    tnr_survey_packets,
)


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
        band, bit_count = _tnr.extract_band(flag, ana[4], ana[3], setup[2], setup[1], data, offset + 30, bit_count)
        if not 0 <= bit_count <= 0xFFFF:
            raise OverflowError(f"bit offset {bit_count} does not fit 16 bits")
        bands.append(band)
    n = offset + 30 + bit_count // 8
    n += n % 2
    block = dict(
        cmd_ctr=cmd_ctr & 0xFF,
        zelk_status=status,
        temperatures=temps,
        tnr_setup=setup,
        input_setup=inp,
        do_analysis=ana,
        delta_times=deltas,
        bands=bands,
        acquisition_time=tuple(int(x) for x in time),
    )
    return block, n


def _new_records(dtype, n):
    records = np.zeros(n, dtype=np.dtype(dtype))
    _fill(records)
    return records


def expected_tnr_survey(group: dict, mode: str = "normal") -> Any:
    """Records, report count and per-packet failures of a TNR survey decoder on `group`."""
    cnt_param = SURVEY_COUNT_PARAM.get(mode, "PA_THR_B_BLOCK_CNT")
    counts = np.asarray(group[cnt_param])
    blocks: list[Any] = [None] * int(counts.sum())
    counter = 0
    errors: list[str | None] = []
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
                raise Exception(f"Bad decommutation for TNR {mode} mode\nExpected {2 * size} got {offset} bytes")
            errors.append(None)
        except Exception as exc:  # noqa: BLE001 - every packet failure is reported
            errors.append(str(exc))
    survey_mode = 0 if mode == "normal" else 1
    wanted = [
        (i, k) for i, blk in enumerate(blocks) if blk is not None for k in range(4) if blk["tnr_setup"][6 - k] == 1
    ]
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


def _calibration_packets(group, data_param, read):
    """Each packet of a calibration group read by `read(data, size, time)` as its decoder reads
    it, and per packet None or the text of the failure the decoder reports for it."""
    n = len(np.asarray(group[data_param + "_CNT"]))
    packets = [None] * n
    errors = []
    for i in range(n):
        try:
            size = int(group[data_param + "_CNT"][i])
            data = _packet_reader(group, data_param, size, i)
            packets[i] = read(data, size, group["PA_THR_ACQUISITION_TIME"][i])
            errors.append(None)
        except Exception as exc:  # noqa: BLE001 - every packet failure is reported
            errors.append(str(exc))
    return packets, errors


def _calibration_levels(size, offset, offset_bits, flags, extract):
    """The levels of a calibration packet of `size` words whose spectra start at byte `offset`:
    per level, one part per flag from `extract(flag, bit_count)`, as its decoder walks them
    (a bit offset must fit `offset_bits` bits; the spectra must end where the packet does)."""
    bit_count = 0
    levels = []
    for _ in range(NLEVELS):
        parts = []
        for flag in flags:
            part, bit_count = extract(flag, bit_count)
            if not 0 <= bit_count < 1 << offset_bits:
                raise OverflowError(f"bit offset {bit_count} does not fit {offset_bits} bits")
            parts.append(part)
        levels.append(parts)
    consumed = _calibration_size(bit_count, offset)
    if consumed != 2 * size:
        raise Exception(f"Expected a size of {2 * size} bytes but have {consumed}")
    return levels


def _set_calibration_time(rec, acq):
    t = _time_pair(acq)
    rec["epoch"] = float(Time().obt_to_utc(t, to_tt2000=True)[0])
    rec["acquisition_time"] = acq[:2]
    rec["scet"] = Time.cuc_to_scet(t)[0]
    rec["synchro_flag"] = acq[2]


def expected_tnr_calibration(group: dict) -> Any:
    """Records, report count and per-packet failures of a TNR calibration decoder."""

    def read(data, size, time):
        pcb, volts = _calibration_header(data)
        setup = _tnr.tnr_setup(data, 5)
        inp = _st.input_setup(data, 6)
        ana = _st.do_analysis(data, 9)
        levels = _calibration_levels(
            size,
            10,
            16,
            (setup[6], setup[5], setup[4], setup[3]),
            lambda flag, bits: _tnr.extract_calibration_band(flag, ana[4], ana[3], setup[2], setup[1], data, 10, bits),
        )
        return dict(
            pcb=pcb,
            voltages=volts,
            tnr_setup=setup,
            input_setup=inp,
            do_analysis=ana,
            levels=levels,
            acquisition_time=tuple(int(x) for x in time),
        )

    packets, errors = _calibration_packets(group, "PA_THR_TNR_DATA", read)
    wanted = [
        (p, k, level)
        for p in packets
        if p is not None
        for k in range(4)
        if p["tnr_setup"][6 - k] == 1
        for level in range(NLEVELS)
    ]
    records = _new_records(_tnr.tnr_dtype(), len(wanted))
    for rec, (p, k, level) in zip(records, wanted):
        setup, ana, inp = p["tnr_setup"], p["do_analysis"], p["input_setup"]
        band = p["levels"][level][k]
        _set_calibration_time(rec, p["acquisition_time"])
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


def expected_hfr_calibration(group: dict) -> Any:
    """Records, report count and per-packet failures of an HFR calibration decoder.

    A decoded packet with an enabled band of more than 512 steps makes the whole call fail:
    the result then has `records` None and `error` set.
    """

    def read(data, size, time):
        pcb, volts = _calibration_header(data)
        setup = _hfr.hfr_setup(data, 4)
        inp = _st.input_setup(data, 6)
        sweep = _hfr.hfr_sweep_setup(data, 8)
        hf1_steps, hf2_steps = int(sweep[2]), int(sweep[0])
        ana = _st.do_analysis(data, 13)
        levels = _calibration_levels(
            size,
            14,
            32,
            (ana[4], ana[3]),
            lambda flag, bits: _hfr.extract_band(flag, setup[3], setup[2], hf1_steps, hf2_steps, data, 14, bits),
        )
        return dict(
            pcb=pcb,
            voltages=volts,
            hfr_setup=setup,
            input_setup=inp,
            hfr_sweep=sweep,
            do_analysis=ana,
            levels=levels,
            acquisition_time=tuple(int(x) for x in time),
        )

    packets, errors = _calibration_packets(group, "PA_THR_HFR_DATA", read)
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
                return ThrCase(group, None, reports, errors, error=f"step count {steps} above {HFR_MAX_VALUES}")
            wanted += [(p, index, level, j) for level in range(NLEVELS) for j in range(steps)]
    records = _new_records(_hfr.hfr_dtype(), len(wanted))
    for rec, (p, index, level, j) in zip(records, wanted):
        sw, f0, hf2, hf1, av = p["hfr_setup"]
        hf2_step, hf2_size, hf1_step, hf1_size = p["hfr_sweep"]
        band = ("hf1", "hf2")[index]
        ana, inp = p["do_analysis"], p["input_setup"]
        _set_calibration_time(rec, p["acquisition_time"])
        rec["frequency"] = np.uint64(_hfr.compute_frequency(f0, j, hf1_size, hf1_step, hf2_size, band))
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
# Cases from chosen packets


def tnr_survey_group(packets: Sequence[Any], mode: str = "normal", maxwords: int | None = None) -> Any:
    """Packet group of TNR survey packets (`TnrPacket` list) and its expected decoding.

    `maxwords` sets the width of PA_THR_TNR_DATA (default: the longest row); a narrower
    width cuts longer rows.
    """
    return expected_tnr_survey(tnr_survey_packets(packets, mode, maxwords), mode)


def tnr_calibration_group(packets: Sequence[Any], maxwords: int | None = None) -> Any:
    """Packet group of TNR calibration packets and its expected decoding."""
    return expected_tnr_calibration(tnr_calibration_packets(packets, maxwords))


def hfr_calibration_group(packets: Sequence[Any], maxwords: int | None = None) -> Any:
    """Packet group of HFR calibration packets and its expected decoding."""
    return expected_hfr_calibration(hfr_calibration_packets(packets, maxwords))
