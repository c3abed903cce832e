"""L0 contents as a downlink delivers them: one file per UTC day.

Every day holds one copy of the packet groups (or a given number of copies, one after the other
over the day), each copy with its own snapshot numbers. Each
product's units (a snapshot's packets, a histogram's packets, a single packet) are spread over
its day: the unit starts are mapped linearly from their own span onto the day, from a few
minutes after midnight to some minutes before the next one, and every packet of a unit is
shifted by its unit's shift, so a unit keeps its packets' relative times. Only coarse times
move; fine times stay as they are.

File k holds the packets of day k, then the units of day k+1 that start within the first
minutes of that day (the file runs past midnight, as a downlink does): those units are in
files k and k+1, byte-identical. A unit is in the file of its first packet's time, whole.
"""

from __future__ import annotations

import datetime
import zlib
from typing import Any

import numpy as np

from kesta.dravel import products as registry
from kesta.dravel.l1.times import day_start

from .scale import packet_params, renumbered

DAY = 86_400  # seconds
LEAD = (0, 300)  # a day's first unit of a product starts this long after midnight
TAIL = 600  # its last unit starts this long before the next midnight
OVERLAP = (600, 1800)  # how far a file runs past its day's end


def midnight_coarse(day: datetime.date) -> int:
    """The coarse on-board time of 00:00 UTC of `day`, as the time service maps on-board
    times to UTC (ValueError when on-board times cannot express it)."""
    # lazy: the pipeline's component, bound when first used (the package imports without it)
    from quorel.time import Time

    target = day_start(day.strftime("%Y%m%d"))

    def to_tt2000(coarse):
        return int(Time().obt_to_utc(np.array([[coarse, 0]], np.int64), to_tt2000=True)[0])

    base = to_tt2000(0)
    coarse = -(-(target - base) // 1_000_000_000)  # the first whole second at or after it
    while coarse > 0 and to_tt2000(coarse - 1) >= target:
        coarse -= 1
    while to_tt2000(coarse) < target:
        coarse += 1
    if coarse < 0 or coarse + DAY > np.iinfo(np.uint32).max:
        raise ValueError(f"{day} cannot be expressed in on-board time")
    return coarse


def units_of(name: str, group: dict) -> np.ndarray:
    """For each packet of `group` (row order), the index of the unit it belongs to, as the
    product's decoder cuts them (one unit per packet when the product is not cut)."""
    time_param, _ = packet_params().get(name, ("", ""))
    n = (
        len(np.asarray(group[time_param]))
        if time_param in group
        else max((len(v) for v in group.values() if np.ndim(v) > 0), default=0)
    )
    product = next((p for p in registry.PRODUCTS if name in p.packets), None)
    cut = product.units(group, n) if product is not None and product.grouping and n else None
    if cut is None:
        return np.arange(n)
    order, unit = cut
    out = np.empty(n, dtype=np.int64)
    out[np.asarray(order)] = unit
    return out


def _placed(group, time_param, unit, midnight, length, lead, copies=1):
    """`group` repeated `copies` times (copy c's units after copy c - 1's, as if the group's own
    span, plus a second, separated them) with its units' coarse times mapped onto the day of
    `length` seconds starting at `midnight`; and each unit's new start (copy by copy)."""
    time = np.asarray(group[time_param])
    coarse = time[:, 0].astype(np.int64)
    units = int(unit.max()) + 1
    start = np.full(units, np.iinfo(np.int64).max)
    np.minimum.at(start, unit, coarse)
    low, high = int(start.min()), int(start.max())
    period = high - low + 1
    virtual = (start - low)[None, :] + period * np.arange(copies)[:, None]  # (copy, unit)
    top = period * copies - 1 if copies > 1 else high - low
    room = length - TAIL - lead
    new = midnight + lead + (virtual * room // top if top > 0 else 0 * virtual)
    new = _apart(virtual, new)
    shift = (new - start[None, :])[:, unit]  # (copy, packet)
    placed = np.concatenate([time] * copies)
    placed[:, 0] = (np.tile(coarse, copies) + shift.ravel()).astype(time.dtype)
    out = {param: np.concatenate([np.asarray(values)] * copies) for param, values in group.items()}
    out[time_param] = placed
    return out, new.ravel(), (unit[None, :] + units * np.arange(copies)[:, None]).ravel()


def _apart(virtual, new):
    """`new` with units that started at different times still starting at different seconds:
    mapping many copies onto one day can round two starts onto the same second, and two units
    measured at one instant are no telemetry a spacecraft sends. A start that would meet the
    one before is moved on to the next free second, in the units' order."""
    flat_virtual, flat_new = virtual.ravel(), new.ravel().copy()
    order = np.argsort(flat_virtual, kind="stable")
    v, t = flat_virtual[order], flat_new[order]
    distinct = np.concatenate([[0], np.cumsum(v[1:] != v[:-1])]) if len(v) else v
    flat_new[order] = np.maximum.accumulate(t - distinct) + distinct
    return flat_new.reshape(new.shape)


def day_files(groups: dict, midnights: list, rng: np.random.Generator, copies: int = 1) -> Any:
    """[{packet name: packet group}] as an iterator: the contents of one file per day, day k
    from the coarse time midnights[k] to midnights[k + 1] (one more midnight than days), each
    day `copies` times the groups spread over it, every copy with its own snapshot numbers;
    `rng` draws where each day's units begin and how far each file runs past its day's end.
    Only two days are in memory at a time."""
    if copies < 1:
        raise ValueError(f"copies must be at least 1, got {copies}")
    days = len(midnights) - 1
    params = packet_params()
    names = list(groups)
    leads = rng.integers(LEAD[0], LEAD[1], size=(days, len(names)), endpoint=True)
    overlaps = rng.integers(OVERLAP[0], OVERLAP[1], size=days, endpoint=True)
    prepared = {}
    for name in names:
        group = {param: np.asarray(values) for param, values in groups[name].items()}
        time_param, number_param = params.get(name, ("", ""))
        numbers = renumbered(group[number_param], days * copies, name) if number_param in group else None
        timed = time_param in group and len(group[time_param])
        prepared[name] = (group, time_param, number_param, numbers, units_of(name, group) if timed else None)

    def place(k):
        """{packet name: (day k's group, each packet's unit start or None)}."""
        out = {}
        for j, name in enumerate(names):
            group, time_param, number_param, numbers, unit = prepared[name]
            if unit is None:
                out[name] = (group, None)
                continue
            placed, start, units = _placed(
                group, time_param, unit, midnights[k], midnights[k + 1] - midnights[k], int(leads[k, j]), copies
            )
            if numbers is not None:
                placed[number_param] = np.concatenate(numbers[k * copies : (k + 1) * copies])
            out[name] = (placed, start[units])
        return out

    today = place(0) if days else None
    for k in range(days):
        following = place(k + 1) if k + 1 < days else None
        content = {}
        assert today is not None  # placed before the loop whenever it runs
        for name in names:
            own, _ = today[name]
            if following is not None and following[name][1] is not None:
                nxt, start = following[name]
                early = start < midnights[k + 1] + int(overlaps[k])
                content[name] = {param: np.concatenate([own[param], nxt[param][early]]) for param in own}
            else:
                content[name] = own
        yield content
        today = following


def days_rng(seed: int) -> np.random.Generator:
    """The generator of the day placement: its own stream of `seed`, apart from the packets'."""
    return np.random.default_rng([int(seed), zlib.crc32(b"days")])
