"""The eight products, each declared once: which decoder makes each, from which packet type, how
it is called and cut into windows, and the Python that goes with it (its L1 metadata table,
quick-look plot, L0 simulator and test case). Everything else reads this table: the metadata
tables and plots of l1, the simulator, the hardening cases and the fuzzer.

THR decoders are handed one packet group; TDS decoders the whole L0 store. The THR packet
type names below are this project's own and are written down here only.

This module is below every other one of the package: it imports nothing from l1, the archive or
the command line (what it names there, it names by module and attribute).
"""

from __future__ import annotations

import importlib
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass
from enum import StrEnum
from typing import Any

import numpy as np

from kesta.dravel.tasks.tds import utils as tds_utils
from kesta.dravel.tasks.utils import sort_data


class Receiver(StrEnum):
    """What a decoder is handed."""

    THR = "thr"  # its packet group
    TDS = "tds"  # the whole L0 store


class Reported(StrEnum):
    """What becomes of a unit the decoder reports (not to be confused with a product's status)."""

    SKIPPED = "skipped"  # a reported unit gives no record
    KEPT = "kept with fill data"  # a reported unit keeps its record, data part at fill values


UNIT_SKIPPED = Reported.SKIPPED
UNIT_KEPT = Reported.KEPT


class Order(StrEnum):
    """How the decoder orders the packets before regrouping them."""

    L0 = ""  # as the L0 store has them
    TIME = "time"
    SNAPSHOT = "snapshot"  # time, then snapshot number


class Grouping(StrEnum):
    """How the decoder regroups the ordered packets into units."""

    WHOLE = ""  # not to be cut: the product is decoded whole
    PACKET = "packet"  # one unit each
    COUNT_SWF = "count_swf"  # the TDS helpers' function of that name, of `unit_param`
    GROUP = "group"  # the TDS helpers' function of that name, of `unit_param`


class Carry(StrEnum):
    """What a window's records take over from the windows before it (`Product.carry_over`)."""

    NOTHING = ""
    # the TNR survey numbers the blocks it stores in `sweep_num` from the start of its group, so
    # a window's numbers go on from the blocks stored for the windows before it (`stored_blocks`)
    BLOCKS = "blocks"


class WorkPer(StrEnum):
    """How many intermediate records the decoder holds through a call."""

    PACKET = "packet"  # one per packet
    COUNT = "count"  # as many as `count_param` declares: the TNR survey's blocks


# Where the parts of a product named by attribute live (above this module: named, never imported
# here; tests/test_layers.py reads them from `named_modules`).
METADATA_MODULE = "kesta.dravel.l1.metadata"  # its `metadata` table
PLOTS_MODULE = "kesta.dravel.l1.quicklook.plots"  # its `plot` function
SIMULATE_PACKAGE = "kesta.dravel.simulate"  # its `simulator` module and `case`
CASES_MODULE = f"{SIMULATE_PACKAGE}.cases"


class ListTask:
    """A pipeline task that keeps what the decoders report."""

    def __init__(self) -> None:
        self.reports: list[Any] = []

    def exception(self, message: Any) -> None:
        self.reports.append(message)


def _attribute(reference: Reference | str) -> Any:
    """The object `reference` ("module:name", or a Reference, called or not) names."""
    module, name = str(reference).removesuffix("()").split(":")
    return getattr(importlib.import_module(module), name)


@dataclass(frozen=True)
class Reference:
    """An object of another module, by module path and attribute name, looked up only when
    asked for: written "module:NAME" (a constant) or "module:name()" (a function giving the
    value when called)."""

    module: str
    name: str
    called: bool = False

    @classmethod
    def parse(cls, text: str) -> Reference:
        module, name = text.split(":")
        return cls(module, name.removesuffix("()"), name.endswith("()"))

    def __str__(self) -> str:
        return f"{self.module}:{self.name}{'()' if self.called else ''}"

    def value(self) -> Any:
        """What it names: the constant, or what the function returns."""
        target = _attribute(self)
        return target() if self.called else target


def _reference(value: Reference | str | None) -> Reference | None:
    if isinstance(value, str):
        return Reference.parse(value) if value else None
    return value


def declared(part: str, namespace: Mapping[str, Any], products: Iterable[Product] | None = None) -> dict[str, Any]:
    """{product name: object} of every product's `part` ("metadata" or "plot"), the objects
    looked up by name in `namespace` (the module that defines them, while it is imported)."""
    out = {}
    for p in PRODUCTS if products is None else products:
        name = getattr(p, part)
        if name not in namespace:
            raise LookupError(
                f"product {p.name}: its {part} {name!r} is not defined in {namespace.get('__name__', 'its module')}"
            )
        out[p.name] = namespace[name]
    return out


@dataclass(frozen=True)
class Product:
    """A product's entry. The choices may be given as their text (`receiver="thr"`,
    `layout="module:name()"`): they are turned into their enums and references on creation."""

    name: str  # product name used on the command line and in L1 files
    module: str  # decoder module path
    entry: str  # entry point
    packets: tuple[str, ...]  # packet types the product is decoded from
    receiver: Receiver  # handed a packet group (THR) or the L0 store (TDS)
    kwargs: tuple[tuple[str, Any], ...] = ()  # extra keyword arguments, as (name, value) pairs
    # Its parts in Python, by name (every product has each; tests/test_products.py checks):
    # the table of its L1 variables in METADATA_MODULE; its quick-look plot in PLOTS_MODULE,
    # plot(data, path) -> [PNG paths]; the module of SIMULATE_PACKAGE whose
    # demo_groups(rng, anomalies) makes its packets; the function of CASES_MODULE
    # making its small random case, function(product, rng, anomalies) -> (L0 store, expected
    # records, number of reported units); and the short name of its decoder on the fuzzer's
    # command line (products of one decoder share it).
    metadata: str = ""
    plot: str = ""
    simulator: str = ""
    case: str = ""
    short: str = ""
    unit: str = "packet"  # what the decoder reports and skips, or keeps, on its own
    reported: Reported = Reported.SKIPPED  # what becomes of a reported unit's record
    # How the decoder orders the packets before regrouping them, and how it regroups them into
    # units (Grouping.GROUP and COUNT_SWF regroup by `unit_param`).
    order: Order = Order.L0
    grouping: Grouping = Grouping.WHOLE
    unit_param: str = ""
    # What a window's records take over from the windows before it, so that windows give the
    # records of a whole decode (`carry_over`).
    carry: Carry = Carry.NOTHING
    # The decoder's own intermediate records, held through each call besides the L1 records:
    # their layout (None when none) and how many there are.
    work_layout: Reference | None = None
    work_per: WorkPer = WorkPer.PACKET
    # Where the L1 record layout comes from: a layout constant of the decoder, or a layout
    # operation of the pipeline's helpers (a called reference).
    layout: Reference | None = None
    # Parameters the decoder reads, by role ("" when the product has none): the packets' data
    # words or blocks; the per-packet count a THR walk starts from (survey: blocks, calibration:
    # data words); the sampling-rate code; the number of frequencies.
    data_param: str = ""
    count_param: str = ""
    rate_param: str = ""
    frequencies_param: str = ""

    def __post_init__(self) -> None:
        choices = {
            "receiver": Receiver(self.receiver),
            "reported": Reported(self.reported),
            "order": Order(self.order),
            "grouping": Grouping(self.grouping),
            "carry": Carry(self.carry),
            "work_per": WorkPer(self.work_per),
            "work_layout": _reference(self.work_layout),
            "layout": _reference(self.layout),
        }
        for field, value in choices.items():
            object.__setattr__(self, field, value)

    @property
    def packet(self) -> str:
        """The packet type the product is decoded from."""
        return self.packets[0]

    def packet_group(self, l0: Any) -> Any:
        """The product's packet group (its parameters by name) in the L0 store `l0`."""
        return l0["TM"][self.packet]["source_data"]

    @property
    def takes_group(self) -> bool:
        """True when the decoder is handed its packet group (THR), not the whole L0 store (TDS)."""
        return self.receiver == Receiver.THR

    def decoder_input(self, l0: Any) -> Any:
        """What the decoder is handed: the L0 store itself, or its packet group (`takes_group`)."""
        return self.packet_group(l0) if self.takes_group else l0

    def decoder(self) -> Callable[..., Any]:
        return getattr(importlib.import_module(self.module), self.entry)

    def call(self, argument: Any, task: Any) -> Any:
        """Runs the decoder on `argument` as it is (an L0 store, or a THR packet group)."""
        return self.decoder()(argument, task, **dict(self.kwargs))

    def decode(self, l0: Any, task: Any) -> Any:
        """Runs the decoder on the L0 store `l0` (a THR decoder gets its packet group)."""
        return self.call(self.decoder_input(l0), task)

    def simulated_case(self, rng: np.random.Generator, anomalies: bool = False) -> tuple[Any, np.ndarray, int]:
        """(L0 store, expected records, reports): a small random store of this product from its
        simulator; with `anomalies`, units the decoder reports (and skips or keeps at fill)."""
        return _attribute(f"{CASES_MODULE}:{self.case}")(self, rng, anomalies)

    @property
    def simulator_module(self) -> str:
        """The module path of its simulator."""
        return f"{SIMULATE_PACKAGE}.{self.simulator}"

    def metadata_table(self) -> dict[str, Any]:
        return _attribute(f"{METADATA_MODULE}:{self.metadata}")

    def quicklook_plot(self) -> Callable[..., Any]:
        return _attribute(f"{PLOTS_MODULE}:{self.plot}")

    @property
    def decoder_name(self) -> str:
        """The decoder module's own name (survey_lowband, ...)."""
        return self.module.rsplit(".", 1)[1]

    def record_dtype(self) -> np.dtype:
        """The L1 record layout the installed decoder (or helper module) gives: LookupError when
        the product declares none, ImportError or AttributeError when it is not installed."""
        if not self.layout:
            raise LookupError(f"product {self.name}: no record layout declared")
        return np.dtype(self.layout.value())

    def work_bytes(self, group: Mapping[str, Any], n: int) -> int:
        """Bytes of the intermediate records the decoder builds for the `n` packets of `group`
        (which holds `count_param` when they are counted per block)."""
        if not self.work_layout:
            return 0
        itemsize = np.dtype(self.work_layout.value()).itemsize
        if self.work_per == WorkPer.COUNT:
            n = int(np.asarray(group[self.count_param]).astype(np.uint64).sum(dtype=np.uint64))
        return itemsize * n

    @property
    def time_param(self) -> str:
        return "PA_THR_ACQUISITION_TIME" if self.receiver == Receiver.THR else "PA_TDS_ACQUISITION_TIME"

    def unit_params(self) -> list[str]:
        """The parameters `units` reads."""
        names = [self.time_param] if self.order else []
        return names + ([self.unit_param] if self.unit_param else [])

    def units(self, group: Mapping[str, Any], n: int) -> tuple[np.ndarray, np.ndarray] | None:
        """(order, unit): the packet order the decoder works in, and for each packet in that
        order the index of the unit (snapshot, histogram, packet) it belongs to, non-decreasing.

        `group` holds the parameters of `unit_params` for the `n` packets; the decoder's own
        components (sort_data, count_swf, group) decide, so units are cut exactly where the
        decoder cuts them. None when the product is decoded whole."""
        if not self.grouping:
            return None
        if not self.order:
            return np.arange(n), np.arange(n)
        time = np.asarray(group[self.time_param])
        keys: tuple[np.ndarray, ...] = (time[:, 1], time[:, 0])
        if self.order == Order.SNAPSHOT:
            keys = (np.asarray(group[self.unit_param]),) + keys
        order = np.asarray(sort_data({"order": np.arange(len(time))}, keys)[0]["order"])
        if self.grouping == Grouping.PACKET:
            return order, np.arange(len(order))
        numbers = np.asarray(group[self.unit_param])[order]
        unit = np.asarray(getattr(tds_utils, self.grouping)(numbers)[0]).astype(np.int64)
        return order, unit

    def carry_over(
        self, group: Mapping[str, Any], records: Any, reports: list[Any], before: np.uint64 | None = None
    ) -> tuple[Any, np.uint64 | None]:
        """(records, after): the records the decoder gave for the packet group `group` of one
        window (with the reports `reports`), numbered as a decode of every window at once
        numbers them, and what carries over to the next window. `before` is what the previous
        window carried over (None for the first); `records` may be changed in place."""
        if self.carry != Carry.BLOCKS:
            return records, before
        # The band flags the helpers decode are one bit wide, so every counted record is
        # written: no record at fill values waits at the end of a window for a later one.
        blocks = np.uint64(0) if before is None else before
        if blocks and len(records):
            # the decoder stores each block's row index (unsigned 64-bit) into sweep_num with
            # NumPy's conversion; adding in unsigned 64-bit wraps the same way
            records["sweep_num"] = records["sweep_num"].astype(np.uint64) + blocks
        return records, blocks + self.stored_blocks(group, reports)

    def stored_blocks(self, group: Mapping[str, Any], reports: list[Any]) -> np.uint64:
        """How many blocks the TNR survey decoder stores for the packets of `group`: every block
        a packet declares, unless the packet's walk fails (a report other than the size check,
        which comes after the walk), when the blocks before the failure stay stored and the walk
        goes on at the next row. Then each packet is decoded again alone, and a failing one with
        fewer blocks declared, until its walk goes through."""
        counts = np.asarray(group[self.count_param])
        if not reports:
            return counts.astype(np.uint64).sum(dtype=np.uint64)

        def walks(i: int, declared: int) -> bool:
            packet = {name: values[i : i + 1] for name, values in group.items()}
            packet[self.count_param] = np.full(1, declared, dtype=counts.dtype)
            task = ListTask()
            self.call(packet, task)
            return all("Bad decommutation for TNR" in str(r) for r in task.reports)

        total = np.uint64(0)
        for i, declared in enumerate(counts.astype(np.uint64)):
            stored = int(declared)
            if not walks(i, stored):
                stored = 0
                while stored < int(declared) and walks(i, stored + 1):
                    stored += 1
            total += np.uint64(stored)
        return total


TNR_NORMAL_PACKET = "TM_THR_SCIENCE_NORMAL_TNR"
TNR_BURST_PACKET = "TM_THR_SCIENCE_BURST_TNR"
TNR_CALIBRATION_PACKET = "TM_THR_SCIENCE_CALIBRATION_TNR"
HFR_CALIBRATION_PACKET = "TM_THR_SCIENCE_CALIBRATION_HFR"

_THR = "kesta.dravel.tasks.thr."
_TDS = "kesta.dravel.tasks.tds."
# What the products of one kind share.
_TNR_SURVEY: dict[str, Any] = dict(
    simulator="thr_demo",
    layout=Reference(_THR + "tnr", "tnr_dtype", called=True),
    metadata="TNR",
    plot="plot_tnr_survey",
    case="tnr_survey_case",
    short="tnr",
    data_param="PA_THR_TNR_DATA",
    grouping=Grouping.PACKET,
    carry=Carry.BLOCKS,
    work_layout=Reference(_THR + "survey_lowband", "create_dtype", called=True),
    work_per=WorkPer.COUNT,
)
_SNAPSHOT: dict[str, Any] = dict(
    simulator="snapshots",
    unit="snapshot",
    reported=Reported.KEPT,
    order=Order.SNAPSHOT,
    grouping=Grouping.COUNT_SWF,
    unit_param="PA_TDS_SNAPSHOT_NR",
    plot="plot_snapshots",
    case="snapshot_case",
    rate_param="PA_TDS_HF_CH_SAMP_RATE",
)
_TSWF: dict[str, Any] = dict(
    _SNAPSHOT,
    layout=Reference(_TDS + "routine_trigsnap", "TSWF"),
    metadata="TSWF",
    short="tswf",
    data_param="PA_TDS_TSWF_DATA_BLK",
)
_RSWF: dict[str, Any] = dict(
    _SNAPSHOT,
    layout=Reference(_TDS + "routine_regsnap", "RSWF"),
    metadata="RSWF",
    short="rswf",
    data_param="PA_TDS_RSWF_DATA_BLK",
)
_LFM: dict[str, Any] = dict(simulator="lfm", order=Order.TIME, grouping=Grouping.PACKET, case="lfm_case")

PRODUCTS = (
    Product(
        "tnr_normal",
        _THR + "survey_lowband",
        "decommute_normal",
        (TNR_NORMAL_PACKET,),
        Receiver.THR,
        count_param="PA_THR_N_BLOCK_CNT",
        **_TNR_SURVEY,
    ),
    Product(
        "tnr_burst",
        _THR + "survey_lowband",
        "decommute_burst",
        (TNR_BURST_PACKET,),
        Receiver.THR,
        count_param="PA_THR_B_BLOCK_CNT",
        **_TNR_SURVEY,
    ),
    Product(
        "tnr_calibration",
        _THR + "refcheck_lowband",
        "decommute",
        (TNR_CALIBRATION_PACKET,),
        Receiver.THR,
        simulator="thr_demo",
        layout=Reference(_THR + "tnr", "tnr_dtype", called=True),
        metadata="TNR_CALIBRATION",
        plot="plot_tnr_calibration",
        case="tnr_calibration_case",
        short="tnr_cal",
        data_param="PA_THR_TNR_DATA",
        count_param="PA_THR_TNR_DATA_CNT",
        grouping=Grouping.PACKET,
        work_layout=Reference(_THR + "refcheck_lowband", "create_dtype", called=True),
    ),
    Product(
        "hfr_calibration",
        _THR + "refcheck_highband",
        "decommute",
        (HFR_CALIBRATION_PACKET,),
        Receiver.THR,
        simulator="thr_demo",
        layout=Reference(_THR + "hfr", "hfr_dtype", called=True),
        metadata="HFR_CALIBRATION",
        plot="plot_hfr_calibration",
        case="hfr_calibration_case",
        short="hfr_cal",
        data_param="PA_THR_HFR_DATA",
        count_param="PA_THR_HFR_DATA_CNT",
        grouping=Grouping.PACKET,
        work_layout=Reference(_THR + "refcheck_highband", "create_dtype", called=True),
    ),
    Product(
        "tswf",
        _TDS + "routine_trigsnap",
        "set_tswf",
        ("TM_TDS_SCIENCE_ROUTINE_TRIGSNAP",),
        Receiver.TDS,
        (("is_sbm", False),),
        **_TSWF,
    ),
    Product(
        "tswf_sbm2",
        _TDS + "routine_trigsnap",
        "set_tswf",
        ("TM_TDS_SCIENCE_SBM2_TSWF",),
        Receiver.TDS,
        (("is_sbm", True),),
        **_TSWF,
    ),
    Product(
        "rswf",
        _TDS + "routine_regsnap",
        "set_rswf",
        ("TM_TDS_SCIENCE_ROUTINE_REGSNAP",),
        Receiver.TDS,
        (("is_sbm", False),),
        **_RSWF,
    ),
    Product(
        "rswf_sbm1",
        _TDS + "routine_regsnap",
        "set_rswf",
        ("TM_TDS_SCIENCE_SBM1_RSWF",),
        Receiver.TDS,
        (("is_sbm", True),),
        **_RSWF,
    ),
    Product(
        "hist2d",
        _TDS + "routine_histmap",
        "set_hist2d",
        ("TM_TDS_SCIENCE_ROUTINE_HISTMAP",),
        Receiver.TDS,
        simulator="histmap",
        unit="histogram",
        order=Order.TIME,
        grouping=Grouping.GROUP,
        unit_param="PA_TDS_HIST2D_PKT_NR",
        layout=Reference(_TDS + "routine_histmap", "HIST2D"),
        metadata="HIST2D",
        plot="plot_histograms",
        case="histogram_case",
        short="hist2d",
        data_param="PA_TDS_SC_HIST2D_DATA",
        rate_param="PA_TDS_STAT_SAMP_RATE",
    ),
    Product(
        "lfm_sm",
        _TDS + "slowmode_specmat",
        "set_sm",
        ("TM_TDS_SCIENCE_SLOWMODE_SPECMAT",),
        Receiver.TDS,
        layout=Reference(_TDS + "slowmode_specmat", "SM"),
        metadata="LFM_SM",
        plot="plot_spectral_matrices",
        short="sm",
        data_param="PA_TDS_SLOWMODE_SPECMAT_DATA_BLK",
        frequencies_param="PA_TDS_SLOWMODE_SPECMAT_NUM_FREQS",
        **_LFM,
    ),
    Product(
        "lfm_psd",
        _TDS + "slowmode_density",
        "set_psd",
        ("TM_TDS_SCIENCE_SLOWMODE_DENSITY",),
        Receiver.TDS,
        layout=Reference(_TDS + "slowmode_density", "PSD"),
        metadata="LFM_PSD",
        plot="plot_psd",
        short="psd",
        data_param="PA_TDS_SLOWMODE_DENSITY_DATA_BLK",
        frequencies_param="PA_TDS_SLOWMODE_DENSITY_NUM_FREQS",
        **_LFM,
    ),
)

BY_NAME = {p.name: p for p in PRODUCTS}


def named_modules(products: Iterable[Product] = PRODUCTS) -> dict[str, list[str]]:
    """{module path: [what names it, ...]}: every module the registry names without importing
    it: the decoders and their layouts below it, and the parts above it that go with each
    product (tables, plots, simulators, test cases)."""
    out: dict[str, list[str]] = {}
    for p in products:
        named = {"decoder": p.module, "layout": p.layout, "work layout": p.work_layout}
        named |= {"metadata": METADATA_MODULE, "plot": PLOTS_MODULE, "case": CASES_MODULE}
        named["simulator"] = p.simulator_module if p.simulator else None
        for role, where in named.items():
            if where is not None:
                module = where.module if isinstance(where, Reference) else where
                out.setdefault(module, []).append(f"{p.name} {role}")
    return out
