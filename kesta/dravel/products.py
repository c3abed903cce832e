"""The eight products: which decoder makes each, from which packet type, and how it is called.

THR decoders are handed one packet group; TDS decoders the whole L0 store. The THR packet
type names below are this project's own and are written down here only.
"""
from __future__ import annotations

import importlib
from dataclasses import dataclass

import numpy as np


# What becomes of a unit the decoder reports (not to be confused with a product's status).
UNIT_SKIPPED = "skipped"                 # a reported unit gives no record
UNIT_KEPT = "kept with fill data"        # a reported unit keeps its record, data part at fill values


@dataclass(frozen=True)
class Product:
    name: str            # product name used on the command line and in L1 files
    module: str          # decoder module path
    entry: str           # entry point
    packets: tuple       # packet types the product is decoded from
    receiver: str        # "thr" (handed a packet group) or "tds" (handed the L0 store)
    kwargs: tuple = ()   # extra keyword arguments, as (name, value) pairs
    simulator: str = ""  # simulator module providing demo_groups(rng, anomalies)
    # "module:function" of the simulator's small random case: function(product, rng,
    # anomalies) -> (L0 store, expected records, number of reported units)
    case: str = ""
    unit: str = "packet"       # what the decoder reports and skips, or keeps, on its own
    reported: str = UNIT_SKIPPED    # what becomes of a reported unit's record: UNIT_SKIPPED or UNIT_KEPT
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
        module, name = self.case.split(":")
        return getattr(importlib.import_module(module), name)(self, rng, anomalies)

    def record_dtype(self):
        """The L1 record layout the installed decoder (or helper module) gives."""
        module, name = self.layout.split(":")
        value = getattr(importlib.import_module(module), name.rstrip("()"))
        return np.dtype(value() if name.endswith("()") else value)

    def work_bytes(self, group, n):
        """Bytes of the intermediate records the decoder builds for the `n` packets of `group`
        (which holds `count_param` when they are counted per block)."""
        if not self.work_layout:
            return 0
        module, name = self.work_layout.split(":")
        itemsize = np.dtype(getattr(importlib.import_module(module), name.rstrip("()"))()).itemsize
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
        from kesta.dravel.l1.store import ListTask

        counts = np.asarray(group[self.count_param])
        if not reports:
            return counts.astype(np.uint64).sum(dtype=np.uint64)

        def walks(i, declared):
            packet = {name: values[i:i + 1] for name, values in group.items()}
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

_CASES = "kesta.dravel.simulate.cases:"

PRODUCTS = (
    Product("tnr_normal", "kesta.dravel.tasks.thr.survey_lowband", "decommute_normal",
            (TNR_NORMAL_PACKET,), "thr", simulator="kesta.dravel.simulate.thr_demo",
            layout="kesta.dravel.tasks.thr.tnr:tnr_dtype()", case=_CASES + "tnr_survey_case",
            data_param="PA_THR_TNR_DATA", count_param="PA_THR_N_BLOCK_CNT", grouping="packet",
            carry="blocks", work_layout="kesta.dravel.tasks.thr.survey_lowband:create_dtype()", work_per="count"),
    Product("tnr_burst", "kesta.dravel.tasks.thr.survey_lowband", "decommute_burst",
            (TNR_BURST_PACKET,), "thr", simulator="kesta.dravel.simulate.thr_demo",
            layout="kesta.dravel.tasks.thr.tnr:tnr_dtype()", case=_CASES + "tnr_survey_case",
            data_param="PA_THR_TNR_DATA", count_param="PA_THR_B_BLOCK_CNT", grouping="packet",
            carry="blocks", work_layout="kesta.dravel.tasks.thr.survey_lowband:create_dtype()", work_per="count"),
    Product("tnr_calibration", "kesta.dravel.tasks.thr.refcheck_lowband", "decommute",
            (TNR_CALIBRATION_PACKET,), "thr", simulator="kesta.dravel.simulate.thr_demo",
            layout="kesta.dravel.tasks.thr.tnr:tnr_dtype()", case=_CASES + "tnr_calibration_case",
            data_param="PA_THR_TNR_DATA", count_param="PA_THR_TNR_DATA_CNT", grouping="packet",
            work_layout="kesta.dravel.tasks.thr.refcheck_lowband:create_dtype()"),
    Product("hfr_calibration", "kesta.dravel.tasks.thr.refcheck_highband", "decommute",
            (HFR_CALIBRATION_PACKET,), "thr", simulator="kesta.dravel.simulate.thr_demo",
            layout="kesta.dravel.tasks.thr.hfr:hfr_dtype()", case=_CASES + "hfr_calibration_case",
            data_param="PA_THR_HFR_DATA", count_param="PA_THR_HFR_DATA_CNT", grouping="packet",
            work_layout="kesta.dravel.tasks.thr.refcheck_highband:create_dtype()"),
    Product("tswf", "kesta.dravel.tasks.tds.routine_trigsnap", "set_tswf",
            ("TM_TDS_SCIENCE_ROUTINE_TRIGSNAP",), "tds", (("is_sbm", False),),
            simulator="kesta.dravel.simulate.snapshots", unit="snapshot", reported=UNIT_KEPT,
            order="snapshot", grouping="count_swf", unit_param="PA_TDS_SNAPSHOT_NR",
            layout="kesta.dravel.tasks.tds.routine_trigsnap:TSWF", case=_CASES + "snapshot_case",
            data_param="PA_TDS_TSWF_DATA_BLK", rate_param="PA_TDS_HF_CH_SAMP_RATE"),
    Product("tswf_sbm2", "kesta.dravel.tasks.tds.routine_trigsnap", "set_tswf",
            ("TM_TDS_SCIENCE_SBM2_TSWF",), "tds", (("is_sbm", True),),
            simulator="kesta.dravel.simulate.snapshots", unit="snapshot", reported=UNIT_KEPT,
            order="snapshot", grouping="count_swf", unit_param="PA_TDS_SNAPSHOT_NR",
            layout="kesta.dravel.tasks.tds.routine_trigsnap:TSWF", case=_CASES + "snapshot_case",
            data_param="PA_TDS_TSWF_DATA_BLK", rate_param="PA_TDS_HF_CH_SAMP_RATE"),
    Product("rswf", "kesta.dravel.tasks.tds.routine_regsnap", "set_rswf",
            ("TM_TDS_SCIENCE_ROUTINE_REGSNAP",), "tds", (("is_sbm", False),),
            simulator="kesta.dravel.simulate.snapshots", unit="snapshot", reported=UNIT_KEPT,
            order="snapshot", grouping="count_swf", unit_param="PA_TDS_SNAPSHOT_NR",
            layout="kesta.dravel.tasks.tds.routine_regsnap:RSWF", case=_CASES + "snapshot_case",
            data_param="PA_TDS_RSWF_DATA_BLK", rate_param="PA_TDS_HF_CH_SAMP_RATE"),
    Product("rswf_sbm1", "kesta.dravel.tasks.tds.routine_regsnap", "set_rswf",
            ("TM_TDS_SCIENCE_SBM1_RSWF",), "tds", (("is_sbm", True),),
            simulator="kesta.dravel.simulate.snapshots", unit="snapshot", reported=UNIT_KEPT,
            order="snapshot", grouping="count_swf", unit_param="PA_TDS_SNAPSHOT_NR",
            layout="kesta.dravel.tasks.tds.routine_regsnap:RSWF", case=_CASES + "snapshot_case",
            data_param="PA_TDS_RSWF_DATA_BLK", rate_param="PA_TDS_HF_CH_SAMP_RATE"),
    Product("hist2d", "kesta.dravel.tasks.tds.routine_histmap", "set_hist2d",
            ("TM_TDS_SCIENCE_ROUTINE_HISTMAP",), "tds", simulator="kesta.dravel.simulate.histmap",
            unit="histogram", order="time", grouping="group", unit_param="PA_TDS_HIST2D_PKT_NR",
            layout="kesta.dravel.tasks.tds.routine_histmap:HIST2D", case=_CASES + "histogram_case",
            data_param="PA_TDS_SC_HIST2D_DATA", rate_param="PA_TDS_STAT_SAMP_RATE"),
    Product("lfm_sm", "kesta.dravel.tasks.tds.slowmode_specmat", "set_sm",
            ("TM_TDS_SCIENCE_SLOWMODE_SPECMAT",), "tds", simulator="kesta.dravel.simulate.lfm",
            order="time", grouping="packet",
            layout="kesta.dravel.tasks.tds.slowmode_specmat:SM", case=_CASES + "lfm_case",
            data_param="PA_TDS_SLOWMODE_SPECMAT_DATA_BLK",
            frequencies_param="PA_TDS_SLOWMODE_SPECMAT_NUM_FREQS"),
    Product("lfm_psd", "kesta.dravel.tasks.tds.slowmode_density", "set_psd",
            ("TM_TDS_SCIENCE_SLOWMODE_DENSITY",), "tds", simulator="kesta.dravel.simulate.lfm",
            order="time", grouping="packet",
            layout="kesta.dravel.tasks.tds.slowmode_density:PSD", case=_CASES + "lfm_case",
            data_param="PA_TDS_SLOWMODE_DENSITY_DATA_BLK",
            frequencies_param="PA_TDS_SLOWMODE_DENSITY_NUM_FREQS"),
)

BY_NAME = {p.name: p for p in PRODUCTS}
