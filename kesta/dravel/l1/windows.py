"""Windows of whole units: the packets of a product cut where its decoder cuts its units
(snapshots, histograms, packets), so that decoding window by window gives the records a
whole-file decode gives, with memory bounded by the window."""

from __future__ import annotations

from collections.abc import Generator
from typing import Any

import numpy as np

from kesta.dravel.products import Product

from .store import packets_on_file, source_data

# Records of one window are kept to about this many bytes (and so are its L0 packets); the
# first window of a product is small, and tells how big a unit's records are.
WINDOW_BYTES = 64 << 20
FIRST_WINDOW_UNITS = 8


class WindowError(Exception):
    """A product's packets could not be cut into windows of whole units."""


def unit_starts(f: Any, product: Product, packet_type: str) -> tuple[np.ndarray, np.ndarray] | None:
    """(order, starts): the packet order the decoder works in and where each unit starts in
    it; None when the product's own cut says its packets cannot be cut into units (the
    decoder then gets them whole and says what is wrong). A fault while cutting is an error
    of the product: decoding it whole would silently give up the bound on memory."""
    source = source_data(f, packet_type)  # a malformed input says so itself
    try:
        n = packets_on_file(f, packet_type)
        group = {name: source[name][()] for name in product.unit_params()}
        units = product.units(group, n)
    except Exception as exc:
        raise WindowError(f"its packets could not be cut into windows ({type(exc).__name__}: {exc})") from exc
    if units is None:
        return None
    order, unit = units
    order, unit = np.asarray(order, dtype=np.int64), np.asarray(unit)
    if order.shape != (n,) or unit.shape != (n,) or (n and np.any(np.diff(unit) < 0)):
        return None
    if n and (order.min() < 0 or order.max() >= n):
        return None
    starts = np.flatnonzero(np.r_[True, unit[1:] != unit[:-1]]) if n else np.zeros(0, np.int64)
    return order, starts


def _packet_bytes(f: Any, product: Product, packet_type: str) -> int:
    """Bytes a packet takes in a window: its L0 parameters and, on average, the intermediate
    records the decoder makes of it (a calibration packet's record is far bigger than its L1
    records, so windows sized by L1 records alone would hold them all)."""
    source = source_data(f, packet_type)
    l0 = sum(d.dtype.itemsize * int(np.prod(d.shape[1:], dtype=np.int64)) for d in source.values() if d.ndim > 0)
    try:
        n = packets_on_file(f, packet_type)
        group = {product.count_param: source[product.count_param][()]} if product.work_per == "count" else {}
        work = product.work_bytes(group, n) / max(1, n)
    except Exception as exc:
        raise WindowError(f"the size of its windows could not be told ({type(exc).__name__}: {exc})") from exc
    return l0 + work


def cut_windows(
    f: Any, product: Product, packet_type: str, window_bytes: int | None
) -> Generator[Any, int | None, None]:
    """Yields the packet rows (increasing) of each window of whole units, sized as the
    records of the previous ones tell; a single None when the product is decoded whole."""
    cut = unit_starts(f, product, packet_type) if window_bytes else None
    if cut is None or len(cut[1]) <= FIRST_WINDOW_UNITS:
        yield None
        return
    assert window_bytes is not None  # cut: the product is decoded in windows
    order, starts = cut
    bounds = np.r_[starts, len(order)]
    per_packet = max(1, _packet_bytes(f, product, packet_type))
    pos, size = 0, FIRST_WINDOW_UNITS
    while pos < len(starts):
        end = min(len(starts), pos + size)
        a, b = int(bounds[pos]), int(bounds[end])
        record_bytes = yield np.sort(order[a:b])
        # a window's packets, the decoder's work on them and its records are all held at once
        per_unit = (int(record_bytes or 0) + (b - a) * per_packet) / (end - pos)
        size = max(1, int(window_bytes // max(1.0, per_unit)))
        pos = end
