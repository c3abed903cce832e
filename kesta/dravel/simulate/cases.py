"""Small random stores of every product with the records the decoders must give back: the
cases of the hardening tests and the fuzzer.

Each builder takes the product (its packet type and keyword arguments say which variant to
build), a random generator and whether to build in units the decoder reports; it returns
(L0 store, expected records, number of reported units).
"""

from __future__ import annotations

from typing import Any

import numpy as np

from kesta.dravel import products as registry
from kesta.dravel.products import Product

from . import histmap as hist_sim
from . import lfm as lfm_sim
from . import snapshots as snap_sim
from . import thr_random
from .store import l0_store

SURVEY_MODE = {registry.TNR_NORMAL_PACKET: "normal", registry.TNR_BURST_PACKET: "burst"}
SNAPSHOT_KIND = {packet: kind for (kind, _), packet in snap_sim.PACKETS.items()}


def _wave(rng, length):
    return rng.integers(-2000, 2000, size=(4, length), dtype=np.int16)


def snapshot_case(product: Product, rng: np.random.Generator, anomalies: bool) -> tuple[dict, np.ndarray, int]:
    """One to three snapshots, sent shuffled; with `anomalies` one whose samples do not add up
    and one with a packet missing."""
    kind = SNAPSHOT_KIND[product.packet]
    sbm = dict(product.kwargs)["is_sbm"]
    base = int(rng.integers(0, 10_000))
    snaps = []
    for s in range(int(rng.integers(1, 4))):
        length = int(rng.choice([512, 1024]))
        channels = ((1, 1, 1, 1), (1, 0, 1, 0), (0, 1, 1, 1))[int(rng.integers(0, 3))]
        snap = snap_sim.Snapshot(
            length=length,
            channels=channels,
            snapshot_nr=base + s,
            time=(100_000 + 50 * base + 10 * s, int(rng.integers(0, 65536)), 1),
            rate_code=int(rng.integers(0, 5)),
            waveform=_wave(rng, length),
        )
        if anomalies and s == 0:
            snap.samples_override = {1: 7}  # sample count does not add up: reported
        if anomalies and s == 1 and len(snap.packets()) > 1:
            snap.missing = (2,)
        snaps.append(snap)
    l0, records, reports, _ = snap_sim.snapshot_store(snaps, kind, is_sbm=sbm, rng=rng, shuffle=True)
    return l0, records, len(reports)


def histogram_case(product: Product, rng: np.random.Generator, anomalies: bool) -> tuple[dict, np.ndarray, int]:
    """One to three small histograms; with `anomalies` the first one's final chunk is lost."""
    hists = []
    for h in range(int(rng.integers(1, 4))):
        nx, ny = int(rng.integers(1, 12)), int(rng.integers(1, 12))
        hist = hist_sim.Histogram(
            nx=nx,
            ny=ny,
            chunk=int(rng.integers(5, 40)),
            time=(300_000 + 100 * h, 0, 1),
            rate_code=int(rng.integers(0, 5)),
            hist_id=h + 1,
        )
        hist.matrix(rng)
        cnt = len(hist.cut())
        if anomalies and h == 0 and cnt > 1:
            hist.order = tuple(range(1, cnt))  # final chunk lost: counts stay at fill
        hists.append(hist)
    l0, records = hist_sim.histmap_store(hists, rng=rng)
    return l0, records, 0


def lfm_case(product: Product, rng: np.random.Generator, anomalies: bool) -> tuple[dict, np.ndarray, int]:
    """One to four spectral-matrix or density packets, sent shuffled; with `anomalies` unknown
    matrix types and channel flags that are neither 0 nor 1."""
    matrices = product.packet == lfm_sim.SM_PACKET
    packets: list[Any] = []
    for i in range(int(rng.integers(1, 5))):
        time = (600_000 + 16 * i, int(rng.integers(0, 65536)), 1)
        nf = int(rng.integers(1, 30))
        if matrices:
            sm_type = int(rng.choice([1, 2, 3])) if anomalies else int(rng.choice([1, 2]))
            packets.append(lfm_sim.SpecMat(time=time, type=sm_type, nf=nf))
        else:
            channels = tuple(int(v) for v in rng.integers(0, 3 if anomalies else 2, 6))
            packets.append(lfm_sim.Spectra(time=time, channels=channels, nf=nf))
    if matrices:
        l0, records = lfm_sim.specmat_store(packets, rng=rng, shuffle=True)
    else:
        l0, records = lfm_sim.density_store(packets, rng=rng, shuffle=True)
    return l0, records, 0


def _thr_store(product, case):
    return l0_store({product.packet: case.group}), case.records, case.reports


def tnr_survey_case(product: Product, rng: np.random.Generator, anomalies: bool) -> tuple[dict, np.ndarray, int]:
    """One to three survey packets of up to two blocks; with `anomalies` one faulty packet."""
    n = int(rng.integers(1, 4))
    case = thr_random.random_tnr_survey(rng, n, SURVEY_MODE[product.packet], max_blocks=2, bad=1 if anomalies else 0)
    return _thr_store(product, case)


def tnr_calibration_case(product: Product, rng: np.random.Generator, anomalies: bool) -> tuple[dict, np.ndarray, int]:
    """One to three TNR calibration packets; with `anomalies` one faulty packet."""
    n = int(rng.integers(1, 4))
    return _thr_store(product, thr_random.random_tnr_calibration(rng, n, bad=1 if anomalies else 0))


def hfr_calibration_case(product: Product, rng: np.random.Generator, anomalies: bool) -> tuple[dict, np.ndarray, int]:
    """One to three HFR calibration packets of up to six steps; with `anomalies` one faulty."""
    n = int(rng.integers(1, 4))
    return _thr_store(product, thr_random.random_hfr_calibration(rng, n, bad=1 if anomalies else 0, max_steps=6))
