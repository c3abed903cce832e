"""Large L0 contents: the same packets repeated, each copy later in time, with its own unit
numbers, so that every snapshot, histogram and packet stays distinct."""

from __future__ import annotations

from typing import Any

import numpy as np
from numpy.typing import ArrayLike

from kesta.dravel import products as registry


def packet_params() -> Any:
    """{packet name: (time parameter, snapshot-number parameter or "")}."""
    out = {}
    for product in registry.PRODUCTS:
        numbered = product.unit_param if product.grouping == "count_swf" else ""
        for name in product.packets:
            out[name] = (product.time_param, numbered)
    return out


def repeat(groups: dict, copies: int) -> dict:
    """`groups` ({packet name: packet group}) repeated `copies` times: copy k has its coarse
    times shifted by k times the span of all times (plus one second), and its snapshot
    numbers by k times the largest number (plus one), in a wider type where needed."""
    if copies < 1:
        raise ValueError(f"copies must be at least 1, got {copies}")
    if copies == 1:
        return groups
    params = packet_params()
    coarse = [
        np.asarray(g[params[n][0]])[:, 0].astype(np.int64)
        for n, g in groups.items()
        if n in params and params[n][0] in g and len(g[params[n][0]])
    ]
    span = int(max(c.max() for c in coarse) - min(c.min() for c in coarse)) + 1 if coarse else 0
    out = {}
    for name, group in groups.items():
        time_param, number_param = params.get(name, ("", ""))
        copies_of = {param: [np.asarray(values)] * copies for param, values in group.items()}
        if time_param in group and span:
            time = np.asarray(group[time_param])
            if time.max(initial=0) + (copies - 1) * span > np.iinfo(np.uint32).max:
                raise ValueError(f"{copies} copies do not fit the on-board time of {name}")
            for k in range(1, copies):
                shifted = time.copy()
                shifted[:, 0] += np.uint32(k * span)
                copies_of[time_param][k] = shifted
        if number_param in group:
            copies_of[number_param] = renumbered(group[number_param], copies, name)
        out[name] = {param: np.concatenate(parts) for param, parts in copies_of.items()}
    return out


def renumbered(numbers: ArrayLike, copies: int, name: str = "") -> list:
    """`copies` copies of the snapshot numbers `numbers`, copy k's shifted by k times the
    largest number (plus one), in a wider type where needed."""
    numbers = np.asarray(numbers)
    step = int(numbers.max(initial=0)) + 1
    top = step * copies
    wide = numbers.dtype if top <= np.iinfo(numbers.dtype).max else np.dtype(np.uint32)
    if top > np.iinfo(np.uint32).max:
        raise ValueError(f"{copies} copies do not fit the snapshot numbers of {name}")
    return [(numbers.astype(wide) + wide.type(k * step)) for k in range(copies)]
