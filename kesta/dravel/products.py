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
from dataclasses import dataclass
from typing import Any

import numpy as np

# What becomes of a unit the decoder reports (not to be confused with a product's status).
UNIT_SKIPPED = "skipped"  # a reported unit gives no record
UNIT_KEPT = "kept with fill data"  # a reported unit keeps its record, data part at fill values

# Where the parts of a product named by attribute live.
METADATA_MODULE = "kesta.dravel.l1.metadata"  # its `metadata` table
PLOTS_MODULE = "kesta.dravel.l1.quicklook.plots"  # its `plot` function
SIMULATE_PACKAGE = "kesta.dravel.simulate"  # its `simulator` module and `case`


class ListTask:
    """A pipeline task that keeps what the decoders report."""

    def __init__(self):
        self.reports = []

    def exception(self, message):
        self.reports.append(message)


def _attribute(reference):
    """The object `reference`, "module:name", names."""
    module, name = reference.split(":")
    return getattr(importlib.import_module(module), name)


def declared(part, namespace, products=None):
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
    name: str  # product name used on the command line and in L1 files
    module: str  # decoder module path
    entry: str  # entry point
    packets: tuple  # packet types the product is decoded from
    receiver: str  # "thr" (handed a packet group) or "tds" (handed the L0 store)
    kwargs: tuple = ()  # extra keyword arguments, as (name, value) pairs
    # Its parts in Python, by name (every product has each; tests/test_products.py checks):
    # the table of its L1 variables in METADATA_MODULE; its quick-look plot in PLOTS_MODULE,
    # plot(data, path) -> [PNG paths]; the module of SIMULATE_PACKAGE whose
    # demo_groups(rng, anomalies) makes its packets; the function of SIMULATE_PACKAGE.cases
    # making its small random case, function(product, rng, anomalies) -> (L0 store, expected
    # records, number of reported units); and the short name of its decoder on the fuzzer's
    # command line (products of one decoder share it).
    metadata: str = ""
    plot: str = ""
    simulator: str = ""
    case: str = ""
    short: str = ""
    unit: str = "packet"  # what the decoder reports and skips, or keeps, on its own
    reported: str = UNIT_SKIPPED  # what becomes of a reported unit's record: UNIT_SKIPPED or UNIT_KEPT
    # How the decoder orders the packets before regrouping them ("" keeps L0 order, "time",
    # or "snapshot": time, then snapshot number) and how it regroups them into units
    # ("packet": one unit each; "count_swf" or "group" of `unit_param`, in that order; "":
    # not to be cut, the product is decoded whole).
    order: str = ""
    grouping: str = ""
    unit_param: str = ""
    # What a window's records take over from the windows before it, so that windows give the
    # records of a whole decode (`carry_over`): "" nothing; "blocks": the TNR survey numbers
    # the blocks it stores in `sweep_num` from the start of its group, so a window's numbers go
    # on from the blocks stored for the windows before it (`stored_blocks`).
    carry: str = ""
    # The decoder's own intermediate records, held through each call besides the L1 records:
    # their layout ("module:name()", "" when none) and how many there are ("packet": one per
    # packet; "count": as many as `count_param` declares, the TNR survey's blocks).
    work_layout: str = ""
    work_per: str = "packet"
    # Where the L1 record layout comes from: "module:NAME" (a layout constant) or
    # "module:name()" (a layout operation of the pipeline's helpers).
    layout: str = ""
    # Parameters the decoder reads, by role ("" when the product has none): the packets' data
    # words or blocks; the per-packet count a THR walk starts from (survey: blocks, calibration:
    # data words); the sampling-rate code; the number of frequencies.
    data_param: str = ""
    count_param: str = ""
    rate_param: str = ""
    frequencies_param: str = ""

    @property
    def packet(self):
        """The packet type the product is decoded from."""
        return self.packets[0]

    def packet_group(self, l0):
        """The product's packet group (its parameters by name) in the L0 store `l0`."""
        return l0["TM"][self.packet]["source_data"]

    @property
    def takes_group(self):
        """True when the decoder is handed its packet group (THR), not the whole L0 store (TDS)."""
        return self.receiver == "thr"

    def decoder_input(self, l0):
        """What the decoder is handed: the L0 store itself, or its packet group (`takes_group`)."""
        return self.packet_group(l0) if self.takes_group else l0

    def decoder(self):
        return getattr(importlib.import_module(self.module), self.entry)

    def call(self, argument, task):
        """Runs the decoder on `argument` as it is (an L0 store, or a THR packet group)."""
        return self.decoder()(argument, task, **dict(self.kwargs))

    def decode(self, l0, task):
        """Runs the decoder on the L0 store `l0` (a THR decoder gets its packet group)."""
        return self.call(self.decoder_input(l0), task)

    def simulated_case(self, rng, anomalies=False):
        """(L0 store, expected records, reports): a small random store of this product from its
        simulator; with `anomalies`, units the decoder reports (and skips or keeps at fill)."""
        return _attribute(f"{SIMULATE_PACKAGE}.cases:{self.case}")(self, rng, anomalies)

    @property
    def simulator_module(self):
        """The module path of its simulator."""
        return f"{SIMULATE_PACKAGE}.{self.simulator}"

    def metadata_table(self):
        return _attribute(f"{METADATA_MODULE}:{self.metadata}")

    def quicklook_plot(self):
        return _attribute(f"{PLOTS_MODULE}:{self.plot}")

    @property
    def decoder_name(self):
        """The decoder module's own name (survey_lowband, ...)."""
        return self.module.rsplit(".", 1)[1]

    def record_dtype(self):
        """The L1 record layout the installed decoder (or helper module) gives: LookupError when
        the product declares none, ImportError or AttributeError when it is not installed."""
        if not self.layout:
            raise LookupError(f"product {self.name}: no record layout declared")
        value = _attribute(self.layout.rstrip("()"))
        return np.dtype(value() if self.layout.endswith("()") else value)

    def work_bytes(self, group, n):
        """Bytes of the intermediate records the decoder builds for the `n` packets of `group`
        (which holds `count_param` when they are counted per block)."""
        if not self.work_layout:
            return 0
        itemsize = np.dtype(_attribute(self.work_layout.rstrip("()"))()).itemsize
        if self.work_per == "count":
            n = int(np.asarray(group[self.count_param]).astype(np.uint64).sum(dtype=np.uint64))
        return itemsize * n

    @property
    def time_param(self):
        return "PA_THR_ACQUISITION_TIME" if self.receiver == "thr" else "PA_TDS_ACQUISITION_TIME"

    def unit_params(self):
        """The parameters `units` reads."""
        names = [self.time_param] if self.order else []
        return names + ([self.unit_param] if self.unit_param else [])

    def units(self, group, n):
        """(order, unit): the packet order the decoder works in, and for each packet in that
        order the index of the unit (snapshot, histogram, packet) it belongs to, non-decreasing.

        `group` holds the parameters of `unit_params` for the `n` packets; the decoder's own
        components (sort_data, count_swf, group) decide, so units are cut exactly where the
        decoder cuts them. None when the product is decoded whole."""
        if not self.grouping:
            return None
        if not self.order:
            return np.arange(n), np.arange(n)
        from kesta.dravel.tasks.utils import sort_data

        time = np.asarray(group[self.time_param])
        keys = (time[:, 1], time[:, 0])
        if self.order == "snapshot":
            keys = (np.asarray(group[self.unit_param]),) + keys
        order = np.asarray(sort_data({"order": np.arange(len(time))}, keys)[0]["order"])
        if self.grouping == "packet":
            return order, np.arange(len(order))
        from kesta.dravel.tasks.tds import utils

        numbers = np.asarray(group[self.unit_param])[order]
        unit = np.asarray(getattr(utils, self.grouping)(numbers)[0]).astype(np.int64)
        return order, unit

    def carry_over(self, group, records, reports, before=None):
        """(records, after): the records the decoder gave for the packet group `group` of one
        window (with the reports `reports`), numbered as a decode of every window at once
        numbers them, and what carries over to the next window. `before` is what the previous
        window carried over (None for the first); `records` may be changed in place."""
        if self.carry != "blocks":
            return records, before
        # The band flags the helpers decode are one bit wide, so every counted record is
        # written: no record at fill values waits at the end of a window for a later one.
        blocks = np.uint64(0) if before is None else before
        if blocks and len(records):
            # the decoder stores each block's row index (unsigned 64-bit) into sweep_num with
            # NumPy's conversion; adding in unsigned 64-bit wraps the same way
            records["sweep_num"] = records["sweep_num"].astype(np.uint64) + blocks
        return records, blocks + self.stored_blocks(group, reports)

    def stored_blocks(self, group, reports):
        """How many blocks the TNR survey decoder stores for the packets of `group`: every block
        a packet declares, unless the packet's walk fails (a report other than the size check,
        which comes after the walk), when the blocks before the failure stay stored and the walk
        goes on at the next row. Then each packet is decoded again alone, and a failing one with
        fewer blocks declared, until its walk goes through."""
        counts = np.asarray(group[self.count_param])
        if not reports:
            return counts.astype(np.uint64).sum(dtype=np.uint64)

        def walks(i, declared):
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
    layout=_THR + "tnr:tnr_dtype()",
    metadata="TNR",
    plot="plot_tnr_survey",
    case="tnr_survey_case",
    short="tnr",
    data_param="PA_THR_TNR_DATA",
    grouping="packet",
    carry="blocks",
    work_layout=_THR + "survey_lowband:create_dtype()",
    work_per="count",
)
_SNAPSHOT: dict[str, Any] = dict(
    simulator="snapshots",
    unit="snapshot",
    reported=UNIT_KEPT,
    order="snapshot",
    grouping="count_swf",
    unit_param="PA_TDS_SNAPSHOT_NR",
    plot="plot_snapshots",
    case="snapshot_case",
    rate_param="PA_TDS_HF_CH_SAMP_RATE",
)
_TSWF: dict[str, Any] = dict(
    _SNAPSHOT, layout=_TDS + "routine_trigsnap:TSWF", metadata="TSWF", short="tswf", data_param="PA_TDS_TSWF_DATA_BLK"
)
_RSWF: dict[str, Any] = dict(
    _SNAPSHOT, layout=_TDS + "routine_regsnap:RSWF", metadata="RSWF", short="rswf", data_param="PA_TDS_RSWF_DATA_BLK"
)
_LFM: dict[str, Any] = dict(simulator="lfm", order="time", grouping="packet", case="lfm_case")

PRODUCTS = (
    Product(
        "tnr_normal",
        _THR + "survey_lowband",
        "decommute_normal",
        (TNR_NORMAL_PACKET,),
        "thr",
        count_param="PA_THR_N_BLOCK_CNT",
        **_TNR_SURVEY,
    ),
    Product(
        "tnr_burst",
        _THR + "survey_lowband",
        "decommute_burst",
        (TNR_BURST_PACKET,),
        "thr",
        count_param="PA_THR_B_BLOCK_CNT",
        **_TNR_SURVEY,
    ),
    Product(
        "tnr_calibration",
        _THR + "refcheck_lowband",
        "decommute",
        (TNR_CALIBRATION_PACKET,),
        "thr",
        simulator="thr_demo",
        layout=_THR + "tnr:tnr_dtype()",
        metadata="TNR_CALIBRATION",
        plot="plot_tnr_calibration",
        case="tnr_calibration_case",
        short="tnr_cal",
        data_param="PA_THR_TNR_DATA",
        count_param="PA_THR_TNR_DATA_CNT",
        grouping="packet",
        work_layout=_THR + "refcheck_lowband:create_dtype()",
    ),
    Product(
        "hfr_calibration",
        _THR + "refcheck_highband",
        "decommute",
        (HFR_CALIBRATION_PACKET,),
        "thr",
        simulator="thr_demo",
        layout=_THR + "hfr:hfr_dtype()",
        metadata="HFR_CALIBRATION",
        plot="plot_hfr_calibration",
        case="hfr_calibration_case",
        short="hfr_cal",
        data_param="PA_THR_HFR_DATA",
        count_param="PA_THR_HFR_DATA_CNT",
        grouping="packet",
        work_layout=_THR + "refcheck_highband:create_dtype()",
    ),
    Product(
        "tswf",
        _TDS + "routine_trigsnap",
        "set_tswf",
        ("TM_TDS_SCIENCE_ROUTINE_TRIGSNAP",),
        "tds",
        (("is_sbm", False),),
        **_TSWF,
    ),
    Product(
        "tswf_sbm2",
        _TDS + "routine_trigsnap",
        "set_tswf",
        ("TM_TDS_SCIENCE_SBM2_TSWF",),
        "tds",
        (("is_sbm", True),),
        **_TSWF,
    ),
    Product(
        "rswf",
        _TDS + "routine_regsnap",
        "set_rswf",
        ("TM_TDS_SCIENCE_ROUTINE_REGSNAP",),
        "tds",
        (("is_sbm", False),),
        **_RSWF,
    ),
    Product(
        "rswf_sbm1",
        _TDS + "routine_regsnap",
        "set_rswf",
        ("TM_TDS_SCIENCE_SBM1_RSWF",),
        "tds",
        (("is_sbm", True),),
        **_RSWF,
    ),
    Product(
        "hist2d",
        _TDS + "routine_histmap",
        "set_hist2d",
        ("TM_TDS_SCIENCE_ROUTINE_HISTMAP",),
        "tds",
        simulator="histmap",
        unit="histogram",
        order="time",
        grouping="group",
        unit_param="PA_TDS_HIST2D_PKT_NR",
        layout=_TDS + "routine_histmap:HIST2D",
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
        "tds",
        layout=_TDS + "slowmode_specmat:SM",
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
        "tds",
        layout=_TDS + "slowmode_density:PSD",
        metadata="LFM_PSD",
        plot="plot_psd",
        short="psd",
        data_param="PA_TDS_SLOWMODE_DENSITY_DATA_BLK",
        frequencies_param="PA_TDS_SLOWMODE_DENSITY_NUM_FREQS",
        **_LFM,
    ),
)

BY_NAME = {p.name: p for p in PRODUCTS}
