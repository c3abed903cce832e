"""What a product's datasets hold, known without opening a day file: the HAPI parameters and the
global attributes a day file of the product has, made by the same functions the day-file
writers use (the product's day-record layout, its metadata table, the mission's attributes).

Answering `catalog` or `info` thus costs no day file (a compressed CDF of a real-size day is
inflated whole at each open) and imports none of the readers: only the registry, the
metadata tables and NumPy.

A parameter is what the day-file reader (`dayfile`) finds in a file of that format: the data
and support-data variables under their stored names (`<product>_<field>` in a CDF, the field's
name in a netCDF file), in the file's order, with the element
type, shape, fill value, units and description the file holds. CDF has no unsigned 64-bit type
(a uint64 field is stored as CDF_INT8, its fill value as CDF_INT8's): its parameter is a double
of that fill value in a CDF archive, of the field's own in a netCDF one.
"""

from __future__ import annotations

import logging
import statistics
import threading
from collections.abc import Iterable, Mapping
from typing import Literal

from kesta.dravel.l1 import attributes as attrs
from kesta.dravel.l1.dayrecords import day_dtype
from kesta.dravel.l1.layout import EPOCH
from kesta.dravel.l1.writers import FORMATS, StoredVariable
from kesta.dravel.products import BY_NAME

from .archive import DayKind
from .dayfile import Description, parameters

log = logging.getLogger(__name__)

# The products measured all along (the TNR survey's sweeps, the LFM spectra), whose cadence is
# that of their records: the archive's median records per day make it (`cadence`). Snapshots,
# histograms and calibrations come when triggered or commanded: no cadence.
SURVEYS = ("tnr_normal", "tnr_burst", "lfm_sm", "lfm_psd")

# Where in its measurement a record's time is: a TNR survey record's Epoch is the middle of its
# (first) band's measurement; every other product's, when its measurement begins (a snapshot's
# first sample, a packet's acquisition time).
TimeStampLocation = Literal["begin", "center", "end"]
STAMPED: dict[str, TimeStampLocation] = {"tnr_normal": "center", "tnr_burst": "center"}


def cadence(product: str, day_records: Iterable[int | None]) -> str | None:
    """The ISO 8601 cadence of a survey product whose days hold `day_records` (records of each
    of its day files, from the state): a day over its median records, in whole seconds; None
    for the other products or without days of two records or more."""
    counts = [n for n in day_records if n and n > 1]
    if product not in SURVEYS or not counts:
        return None
    return f"PT{max(1, round(86400 / statistics.median(counts)))}S"


# Dataset titles, at most 40 characters and one per product (HAPI's `title`); the long text is
# the dataset's description. A product missing here is titled by its name.
TITLES = {
    "tnr_normal": "TNR survey spectra, normal mode",
    "tnr_burst": "TNR survey spectra, burst mode",
    "tnr_calibration": "TNR calibration records",
    "hfr_calibration": "HFR calibration records",
    "tswf": "TDS triggered snapshots",
    "tswf_sbm2": "TDS triggered snapshots, SBM2 mode",
    "rswf": "TDS regular snapshots",
    "rswf_sbm1": "TDS regular snapshots, SBM1 mode",
    "hist2d": "TDS 2-D histograms",
    "lfm_sm": "LFM spectral matrices",
    "lfm_psd": "LFM power spectral densities",
}


def title(product: str) -> str:
    return TITLES.get(product, product)[:40]


class Registry:
    """The Description of each product's datasets by day-file format (its name in FORMATS), made
    once; `mission`: the archive's mission attributes (`archive.mission.mission_attributes`)."""

    def __init__(self, mission: Mapping[str, str] | None = None) -> None:
        self.mission = dict(mission or {})
        self.lock = threading.Lock()
        self.known: dict[tuple[str, DayKind], Description | None] = {}

    def __call__(self, product: str, kind: DayKind = "cdf") -> Description | None:
        """The Description of `product`'s day files of format `kind`; None for a product the
        registry does not know, or whose layout is not installed here."""
        key = (product, kind)
        with self.lock:
            if key in self.known:
                return self.known[key]
        found: Description | None
        try:
            found = describe(product, kind, self.mission)
        except (LookupError, ImportError, AttributeError) as exc:
            log.warning("%s: not described by the registry (%s)", product, exc)
            found = None
        with self.lock:
            self.known[key] = found
        return found


def describe(product: str, kind: DayKind = "cdf", mission: Mapping[str, str] | None = None) -> Description:
    """The Description of `product`'s day files of format `kind` (its name in FORMATS)."""
    if product not in BY_NAME:
        raise LookupError(f"no product {product!r}")
    layout = day_dtype(product)
    form = FORMATS[kind]
    variables = form.stored_order(product, layout, attrs.variables(product, layout))
    coordinates = attrs.coordinates(product, variables)
    time = next((v for v in variables if v.name == EPOCH), None)
    if time is None:
        raise LookupError(f"{product}: no {EPOCH} in its records")
    stored: dict[str, StoredVariable] = {}
    for var in variables:
        if var.name == EPOCH:
            continue
        dtype, fill = form.stored_type(var.leaf.dtype, var.fill)
        name = form.stored_name(product, var.name)
        along = coordinates.get((var.dims[0], var.leaf.shape[0])) if len(var.dims) == 1 else None
        stored[name] = StoredVariable(
            name,
            dtype,
            tuple(var.leaf.shape),
            False,
            var.var_type,
            EPOCH,
            fill,
            var.units,
            var.catdesc,
            form.stored_name(product, along) if along else None,
        )
    globals_ = {k: str(v).strip() for k, v in attrs.global_attributes(product, mission=mission, dtype=layout).items()}
    return Description(EPOCH, time.catdesc.strip() or "Time", parameters(stored, EPOCH), globals_)
