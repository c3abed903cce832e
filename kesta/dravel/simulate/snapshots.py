"""Triggered (TSWF) and regular (RSWF) snapshot packets, with the records they decode into.

A snapshot of `length` samples per channel is cut into packets of at most
``2032 // sum(channel flags)`` samples per channel, the active channels (flag 1) one after
the other in each packet's data block. Packets can be dropped, duplicated or shuffled.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from kesta.dravel.l1.attributes import fill_value

from .store import filled_records, l0_store, set_expected_times

NSAMP_MAX_PER_REC = 65536
NSAMP_MAX_PER_PKT = 2032
SAMP_PER_SNAPSHOT = (512, 1024, 2048, 4096, 8192, 16384, 32768, 65536, 131072)
SAMP_RATE = (65534.375, 131068.75, 262137.5, 524275.0, 2097100.0)

PACKETS = {
    ("trig", False): "TM_TDS_SCIENCE_ROUTINE_TRIGSNAP",
    ("trig", True): "TM_TDS_SCIENCE_SBM2_TSWF",
    ("reg", False): "TM_TDS_SCIENCE_ROUTINE_REGSNAP",
    ("reg", True): "TM_TDS_SCIENCE_SBM1_RSWF",
}
DATA_PARAM = {"trig": "PA_TDS_TSWF_DATA_BLK", "reg": "PA_TDS_RSWF_DATA_BLK"}

BIA_PARAMS = (
    "PA_BIA_ON_OFF",
    "PA_BIA_MODE_BIAS3_ENABLED",
    "PA_BIA_MODE_BIAS2_ENABLED",
    "PA_BIA_MODE_BIAS1_ENABLED",
    "PA_BIA_MODE_HV_ENABLED",
    "PA_BIA_MODE_MUX_SET",
)
CHANNEL_PARAMS = tuple(f"PA_TDS_HF_CH_ADC_CH{k}" for k in range(1, 5))
STATUS_PARAMS = (
    "PA_TDS_THR_OFF",
    "PA_TDS_LFR_OFF",
    "PA_TDS_ANT1_OFF",
    "PA_TDS_ANT2_OFF",
    "PA_TDS_ANT3_OFF",
    "PA_TDS_SCM_OFF",
    "PA_TDS_HF_ART_MAG_HEATER",
    "PA_TDS_HF_ART_SCM_CALIB",
)
ARTEFACT_PARAMS = (
    "PA_TDS_HF_ART_BUF_OVERFLOW",
    "PA_TDS_HF_ART_ADC1_OR",
    "PA_TDS_HF_ART_ADC2_OR",
    "PA_TDS_HF_ART_ADC3_OR",
    "PA_TDS_HF_ART_ADC4_OR",
)


def _header_entries():
    return [
        ("epoch", "uint64"),
        ("scet", "float64"),
        ("acquisition_time", "uint32", (2,)),
        ("synchro_flag", "uint8"),
        ("quality_flag", "uint8"),
        ("quality_bitmask", "uint16"),
        ("survey_mode", "uint8"),
        ("bia_status_info", "uint8", (6,)),
        ("sampling_rate", "float32"),
        ("hf_data_artefacts", "uint8", (5,)),
        ("filter_coefs", "uint8"),
        ("zelk_status_info", "uint8", (8,)),
        ("input_config", "uint32"),
        ("snapshot_seq_nr", "uint16"),
    ]


TSWF = np.dtype(
    _header_entries()
    + [
        ("samps_per_ch", "uint64"),
        ("channel_status_info", "uint8", (4,)),
        ("quality_fact", "uint16"),
        ("downlink_info", "uint8", (2,)),
        ("waveform_data", "int16", (4, NSAMP_MAX_PER_REC)),
    ]
)
RSWF = np.dtype(
    _header_entries()
    + [
        ("channel_status_info", "uint8", (4,)),
        ("samps_per_ch", "uint64"),
        ("waveform_data", "int16", (4, NSAMP_MAX_PER_REC)),
    ]
)


@dataclass
class Snapshot:
    """One snapshot as the instrument would send it."""

    length: int = 2048
    channels: tuple = (1, 1, 1, 1)
    snapshot_nr: int = 1
    time: tuple = (100_000, 0, 1)  # coarse, fine, synchronisation flag of packet 1
    rate_code: int = 2
    waveform: np.ndarray | None = None  # (4, length) int16; random when None
    missing: tuple = ()  # packet numbers not sent
    duplicated: tuple = ()  # packet numbers sent twice
    samples_override: dict = field(default_factory=dict)  # packet number -> announced samples/ch
    block_width: int | None = None  # data block width (default: 2032)
    pkt_cnt: int | None = None  # announced packet count (default: as cut)
    quality_fact: int = 7
    input_config: int = 0x12345
    filter_coefs: int = 3
    downlink: tuple = (1, 2)
    bia: tuple = (1, 0, 1, 0, 1, 2)
    status: tuple = (0, 1, 0, 1, 0, 0, 1, 0)
    artefacts: tuple = (0, 0, 1, 0, 0)

    def max_per_channel(self) -> int:
        total = sum(self.channels)
        return NSAMP_MAX_PER_PKT // total if total else NSAMP_MAX_PER_PKT

    def samples(self, rng: np.random.Generator | None = None) -> Any:
        if self.waveform is None:
            rng = rng or np.random.default_rng(self.snapshot_nr)
            self.waveform = rng.integers(-2000, 2000, size=(4, self.length), dtype=np.int16)
        return np.asarray(self.waveform, dtype=np.int16)

    def packets(self) -> Any:
        """[(packet number, samples per channel, first sample)] as cut, before drops/duplicates."""
        per = self.max_per_channel()
        out, start, number = [], 0, 1
        while start < self.length:
            n = min(per, self.length - start)
            out.append((number, n, start))
            start += n
            number += 1
        return out


def _block(snap, wave, n, start):
    """The data block of the packet carrying samples [start, start + n) of each active channel."""
    active = [ch for ch in range(4) if snap.channels[ch] == 1]
    block = np.zeros(snap.block_width or NSAMP_MAX_PER_PKT, dtype=np.uint16)
    data = np.concatenate([wave[ch, start : start + n] for ch in active]) if active else np.zeros(0, np.int16)
    m = min(len(data), len(block))
    block[:m] = data[:m].view(np.uint16)
    return block


def _sorted_packets(snap):
    cut = snap.packets()
    sent = []
    for number, n, start in cut:
        if number in snap.missing:
            continue
        sent.append((number, n, start))
        if number in snap.duplicated:
            sent.append((number, n, start))
    return cut, sent


def snapshot_group(
    snapshots: Sequence[Any], kind: str = "trig", rng: np.random.Generator | None = None, shuffle: bool = False
) -> Any:
    """The packet group of `snapshots` (a list of Snapshot) for product `kind` ("trig"/"reg")."""
    rng = rng or np.random.default_rng(0)
    rows = []
    for snap in snapshots:
        wave = snap.samples(rng)
        cut, sent = _sorted_packets(snap)
        for number, n, start in sent:
            block = _block(snap, wave, n, start)
            coarse, fine, sync = snap.time
            rows.append(
                {
                    "PA_TDS_SNAPSHOT_NR": snap.snapshot_nr,
                    # packets of a snapshot follow each other in time; the packet number orders them
                    "PA_TDS_ACQUISITION_TIME": (coarse, fine + number - 1, sync),
                    "PA_TDS_SWF_PKT_CNT": snap.pkt_cnt if snap.pkt_cnt is not None else len(cut),
                    "PA_TDS_SWF_PKT_NR": number,
                    "PA_TDS_SAMPS_PER_CH": snap.samples_override.get(number, n),
                    "block": block,
                    "snap": snap,
                }
            )
    if shuffle:
        rows = [rows[k] for k in rng.permutation(len(rows))]
    n = len(rows)
    width = max((len(r["block"]) for r in rows), default=NSAMP_MAX_PER_PKT)
    group: dict[str, Any] = {
        "PA_TDS_SNAPSHOT_NR": np.array([r["PA_TDS_SNAPSHOT_NR"] for r in rows], dtype=np.uint16),
        "PA_TDS_ACQUISITION_TIME": np.array([r["PA_TDS_ACQUISITION_TIME"] for r in rows], dtype=np.uint32).reshape(
            n, 3
        ),
        "PA_TDS_SWF_PKT_CNT": np.array([r["PA_TDS_SWF_PKT_CNT"] for r in rows], dtype=np.uint8),
        "PA_TDS_SWF_PKT_NR": np.array([r["PA_TDS_SWF_PKT_NR"] for r in rows], dtype=np.uint8),
        "PA_TDS_SAMPS_PER_CH": np.array([r["PA_TDS_SAMPS_PER_CH"] for r in rows], dtype=np.uint16),
        DATA_PARAM[kind]: np.zeros((n, width), dtype=np.uint16),
        "PA_TDS_HF_CH_SAMP_RATE": np.array([r["snap"].rate_code for r in rows], dtype=np.uint8),
        "PA_TDS_SWF_HF_CH_CONF": np.array([r["snap"].input_config for r in rows], dtype=np.uint32),
        "PA_TDS_FILTER_COEFS": np.array([r["snap"].filter_coefs for r in rows], dtype=np.uint8),
    }
    for r_index, r in enumerate(rows):
        group[DATA_PARAM[kind]][r_index, : len(r["block"])] = r["block"]
    for names, attr in (
        (BIA_PARAMS, "bia"),
        (CHANNEL_PARAMS, "channels"),
        (STATUS_PARAMS, "status"),
        (ARTEFACT_PARAMS, "artefacts"),
    ):
        for k, name in enumerate(names):
            group[name] = np.array([getattr(r["snap"], attr)[k] for r in rows], dtype=np.uint8)
    if kind == "trig":
        group["PA_TDS_TSWF_QUALITY_FACT"] = np.array([r["snap"].quality_fact for r in rows], dtype=np.uint16)
        group["PA_TDS_TSWF_DL_ALGO_CODE"] = np.array([r["snap"].downlink[0] for r in rows], dtype=np.uint8)
        group["PA_TDS_TSWF_DL_SELECT_CODE"] = np.array([r["snap"].downlink[1] for r in rows], dtype=np.uint8)
    return group


def _length_for(x):
    diffs = [((x - s) % 2**64) % 2**32 for s in SAMP_PER_SNAPSHOT]
    return SAMP_PER_SNAPSHOT[diffs.index(min(diffs))]


def _estimate(kind, k, cnt, length, per, previous):
    if kind == "trig":
        spc = previous
        if k == cnt:
            spc = length - per * (cnt - 1)
        if k == 1:
            spc = length - per if cnt == 2 else per
        return spc
    if k == cnt:
        return length - per * (cnt - 1)
    if k == 1:
        return length - per if cnt == 2 else per
    return previous


def expected_records(snapshots: Sequence[Any], kind: str = "trig") -> Any:
    """(records, reports, warnings): what the decoder must return for `snapshots`, which must be
    given in time order; `reports` holds the text of each rejected snapshot, `warnings` the
    missing-packet warnings."""
    dtype = TSWF if kind == "trig" else RSWF
    out = filled_records(len(snapshots), dtype)
    reports, warnings = [], []
    for i, snap in enumerate(snapshots):
        rec = out[i]
        cut, sent = _sorted_packets(snap)
        first = sent[0][0] if sent else None
        coarse, fine, sync = snap.time
        set_expected_times(out[i : i + 1], [(coarse, fine + first - 1, sync)])
        rec["survey_mode"] = 0
        rec["sampling_rate"] = SAMP_RATE[snap.rate_code]
        rec["bia_status_info"] = snap.bia
        rec["channel_status_info"] = snap.channels
        rec["zelk_status_info"] = snap.status
        rec["hf_data_artefacts"] = snap.artefacts
        rec["input_config"] = snap.input_config
        rec["filter_coefs"] = snap.filter_coefs
        rec["snapshot_seq_nr"] = snap.snapshot_nr
        if kind == "trig":
            rec["quality_fact"] = snap.quality_fact
            rec["downlink_info"] = snap.downlink
        # the walk, over the packets as sent (duplicates taken once)
        active = [ch for ch in range(4) if snap.channels[ch] == 1]
        wave = snap.samples()
        cnt = (snap.pkt_cnt if snap.pkt_cnt is not None else len(cut)) % 256
        total = sum(snap.channels)
        failed = None
        if not active:
            failed = "No active channel"
        else:
            per = NSAMP_MAX_PER_PKT // total
            length = _length_for(per * cnt)
            present = {number: (n, start) for number, n, start in sent}
            nsamp, spc, negative = 0, 0, False
            width = snap.block_width or NSAMP_MAX_PER_PKT
            for k in range(1, cnt + 1):
                if k in present:
                    n, start = present[k]
                    spc = snap.samples_override.get(k, n)
                    if spc * len(active) > width:
                        failed = failed or "fewer than"
                    else:
                        take = max(0, min(spc, NSAMP_MAX_PER_REC - nsamp))
                        block = _block(snap, wave, n, start).view(np.int16)
                        for c, ch in enumerate(active):
                            rec["waveform_data"][ch, nsamp : nsamp + take] = block[c * spc : c * spc + take]
                    nsamp += spc
                else:
                    warnings.append(f"Packet #{k} [{cnt}] is missing for snapshot #{i}!")
                    spc = _estimate(kind, k, cnt, length, per, spc)
                    if spc < 0:
                        negative = True
                    else:
                        nsamp += spc
            if failed is None:
                # snapshot counters run 0, 1, ... in time order, so the counter is the record index
                label = i
                if nsamp > NSAMP_MAX_PER_REC:
                    failed = (
                        f"Total number of samples cannot exceed {NSAMP_MAX_PER_REC}, "
                        f"but {nsamp} found in snapshot #{label}!"
                    )
                elif negative or nsamp != length:
                    failed = f"Unexpected total number of samples in snapshot #{label}!"
                else:
                    rec["samps_per_ch"] = nsamp
        if failed is not None:
            reports.append(failed)
            rec["waveform_data"] = fill_value(np.int16)
    return out, reports, warnings


def snapshot_store(
    snapshots: Sequence[Any],
    kind: str = "trig",
    is_sbm: bool = False,
    rng: np.random.Generator | None = None,
    shuffle: bool = False,
) -> Any:
    """(L0 store, expected records, reports, warnings) for one packet type."""
    group = snapshot_group(snapshots, kind, rng=rng, shuffle=shuffle)
    records, reports, warnings = expected_records(snapshots, kind)
    return l0_store({PACKETS[(kind, bool(is_sbm))]: group}), records, reports, warnings


def demo_groups(rng: np.random.Generator, anomalies: bool = False) -> dict[str, dict[str, np.ndarray]]:
    """Packet groups of all four snapshot packet types, for demos and the command line."""
    groups = {}
    for kind in ("trig", "reg"):
        for sbm in (False, True):
            snaps = []
            for s in range(4):
                length = int(rng.choice([512, 2048, 4096, 16384]))
                channels = (1, 1, 1, 1) if s % 2 == 0 else (1, 0, 1, 0)
                t = np.arange(length)
                wave = np.stack(
                    [(1000 * np.sin(2 * np.pi * (ch + 1) * t / 256) + rng.normal(0, 50, length)) for ch in range(4)]
                ).astype(np.int16)
                snap = Snapshot(
                    length=length,
                    channels=channels,
                    snapshot_nr=100 + s,
                    time=(200_000 + 60 * s, 0, 1),
                    rate_code=int(rng.integers(0, 5)),
                    waveform=wave,
                )
                if anomalies and s == 1:
                    snap.missing = (2,)
                if anomalies and s == 2:
                    snap.duplicated = (1,)
                if anomalies and s == 3:
                    snap.samples_override = {1: 5}
                snaps.append(snap)
            group = snapshot_group(snaps, kind, rng=rng, shuffle=anomalies)
            groups[PACKETS[(kind, sbm)]] = group
    return groups
