"""What a day file holds of a product's records: one record per time, fill where nothing was
measured.

The decoders' records are what the pipeline gets, and they stay as they are; a day file (CDF,
netCDF), and the HAPI server reading it, holds the product's *day records*, made from them:

- The THR products whose decoder makes several records of one measurement are regrouped into
  one day record per measurement, the members along dimensions of their variables:
  a TNR survey sweep (a block: its bands A to D, the four bands' 32 frequencies one after the
  other, 128 in all, so that a spectrogram is one picture over all bands), a TNR calibration
  packet (its bands x calibration levels x 8 bins) and an HFR calibration packet (its bands x
  calibration levels x frequency steps). A member that is not there (a band that was off, a
  step beyond the packet's count) holds fill values. A sweep's time is that of its first band;
  each band keeps its own in `band_epoch`.
- A spectral value the record's own flags say was not measured (its channel off, its auto or
  cross spectra off: the receiver then sends nothing and the decoder writes zeros) holds the
  variable's fill value.
- Two day records that would still share a time (two units the spacecraft stamped with the
  same instant) are kept both, the later one's Epoch moved on by 1 ns (its own on-board time
  and `scet` unchanged), so that Epoch strictly increases in every day file.

The regrouped products are small (a day of calibration packets or of TNR sweeps holds a few MB
at most), so a day of them is regrouped whole; every other product goes through a batch at a
time.
"""

from __future__ import annotations

import functools
import hashlib
import importlib
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.lib.recfunctions import repack_fields
from numpy.typing import ArrayLike, DTypeLike

from kesta.dravel.products import BY_NAME

from .fill import fill_value, filled_records
from .layout import EPOCH, EPOCH_FIELD
from .times import time_order, utc_days

# The rule by which day records are made: a day file made by another rule is written again.
RULES = "one-time-per-record-1"

BAND_EPOCH = "band_epoch"  # a TNR sweep's own time of each of its bands

# A value the flags of its own record say was not measured: (field, index) of each flag that
# must be on (non-zero) for it; a flag holding its fill value says nothing. Taken from a layout
# only where it has the fields.
CHANNEL, AUTO_CROSS = "channel_status", "auto_cross_status"
MEASURED_IF = {
    "agc1": ((CHANNEL, 0),),
    "agc2": ((CHANNEL, 1),),
    "auto1": ((CHANNEL, 0), (AUTO_CROSS, 0)),
    "auto2": ((CHANNEL, 1), (AUTO_CROSS, 0)),
    "cross_r": ((CHANNEL, 0), (CHANNEL, 1), (AUTO_CROSS, 1)),
    "cross_i": ((CHANNEL, 0), (CHANNEL, 1), (AUTO_CROSS, 1)),
}


@dataclass(frozen=True)
class Axis:
    """A dimension the members of one measurement lie along: `field` holds each member's index
    along it (None: the members' order of arrival, the HFR frequency steps); `size` members."""

    field: str | None
    size: int


@dataclass(frozen=True)
class Regrouping:
    """How a product's decoder records become one day record per measurement.

    `key`: the fields that tell its measurements apart; `axes`: the member dimensions;
    `members`: {field: indexes of the axes it lies along} for the fields that differ from member
    to member (the others, the measurement's own, are taken from its first member);
    `joined`: member fields whose own sub-array is laid out along the first axis, one member's
    after the other (the TNR bands' spectra); `bins`: member fields of which only the first
    `bins` elements are ever written (the calibration spectra in the survey's longer fields);
    `renamed`: {field: day-record name} of member fields renamed in the day record."""

    key: tuple
    axes: tuple
    members: dict
    joined: tuple = ()
    bins: int | None = None
    binned: tuple = ()
    renamed: tuple = ()
    dedupe_without: tuple = ()  # a measurement delivered twice differs in these fields only


def _work_layout(product: Any) -> Any:
    return np.dtype(product.work_layout.value())


@functools.lru_cache(maxsize=None)
def regrouping(name: str) -> Regrouping | None:
    """The Regrouping of the product `name`, or None for a product whose decoder makes one record
    per time. The sizes of the member dimensions come from the decoder's own block or packet
    layout."""
    product = BY_NAME.get(name)
    if product is None or product.receiver != "thr" or not product.work_layout:
        return None
    data = _work_layout(product)["data"]
    spectra = ("frequency", "auto1", "auto2", "cross_r", "cross_i")
    if product.carry == "blocks":  # TNR survey: one record per enabled band per block
        bands = len(data.names)
        per_band = (
            "epoch",
            "scet",
            "measurement_duration",
            "ticks_nr",
            "delta_time",
            "tnr_band",
            "agc1",
            "agc2",
        ) + spectra
        return Regrouping(
            key=("acquisition_time", "sweep_num"),
            axes=(Axis("tnr_band", bands),),
            members={f: (0,) for f in per_band},
            joined=spectra,
            renamed=(("epoch", BAND_EPOCH),),
            dedupe_without=("sweep_num",),
        )
    level = data[data.names[0]]
    if "ch1" in level.names:  # HFR calibration: band, level and step of a packet
        hfr_bands = level["ch1"].names
        steps = level["ch1"][hfr_bands[0]].shape[0]
        return Regrouping(
            key=("acquisition_time",),
            axes=(Axis("hfr_band", len(hfr_bands)), Axis("calibration_level", len(data.names)), Axis(None, steps)),
            members={
                "hfr_band": (0,),
                "calibration_level": (1,),
                "frequency": (0, 2),
                "agc1": (0, 1, 2),
                "agc2": (0, 1, 2),
            },
        )
    band = level[level.names[0]]  # TNR calibration: band and level of a packet
    return Regrouping(
        key=("acquisition_time",),
        axes=(Axis("tnr_band", len(level.names)), Axis("calibration_level", len(data.names))),
        members={
            "tnr_band": (0,),
            "calibration_level": (1,),
            "agc1": (0, 1),
            "agc2": (0, 1),
            **{f: (0, 1) for f in spectra[1:]},
        },
        bins=band["ch1"]["autos"].shape[0],
        binned=spectra[1:],
    )


def _fields(dtype: np.dtype) -> list[tuple[str, np.dtype, tuple[int, ...]]]:
    """[(name, base type, shape)] of the top-level fields of a record layout (a nested record's
    base type is its layout)."""
    out = []
    fields: Any = dtype.fields or {}
    for name in dtype.names or ():
        sub = fields[name][0]
        base, shape = sub.subdtype if sub.subdtype is not None else (sub, ())
        out.append((name, base, tuple(shape)))
    return out


def day_dtype(product: str, dtype: DTypeLike | None = None) -> np.dtype:
    """The layout of `product`'s day records, made from decoder records of layout `dtype`
    (default: the product's own record layout)."""
    if dtype is None:
        dtype = BY_NAME[product].record_dtype()
    dtype = np.dtype(dtype)
    rule = regrouping(product)
    if rule is None:
        return dtype
    return _regrouped_dtype(rule, dtype)


def _member_shape(rule: Regrouping, name: str, shape: tuple[int, ...]) -> tuple[int, ...]:
    axes = tuple(rule.axes[i].size for i in rule.members[name])
    if name in rule.joined:
        return (axes[0] * int(np.prod(shape)),) + axes[1:] if shape else axes
    if name in rule.binned and rule.bins is not None and shape:
        shape = (min(rule.bins, shape[0]),) + shape[1:]
    return axes + shape


def _measured_type(name: str, base: np.dtype) -> np.dtype:
    """The element type of a day record's field of decoder type `base`: a raw value that may be
    at fill for want of a measurement is held as a float (every 16-bit count exactly), so that
    readers mask it as they mask a float's fill value (NaN: nothing drawn) where they leave an
    unsigned integer's fill value as it is (drawn as a count of 65535)."""
    if name in MEASURED_IF and base.kind in "iu":
        return np.dtype(np.float32 if base.itemsize <= 2 else np.float64)
    return base


def _regrouped_dtype(rule: Regrouping, dtype: np.dtype) -> np.dtype:
    out: list[Any] = []
    renamed = dict(rule.renamed)
    for name, base, shape in _fields(dtype):
        if name in rule.members:
            member = (renamed.get(name, name), _measured_type(name, base), _member_shape(rule, name, shape))
            if name == EPOCH_FIELD:  # the measurement's time, and each member's own
                out.append((name, base))
            out.append(member)
        else:
            out.append((name, base, shape) if shape else (name, base))
    return np.dtype(out)


def is_day_layout(product: str, dtype: Any) -> bool:
    """Whether `dtype` is the layout of `product`'s regrouped day records (not its decoder's)."""
    rule = regrouping(product)
    if rule is None or dtype is None or np.dtype(dtype).names is None:
        return False
    axis_field = next(a.field for a in rule.axes if a.field)
    dtype = np.dtype(dtype)
    return axis_field in dtype.names and dtype[axis_field].shape != ()


def day_hash(product: str, records_hash: str) -> str:
    """What a day file is compared against: the hash of its day's decoder records, the rule
    making its day records and the software version."""
    # lazy: attributes imports this module (it tells day layouts from decoder layouts): a cycle
    from .attributes import software_version

    text = f"{records_hash}|{RULES}|{product}|{software_version()}"
    return hashlib.sha256(text.encode()).hexdigest()


# --------------------------------------------------------------------------------------------
# Making day records


def mask_unmeasured(records: np.ndarray, copy: bool = True) -> np.ndarray:
    """A copy of `records` with each value its own flags say was not measured at its fill value
    (without `copy`: `records` themselves when none is to be masked)."""
    names = records.dtype.names or ()
    masked = None
    for name, flags in MEASURED_IF.items():
        if name not in names:
            continue
        usable = [(f, i) for f, i in flags if f in names and records.dtype[f].shape and i < records.dtype[f].shape[0]]
        if not usable:
            continue
        off = np.zeros(len(records), bool)
        for f, i in usable:
            off |= records[f][:, i] == 0
        if off.any():
            if masked is None:
                masked = np.array(records, copy=True)
            masked[name][off] = fill_value(records.dtype[name].base)
    if masked is None:
        return np.array(records, copy=True) if copy else records
    return masked


def _ranks(keys: np.ndarray) -> np.ndarray:
    """The rank of each element among the elements of equal key before it (in order)."""
    n = len(keys)
    if not n:
        return np.zeros(0, np.int64)
    order = np.argsort(keys, kind="stable")
    ordered = keys[order]
    starts = np.r_[True, ordered[1:] != ordered[:-1]]
    position = np.arange(n)
    first = np.maximum.accumulate(np.where(starts, position, 0))
    out = np.empty(n, np.int64)
    out[order] = position - first
    return out


def _key_ids(records: np.ndarray, fields: Sequence[str]) -> np.ndarray:
    """An id per record of the values of its `fields` (equal values, equal ids)."""
    if not len(records):
        return np.zeros(0, np.int64)
    part = (
        repack_fields(np.ascontiguousarray(records)[list(fields)])
        if len(fields) > 1
        else np.ascontiguousarray(records[fields[0]])
    )
    raw = part.view(np.uint8).reshape(len(records), -1)
    _, ids = np.unique(raw, axis=0, return_inverse=True)
    return ids.reshape(-1).astype(np.int64)


def _drop_redelivered(records: np.ndarray, fields: Sequence[str]) -> np.ndarray:
    """`records` without those equal to an earlier one but for `fields`."""
    if not fields or len(records) < 2:
        return records
    probe = np.array(records, copy=True)
    for name in fields:
        probe[name] = 0
    raw = np.ascontiguousarray(probe).view(np.uint8).reshape(len(probe), -1)
    _, first = np.unique(raw, axis=0, return_index=True)
    if len(first) == len(records):
        return records
    return records[np.sort(first)]


def regroup(product: str, records: np.ndarray, rule: Regrouping | None = None) -> np.ndarray:
    """The day records of `product` made from its decoder `records` (one day of them, in stable
    time order, all with a UTC time); for a product whose decoder makes one record per time,
    the records themselves. Values not measured are at fill (`mask_unmeasured`)."""
    rule = rule or regrouping(product)
    if rule is None:
        return mask_unmeasured(records)
    records = mask_unmeasured(records, copy=False)  # read only from here on
    dtype = _regrouped_dtype(rule, records.dtype)
    records = _drop_redelivered(records, rule.dedupe_without)
    n = len(records)
    unit = _key_ids(records, rule.key)
    coords: list[Any] = []
    keep = np.ones(n, bool)
    instance = np.zeros(n, np.int64)
    for axis in rule.axes:
        if axis.field is None:  # the order of arrival within its unit and the axes before
            combined = unit.copy()
            for c, a in zip(coords, rule.axes):
                combined = combined * a.size + c
            rank = _ranks(combined)
            instance = rank // axis.size
            coords.append(rank % axis.size)
        else:
            c = records[axis.field].astype(np.int64)
            keep &= (c >= 0) & (c < axis.size)
            coords.append(np.clip(c, 0, axis.size - 1))
    slot = np.zeros(n, np.int64)
    for c, a in zip(coords, rule.axes):
        slot = slot * a.size + c
    if rule.axes[-1].field is not None:
        # a member met twice in one unit starts another measurement of the same key (members
        # in order of arrival already did, past the axis' size)
        instance = _ranks(unit * int(np.prod([a.size for a in rule.axes])) + slot)
    if not keep.all():
        records, unit, instance = records[keep], unit[keep], instance[keep]
        coords = [c[keep] for c in coords]
        n = len(records)
    if not n:
        return np.zeros(0, dtype)
    group_key = unit * (int(instance.max()) + 1) + instance
    first_of, gid = np.unique(group_key, return_index=True, return_inverse=True)[1:]
    gid = gid.reshape(-1)
    # measurements in the order of their first member, which is in time order
    order = np.argsort(first_of, kind="stable")
    rank_of = np.empty_like(order)
    rank_of[order] = np.arange(len(order))
    gid = rank_of[gid]
    first = first_of[order]
    out = filled_records(len(first), dtype)
    renamed = dict(rule.renamed)
    for name, base, shape in _fields(records.dtype):
        values = records[name]
        if name not in rule.members:
            out[name] = values[first]
            continue
        held = out.dtype[renamed.get(name, name)].base
        if held != base:  # an integer at fill becomes the float's fill
            at_fill = values == fill_value(base)
            values = values.astype(held)
            values[at_fill] = fill_value(held)
        if name == EPOCH_FIELD:
            out[name] = values[first]
        target = out[renamed.get(name, name)]
        axes = rule.members[name]
        index = (gid,) + tuple(coords[i] for i in axes)
        if name in rule.joined and shape:
            size = rule.axes[axes[0]].size
            view = target.reshape((len(out), size) + shape)
            view[index] = values
        elif name in rule.binned and rule.bins is not None and shape:
            target[index] = values[:, : target.shape[-1]]
        else:
            target[index] = values
    _complete_frequencies(product, rule, out)
    return out


def _complete_frequencies(product: str, rule: Regrouping, out: np.ndarray) -> None:
    """The TNR survey's frequencies of the bands a sweep lacks, from the decoder's own table of
    band frequencies, so that every sweep has the frequency axis of a spectrogram."""
    if "frequency" not in rule.joined or "frequency" not in (out.dtype.names or ()):
        return
    table = _band_frequencies(product)
    if table is None or table.shape != out.dtype["frequency"].shape:
        return
    values = out["frequency"]
    missing = values == fill_value(out.dtype["frequency"].base)
    values[missing] = np.broadcast_to(table, values.shape)[missing]


@functools.lru_cache(maxsize=None)
def _band_frequencies(product: str) -> np.ndarray | None:
    try:
        module = importlib.import_module(BY_NAME[product].module)
        table = module.TNR_BAND_FREQUENCY
        return np.concatenate([np.asarray(table[k], np.float32) for k in sorted(table)])
    except (ImportError, AttributeError, KeyError, TypeError, ValueError):
        return None


def _lowest_epochs(epoch: np.ndarray, last: int | None) -> tuple[np.ndarray, int]:
    """(the Epochs moved on as `strictly_increasing` moves them, how many moved)."""
    epoch = epoch.astype(np.int64)
    start = np.iinfo(np.int64).min if last is None else int(last) + 1
    steps = np.arange(len(epoch), dtype=np.int64)
    lowest = np.maximum(np.maximum.accumulate(epoch - steps), start) + steps
    return lowest, int(np.count_nonzero(lowest != epoch))


def strictly_increasing(records: np.ndarray, last: int | None = None) -> int:
    """`records` (in time order) with each Epoch equal to or before the one before it moved on
    to 1 ns after it (`last`: the Epoch of the record before the first), in place; returns how
    many were moved."""
    if not len(records):
        return 0
    lowest, moved = _lowest_epochs(records[EPOCH_FIELD], last)
    if moved:
        records[EPOCH_FIELD] = lowest.astype(records.dtype[EPOCH_FIELD])
    return moved


def day_batches(product: str, batches: Iterable[np.ndarray]) -> Iterator[np.ndarray]:
    """The day records of `product` made from `batches` of its decoder records of one UTC day
    (in stable time order), a batch at a time."""
    rule = regrouping(product)
    if rule is not None:
        parts = list(batches)
        if not parts:
            return
        records = regroup(product, np.concatenate(parts), rule)
        strictly_increasing(records)
        yield records
        return
    last = None
    for batch in batches:
        # the batch itself when nothing in it changes: a copy only of one that does
        records = mask_unmeasured(batch, copy=False)
        if len(records):
            lowest, moved = _lowest_epochs(records[EPOCH_FIELD], last)
            if moved:
                if records is batch:
                    records = np.array(batch, copy=True)
                records[EPOCH_FIELD] = lowest.astype(records.dtype[EPOCH_FIELD])
            last = int(records[EPOCH_FIELD][-1])
        yield records


def day_records(product: str, records: ArrayLike) -> np.ndarray:
    """The day records of `product` made from its decoder `records` of one UTC day (any order),
    all at once."""
    records = np.asarray(records)
    ordered = records[time_order(records[EPOCH_FIELD])]
    parts = list(day_batches(product, [ordered]))
    return np.concatenate(parts) if parts else np.zeros(0, day_dtype(product, records.dtype))


def daily_records(product: str, records: ArrayLike) -> np.ndarray:
    """The day records of `product` that its decoder `records` (any order, any days) make, day
    file after day file: each UTC day's made apart, records without a UTC time left out (as
    the day files hold them, one after the other)."""
    records = np.asarray(records)
    ordered = records[time_order(records[EPOCH_FIELD])]
    parts = []
    for date, start, stop in utc_days(ordered[EPOCH_FIELD]):
        if date is not None:
            parts += list(day_batches(product, [ordered[start:stop]]))
    return np.concatenate(parts) if parts else np.zeros(0, day_dtype(product, records.dtype))


def decoder_columns(product: str, columns: dict[str, np.ndarray]) -> dict[str, np.ndarray]:
    """{variable: values} of decoder records made back from the {variable: values} of a day
    file's day records (a quick-look plot draws decoder records): one record per member that is
    there, the measurement's own values repeated, fill where the day file holds fill."""
    rule = regrouping(product)
    if rule is None or not columns:
        return columns
    renamed = dict(rule.renamed)

    def day_name(field: str) -> str:
        return EPOCH if field == EPOCH_FIELD else renamed.get(field, field)

    sizes = tuple(a.size for a in rule.axes)
    n = len(next(iter(columns.values())))
    index_fields = [a.field for a in rule.axes if a.field]
    if any(np.shape(columns.get(f, ()))[1:] != (sizes[rule.members[f][0]],) for f in index_fields):
        return columns  # not day records of today's layout (a file of an older version)
    here = np.ones((n,) + sizes, bool)

    def along(field: str, values: ArrayLike) -> tuple[np.ndarray, tuple[int, ...]]:
        """`values` of a member field with one axis per member dimension, then its own."""
        axes = rule.members[field]
        values = np.asarray(values)
        if field in rule.joined:
            values = values.reshape((n, sizes[axes[0]], -1) + values.shape[2:])
        return values, axes

    # the members there: those whose index along each dimension is there (a dimension without
    # an index field: where the first member field along it that is never masked is there)
    for k, axis in enumerate(rule.axes):
        field = axis.field or next(
            (f for f, axes in rule.members.items() if k in axes and f not in MEASURED_IF and day_name(f) in columns),
            None,
        )
        if field is None or day_name(field) not in columns:
            continue
        values, axes = along(field, columns[day_name(field)])
        there = values != fill_value(values.dtype)
        there = there.reshape(there.shape[: 1 + len(axes)] + (-1,)).any(axis=-1)
        shape = [n] + [1] * len(sizes)
        for a in axes:
            shape[1 + a] = sizes[a]
        here &= there.reshape(shape)
    at = np.nonzero(here)
    rec, member = at[0], at[1:]
    layout = _decoder_layout(product)
    out = {}
    for field in rule.members:
        name = day_name(field)
        if name not in columns or (field == EPOCH_FIELD and BAND_EPOCH not in renamed.values()):
            continue
        values, axes = along(field, columns[name] if field != EPOCH_FIELD else columns[BAND_EPOCH])
        values = values[(rec,) + tuple(member[a] for a in axes)]
        known = layout is not None and field in (layout.names or ())
        width = layout[field].shape if layout is not None and known else None
        own = layout[field].base if layout is not None and known else values.dtype
        if own != values.dtype and own.kind in "iu" and values.dtype.kind == "f":  # held as a float
            at_fill = (values == fill_value(values.dtype)) | ~np.isfinite(values)
            values = np.where(at_fill, 0, values).astype(own)
            values[at_fill] = fill_value(own)
        if width and values.ndim == 2 and values.shape[1] < width[0]:  # bins the day file leaves out
            padded = np.full((len(values),) + width, fill_value(values.dtype), values.dtype)
            padded[:, : values.shape[1]] = values
            values = padded
        out[EPOCH if field == EPOCH_FIELD else field] = values
    for name, values in columns.items():
        if name not in out and name != BAND_EPOCH and name not in (day_name(f) for f in rule.members):
            out[name] = np.asarray(values)[rec]
    if EPOCH in columns and EPOCH not in out:
        out[EPOCH] = np.asarray(columns[EPOCH])[rec]
    return out


@functools.lru_cache(maxsize=None)
def _decoder_layout(product: str) -> np.dtype | None:
    try:
        return BY_NAME[product].record_dtype()
    except (LookupError, ImportError, AttributeError):
        return None
