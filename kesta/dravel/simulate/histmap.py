"""TDS 2-D histogram packets, with the HIST2D records they decode into.

A histogram of nx x ny counts is flattened row-major (cell (i, j) is element i * ny + j) and cut
into chunks of `chunk` counts, the final chunk holding the rest; chunk k travels in the packet
numbered k + 1. Packets can be dropped or sent out of packet-number order; they always follow
each other in time in the order they are sent.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from kesta.dravel.tasks.tds.utils import group

from .store import filled_records, l0_store, set_expected_times

PACKET = "TM_TDS_SCIENCE_ROUTINE_HISTMAP"
SAMPLING_RATE_HZ = (65534.375, 131068.75, 262137.5, 524275.0, 2097100.0)
COUNTS_SIDE = 128

# In the order of bia_status_info.
BIA_PARAMS = (
    "PA_BIA_MODE_MUX_SET",
    "PA_BIA_MODE_HV_ENABLED",
    "PA_BIA_MODE_BIAS1_ENABLED",
    "PA_BIA_MODE_BIAS2_ENABLED",
    "PA_BIA_MODE_BIAS3_ENABLED",
    "PA_BIA_ON_OFF",
)
CHANNEL_PARAMS = tuple(f"PA_TDS_STAT_ADC_CH{k}" for k in range(1, 5))

HIST2D = np.dtype(
    [
        ("epoch", "uint64"),
        ("scet", "float64"),
        ("acquisition_time", "uint32", (2,)),
        ("synchro_flag", "uint8"),
        ("quality_flag", "uint8"),
        ("quality_bitmask", "uint16"),
        ("survey_mode", "uint8"),
        ("bia_status_info", "uint8", (6,)),
        ("channel_status_info", "uint8", (4,)),
        ("sampling_rate", "float32"),
        ("input_config", "uint32"),
        ("snapshot_len", "uint8"),
        ("hist2d_id", "uint8"),
        ("hist2d_params", "uint8"),
        ("hist2d_axis1", "uint8"),
        ("hist2d_axis2", "uint8"),
        ("hist2d_col_time", "uint16"),
        ("hist2d_bins1", "uint8"),
        ("hist2d_bins2", "uint8"),
        ("hist2d_tot_pts", "uint16"),
        ("hist2d_counts", "uint16", (COUNTS_SIDE, COUNTS_SIDE)),
    ]
)


@dataclass
class Histogram:
    """One histogram as the instrument would send it."""

    nx: int = 16
    ny: int = 8
    counts: np.ndarray | None = None  # (nx, ny) uint16; random when None
    chunk: int | None = None  # counts per packet but the final one (default: all in one)
    order: tuple | None = None  # packet numbers as sent, in time order (default 1, 2, ...)
    time: tuple = (300_000, 0, 1)  # coarse, fine, synchronisation flag of the first packet sent
    rate_code: int = 1
    input_config: int = 0x0A0B0C
    snapshot_len: int = 4
    hist_id: int = 2
    params: int = 5
    axis1: int = 1
    axis2: int = 3
    col_time: int = 600
    tot_pts: int = 4000
    bia: tuple = (2, 1, 0, 1, 0, 1)  # bia_status_info: MUX setting ... on/off flag
    channels: tuple = (1, 1, 0, 1)
    data_nr: dict = field(default_factory=dict)  # packet number -> announced DATA_NR
    pkt_cnt: int | None = None  # announced packet count (default: as cut)
    width: int | None = None  # data row width (default: the longest chunk)

    @property
    def size(self) -> int:
        return self.nx * self.ny

    def matrix(self, rng: np.random.Generator | None = None) -> Any:
        if self.counts is None:
            rng = rng or np.random.default_rng(self.hist_id)
            self.counts = rng.integers(0, 60000, size=(self.nx, self.ny), dtype=np.uint16)
        return np.asarray(self.counts, dtype=np.uint16).reshape(self.nx, self.ny)

    def cut(self) -> Any:
        """[(packet number, first count, number of counts)] of every chunk."""
        size = self.size
        chunk = self.chunk or max(size, 1)
        out, start, number = [], 0, 1
        while True:
            n = min(chunk, size - start)
            out.append((number, start, n))
            start += n
            number += 1
            if start >= size:
                return out

    def packets(self, rng: np.random.Generator | None = None) -> Any:
        """[(packet number, announced DATA_NR, data row)] in the order sent."""
        flat = self.matrix(rng).reshape(-1)
        chunks = {number: flat[start : start + n] for number, start, n in self.cut()}
        order = self.order if self.order is not None else tuple(sorted(chunks))
        width = self.width
        if width is None:
            width = max([len(chunks.get(k, ())) for k in order] + list(self.data_nr.values()) + [1])
        out = []
        for number in order:
            values = chunks.get(number, np.zeros(0, np.uint16))
            row = np.zeros(width, dtype=np.uint16)
            m = min(len(values), width)
            row[:m] = values[:m]
            out.append((number, self.data_nr.get(number, len(values)), row))
        return out

    def announced_count(self) -> int:
        return self.pkt_cnt if self.pkt_cnt is not None else len(self.cut())


def _rows(histograms, rng):
    rows = []
    for hist in histograms:
        coarse, fine, sync = hist.time
        for j, (number, data_nr, row) in enumerate(hist.packets(rng)):
            rows.append(
                {"hist": hist, "time": (coarse, fine + j, sync), "number": number, "data_nr": data_nr, "row": row}
            )
    return rows


def histmap_group(
    histograms: Sequence[Any], rng: np.random.Generator | None = None, shuffle: bool = False
) -> dict[str, np.ndarray]:
    """The packet group of `histograms` (a list of Histogram, in time order)."""
    rng = rng or np.random.default_rng(0)
    rows = _rows(histograms, rng)
    if shuffle:
        rows = [rows[k] for k in rng.permutation(len(rows))]
    n = len(rows)
    width = max((len(r["row"]) for r in rows), default=1)
    data = np.zeros((n, width), dtype=np.uint16)
    for i, r in enumerate(rows):
        data[i, : len(r["row"])] = r["row"]

    def per_packet(get, dtype):
        return np.array([get(r) for r in rows], dtype=dtype)

    group = {
        "PA_TDS_ACQUISITION_TIME": np.array([r["time"] for r in rows], dtype=np.uint32).reshape(n, 3),
        "PA_TDS_HIST2D_PKT_NR": per_packet(lambda r: r["number"], np.uint8),
        "PA_TDS_HIST2D_PKT_CNT": per_packet(lambda r: r["hist"].announced_count(), np.uint8),
        "PA_TDS_SC_HIST2D_DATA_NR": per_packet(lambda r: r["data_nr"], np.uint16),
        "PA_TDS_SC_HIST2D_DATA": data,
        "PA_TDS_STAT_SAMP_RATE": per_packet(lambda r: r["hist"].rate_code, np.uint8),
        "PA_TDS_SWF_HF_CH_CONF": per_packet(lambda r: r["hist"].input_config, np.uint32),
        "PA_TDS_SNAPSHOT_LEN": per_packet(lambda r: r["hist"].snapshot_len, np.uint8),
        "PA_TDS_SC_HIST2D_ID": per_packet(lambda r: r["hist"].hist_id, np.uint8),
        "PA_TDS_SC_HIST2D_PARAMS": per_packet(lambda r: r["hist"].params, np.uint8),
        "PA_TDS_SC_HIST2D_PAR1_AXIS": per_packet(lambda r: r["hist"].axis1, np.uint8),
        "PA_TDS_SC_HIST2D_PAR2_AXIS": per_packet(lambda r: r["hist"].axis2, np.uint8),
        "PA_TDS_SC_HIST2D_PAR1_BINS": per_packet(lambda r: r["hist"].nx, np.uint8),
        "PA_TDS_SC_HIST2D_PAR2_BINS": per_packet(lambda r: r["hist"].ny, np.uint8),
        "PA_TDS_SC_HIST2D_COLL_TIME": per_packet(lambda r: r["hist"].col_time, np.uint16),
        "PA_TDS_SC_HIST2D_TOT_POINTS": per_packet(lambda r: r["hist"].tot_pts, np.uint16),
    }
    for names, attr in ((BIA_PARAMS, "bia"), (CHANNEL_PARAMS, "channels")):
        for k, name in enumerate(names):
            group[name] = per_packet(lambda r: getattr(r["hist"], attr)[k], np.uint8)  # noqa: B023 - called within the iteration
    return group


def expected_records(histograms: Sequence[Any], rng: np.random.Generator | None = None) -> np.ndarray:
    """The HIST2D records of `histograms` (given in time order, each sending at least one packet).

    Each histogram must come out of the packet grouping as a run of its own; a histogram whose
    packets would join the previous one's run raises ValueError.
    """
    rng = rng or np.random.default_rng(0)
    rows = _rows(histograms, rng)
    groups, size = group(np.array([r["number"] for r in rows], dtype=np.uint8))
    starts = [0]
    for hist in histograms[:-1]:
        starts.append(starts[-1] + len(hist.packets(rng)))
    if size != len(histograms) or any(groups[s] != h for h, s in enumerate(starts)):
        raise ValueError("the histograms' packets do not group into one run per histogram")

    out = filled_records(len(histograms), HIST2D)
    for h, hist in enumerate(histograms):
        rec = out[h]
        set_expected_times(out[h : h + 1], [hist.time])
        rec["bia_status_info"] = hist.bia
        rec["channel_status_info"] = hist.channels
        rec["survey_mode"] = 3
        rec["sampling_rate"] = SAMPLING_RATE_HZ[hist.rate_code]
        rec["input_config"] = hist.input_config
        rec["snapshot_len"] = hist.snapshot_len
        rec["hist2d_id"] = hist.hist_id
        rec["hist2d_params"] = hist.params
        rec["hist2d_axis1"] = hist.axis1
        rec["hist2d_axis2"] = hist.axis2
        rec["hist2d_bins1"] = hist.nx
        rec["hist2d_bins2"] = hist.ny
        rec["hist2d_col_time"] = hist.col_time
        rec["hist2d_tot_pts"] = hist.tot_pts

        # Chunk length: from the first packet sent; when that is the final chunk, the other
        # chunks share one length and the final one holds the rest.
        sent = hist.packets(rng)
        cnt = hist.announced_count()
        size_ = hist.size % 65536
        first_number, first_nr, _ = sent[0]
        if first_number == cnt:
            space = (size_ - first_nr) // (cnt - 1) if cnt > 1 else 0
        else:
            space = first_nr
        buffer = np.zeros(size_, dtype=np.uint16)
        final = False
        for number, data_nr, row in sent:
            k = number - 1
            buffer[k * space : k * space + data_nr] = row[:data_nr]
            final = final or number == cnt
        if final:
            rec["hist2d_counts"][: hist.nx, : hist.ny] = buffer.reshape(hist.nx, hist.ny)
    return out


def histmap_store(histograms: Sequence[Any], rng: np.random.Generator | None = None, shuffle: bool = False) -> Any:
    """(L0 store, expected records) of `histograms`."""
    group = histmap_group(histograms, rng=rng, shuffle=shuffle)
    return l0_store({PACKET: group}), expected_records(histograms, rng=rng)


def demo_groups(rng: np.random.Generator, anomalies: bool = False) -> dict[str, dict[str, np.ndarray]]:
    """The histogram packet group for demos and the command line."""
    hists = []
    for h in range(6):
        nx, ny = int(rng.choice([16, 32, 64, 128])), int(rng.choice([8, 32, 100, 128]))
        x, y = np.meshgrid(np.arange(nx), np.arange(ny), indexing="ij")
        counts = (
            5000 * np.exp(-((x - nx / 2) ** 2 / (nx / 4) ** 2 + (y - ny / 3) ** 2 / (ny / 5) ** 2))
            + rng.poisson(3, (nx, ny))
        ).astype(np.uint16)
        hist = Histogram(
            nx=nx,
            ny=ny,
            counts=counts,
            chunk=2000,
            time=(400_000 + 300 * h, 0, 1),
            rate_code=int(rng.integers(0, 5)),
            hist_id=h + 1,
        )
        cnt = len(hist.cut())
        if anomalies and h == 1 and cnt > 2:
            hist.order = tuple(k for k in range(1, cnt + 1) if k != 2)  # a middle chunk lost
        if anomalies and h == 2 and cnt > 2:
            hist.order = (1, cnt) + tuple(range(2, cnt))  # final chunk early
        if anomalies and h == 3 and cnt > 1:
            hist.order = tuple(range(1, cnt))  # final chunk lost
        hists.append(hist)
    return {PACKET: histmap_group(hists, rng=rng, shuffle=anomalies)}
