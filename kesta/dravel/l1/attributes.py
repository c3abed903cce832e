"""The attributes of each L1 variable, from its product's table and its record layout.

What a table says wins; what it does not say comes from the layout (element type, shape), so
any leaf field gets valid attributes. Fill values come from the installed fill-value component.
"""

from __future__ import annotations

import datetime
import re
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from importlib.metadata import PackageNotFoundError, version
from typing import Any

import numpy as np
from numpy.typing import DTypeLike

from kesta.dravel.products import Product

from . import layout as _layout
from .dayrecords import is_day_layout
from .fill import fill_value
from .metadata import DAY_TABLES, DIMENSIONS, PROJECT, TABLES


def _name(product: str | Product) -> str:
    return product if isinstance(product, str) else product.name


def table(product: str | Product, dtype: DTypeLike | None = None) -> dict[str, Any]:
    """The metadata table of a product ({} for a product no table describes): of its day
    records when `dtype` is their layout (`dayrecords`), else of its decoder's records."""
    name = _name(product)
    base = TABLES.get(name, {})
    if dtype is None or name not in DAY_TABLES or not is_day_layout(name, dtype):
        return base
    day = DAY_TABLES[name]
    return {
        **base,
        **{k: v for k, v in day.items() if k != "variables"},
        "globals": {**base.get("globals", {}), **day.get("globals", {})},
        "variables": {**base.get("variables", {}), **day.get("variables", {})},
    }


@dataclass
class Variable:
    leaf: _layout.Leaf
    name: str
    catdesc: str
    units: str
    dims: list  # sub-array dimension names, one per axis of leaf.shape
    var_type: str  # ISTP VAR_TYPE: data, support_data or ignore_data
    display: object  # how it is drawn: time_series, spectrogram, image; None: not drawn
    scaletyp: str
    lablaxis: str
    fill: np.generic  # numpy scalar of the leaf's element type
    validmin: object
    validmax: object
    format: str
    described: bool  # False when only the layout speaks for it
    notes: str = ""  # ISTP VAR_NOTES: what a reader must know of its values
    extra: dict = field(default_factory=dict)


def _format(dtype: DTypeLike) -> str:
    dtype = np.dtype(dtype)
    if dtype.kind in "iu":
        return f"I{len(str(np.iinfo(dtype).min if dtype.kind == 'i' else np.iinfo(dtype).max))}"
    if dtype.kind == "f":
        return "E12.5" if dtype.itemsize <= 4 else "E18.10"
    return "A20"


def valid_range(dtype: Any, fill: Any) -> tuple[Any, Any]:
    """(VALIDMIN, VALIDMAX): the element type's range, without the fill value at its ends."""
    dtype = np.dtype(dtype)
    if dtype.kind in "iu":
        info: Any = np.iinfo(dtype)
        low: float
        high: float
        low, high = int(info.min), int(info.max)
        fill = int(fill)
        if fill == low:
            low += 1
        elif fill == high:
            high -= 1
        return dtype.type(low), dtype.type(high)
    info = np.finfo(dtype)
    low, high = -float(info.max), float(info.max)
    if np.isfinite(fill) and float(fill) < 0:
        low = float(fill) / 10 if float(fill) < -1 else low
    elif np.isfinite(fill) and float(fill) > 1:
        high = float(fill) / 10
    return dtype.type(low), dtype.type(high)


def variable(product: str | Product, leaf: _layout.Leaf, described_by: dict[str, Any] | None = None) -> Variable:
    """The Variable of a leaf field of `product`'s records (`described_by`: the product's table
    for their layout, default its decoder's)."""
    entry = (table(product) if described_by is None else described_by).get("variables", {}).get(leaf.name)
    described = entry is not None
    entry = entry or {}
    dims = list(entry.get("DIMS", []))
    if len(dims) != len(leaf.shape):
        dims = [f"{leaf.name}_dim{i + 1}" for i in range(len(leaf.shape))]
    fill = fill_value(leaf.dtype)
    validmin, validmax = valid_range(leaf.dtype, fill)
    if "VALIDMIN" in entry:
        validmin = leaf.dtype.type(entry["VALIDMIN"])
    if "VALIDMAX" in entry:
        validmax = leaf.dtype.type(entry["VALIDMAX"])
    # A table entry is support data unless it says otherwise; a field no table describes is data.
    var_type = entry.get("VAR_TYPE", "support_data" if described else "data")
    display = entry.get("DISPLAY") or ("time_series" if not leaf.shape or var_type == "data" else None)
    return Variable(
        leaf=leaf,
        name=leaf.name,
        catdesc=entry.get("CATDESC")
        or f"{leaf.field} ({leaf.dtype.name}" + (f", {' x '.join(map(str, leaf.shape))}" if leaf.shape else "") + ")",
        units=entry.get("UNITS", " "),
        dims=dims,
        var_type=var_type,
        display=display,
        scaletyp=entry.get("SCALETYP", "linear"),
        lablaxis=entry.get("LABLAXIS", leaf.name),
        fill=fill,
        validmin=validmin,
        validmax=validmax,
        format=_format(leaf.dtype),
        described=described,
        notes=entry.get("VAR_NOTES", ""),
    )


def variables(product: str | Product, dtype: DTypeLike) -> list[Variable]:
    """The Variables of every leaf of a record layout, in field order (a layout of day records
    described as such)."""
    described_by = table(product, dtype)
    return [variable(product, leaf, described_by) for leaf in _layout.leaves(dtype)]


def dimension(name: str, size: int) -> tuple[str, list[str] | None]:
    """(description, labels or None) of a sub-array dimension of `size` elements."""
    entry = DIMENSIONS.get(name, {})
    labels = entry.get("labels")
    if labels is not None and len(labels) != size:
        labels = None
    return entry.get("CATDESC") or f"Index along {name}", labels


def coordinate(product: str | Product, dim: str) -> str | None:
    """The variable holding the values along `dim`, per record, where the product has one."""
    return table(product).get("coordinates", {}).get(dim)


def coordinates(
    product: str | Product, variables: Sequence[Variable], dtype: DTypeLike | None = None
) -> dict[tuple[str, int], str]:
    """{(dimension, size): variable name} of the coordinates of `product` that its `variables` hold:
    a record field of one dimension along which other variables lie (the TNR survey
    frequencies)."""
    out = {}
    for dim, name in table(product, dtype).get("coordinates", {}).items():
        var = next((v for v in variables if v.name == name), None)
        if var is not None and var.dims == [dim]:
            out[(dim, var.leaf.shape[0])] = name
    return out


NAMES = "product_field"  # the rule of `stored_name`: a new rule, a new label (archives rewrite)


def stored_name(product: str, name: str) -> str:
    """The name under which the variable `name` (a record field's, as `layout` names it) of
    `product` is stored in its CDF files and served to their readers: `<product>_<name>`, but
    `Epoch`. Products share field names (`waveform_data`, `auto1`, `scet`...), and readers that
    keep one variable per name (pyspedas' tplot) would let one product's overwrite another's."""
    product = _name(product)
    return name if name == _layout.EPOCH else f"{product}_{name}"


def field_of(product: str, stored: str) -> str:
    """The variable name (as `layout` names it) of a CDF variable `stored` of `product`
    (the inverse of `stored_name`); a name without the product's prefix is given back as it is."""
    prefix = f"{_name(product)}_"
    return stored[len(prefix) :] if product and stored.startswith(prefix) else stored


def global_attributes(
    product: str | Product,
    parents: list[str] | None = None,
    data_version: str = "01",
    generated: str | None = None,
    software: str | None = None,
    mission: Mapping[str, str] | None = None,
    dtype: DTypeLike | None = None,
) -> dict[str, Any]:
    """The ISTP global attributes of a product's file (of records of layout `dtype`: its day
    records' or its decoder's); `mission`: the attributes an archive sets
    (its dravel-archive.toml), over the defaults."""
    name = _name(product)
    own = table(product, dtype).get("globals", {})
    descriptor = own.get("Descriptor", f"{name.upper()}>{name}")
    logical_source = _layout.DAY_FILE_PREFIX + name
    out: dict[str, Any] = dict(PROJECT)
    out.update(mission or {})
    out.update(
        {
            "Descriptor": descriptor,
            "Data_version": data_version,
            "Logical_source": logical_source,
            "Logical_source_description": own.get("Logical_source_description", f"{name}, level 1"),
            "TEXT": own.get("TEXT", f"Level 1 records of the {name} product."),
            "Generation_date": generated or datetime.datetime.now(datetime.timezone.utc).strftime("%Y%m%dT%H%M%SZ"),
            "Parents": parents or " ",
            "Software_version": software or software_version(),
        }
    )
    return out


# The release part of a version (its epoch, if any, and N.N...): what a build from the commits
# after a release's tag (0.2.0.post1.dev3, its version made from that tag) keeps of it.
_RELEASE = re.compile(r"(?:\d+!)?\d+(?:\.\d+)*")


def software_version() -> str:
    """The release of this package that is installed: its version without what a build between
    two releases adds (0.2.0 for 0.2.0.post1.dev3), so that the files such a build writes say,
    and hash, the release they come from."""
    try:
        installed = version("kesta-dravel")
    except PackageNotFoundError:  # run from a source tree that was never installed
        return "unknown"
    release = _RELEASE.match(installed)
    return release.group(0) if release else installed
