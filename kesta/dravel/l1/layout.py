"""One walk over a record layout: every leaf field with its path, name, element type and shape.

Nested records are followed and sub-array dimensions are kept, so whatever layout a decoder (or
a pipeline's richer `tnr_dtype()`) returns, every writer and reader sees the same leaves under
the same names: the field's path joined with ``_``, except the top-level ``epoch``, which is
the time axis ``Epoch``.
"""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass

import numpy as np
from numpy.typing import ArrayLike, DTypeLike

EPOCH_FIELD = "epoch"  # the records' time field, as the decoders' layouts name it
EPOCH = "Epoch"  # the L1 variable (and record dimension) it becomes
DAY_FILE_PREFIX = "zelk_l1_"  # of a product's logical source and of its day files' names


@dataclass(frozen=True)
class Leaf:
    path: tuple  # field names from the record down to the leaf
    name: str  # variable name
    dtype: np.dtype  # element type (no sub-array part)
    shape: tuple  # sub-array shape of one record ((), for a scalar field)

    @property
    def field(self) -> str:
        """The dotted path, as the decoders' layouts spell nested fields."""
        return ".".join(self.path)


def variable_name(path: Iterable[str]) -> str:
    path = tuple(path)
    if path == (EPOCH_FIELD,):
        return EPOCH
    return "_".join(path)


def leaves(dtype: DTypeLike) -> list[Leaf]:
    """The leaf fields of a record layout, in field order (nested sub-array shapes multiply out
    in front of the inner shape)."""
    out: list[Leaf] = []

    def walk(dt: np.dtype, path: tuple[str, ...], outer: tuple[int, ...]) -> None:
        base, shape = dt.subdtype if dt.subdtype is not None else (dt, ())
        shape = outer + tuple(shape)
        if base.names is None:
            out.append(Leaf(path, variable_name(path), np.dtype(base), shape))
            return
        for name in base.names:
            walk(base[name], path + (name,), shape)

    dtype = np.dtype(dtype)
    if dtype.names is None:
        raise TypeError(f"{dtype} is not a record layout")
    for name in dtype.names:
        walk(dtype[name], (name,), ())
    names = [leaf.name for leaf in out]
    clashes = sorted({n for n in names if names.count(n) > 1})
    if clashes:
        raise ValueError(f"fields {', '.join(clashes)} of the layout map to the same variable name")
    return out


def values(records: np.ndarray, leaf: Leaf) -> np.ndarray:
    """The values of one leaf over all records: shape (records,) + leaf.shape."""
    part = records
    for name in leaf.path:
        part = part[name]
    return np.asarray(part).reshape((len(records),) + leaf.shape)


def flatten(records: ArrayLike) -> dict[str, np.ndarray]:
    """{variable name: values} of every leaf of a record array."""
    records = np.asarray(records)
    return {leaf.name: values(records, leaf) for leaf in leaves(records.dtype)}
