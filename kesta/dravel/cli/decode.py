"""Decoding an L0 HDF5 file into an L1 HDF5 file, one compound dataset per product.

Each product's decoder gets a store holding only its own packet types, read into memory from
the L0 file when the product's turn comes, so memory holds one packet group (and its records)
at a time, whatever the size of the file.
"""
from __future__ import annotations

import logging
import os
import threading
from dataclasses import dataclass, field

import numpy as np

from kesta.dravel.products import PRODUCTS, BY_NAME
from kesta.dravel.simulate.store import ListTask, l0_store

from .errors import UsageError

# Status of one product in a decode run.
OK, FAILED, SKIPPED = "ok", "error", "skipped"


@dataclass
class ProductResult:
    product: str
    packet_type: str
    packets: int = 0
    records: int = 0
    reports: int = 0
    warnings: int = 0
    status: str = OK
    message: str = ""                                  # error text or reason for skipping
    report_texts: list = field(default_factory=list)    # what the decoder reported per unit
    warning_texts: list = field(default_factory=list)


@dataclass
class DecodeResult:
    input: str
    output: str
    products: list = field(default_factory=list)   # ProductResult, in registry order
    notes: list = field(default_factory=list)      # packet types nobody decodes, and the like

    @property
    def failed(self):
        return [p for p in self.products if p.status == FAILED]

    @property
    def records(self):
        return sum(p.records for p in self.products)


def select_products(names=None):
    """The registry entries named in `names` (all when empty), in registry order."""
    if not names:
        return list(PRODUCTS)
    unknown = [n for n in names if n not in BY_NAME]
    if unknown:
        raise UsageError(f"unknown product(s) {', '.join(unknown)}; known: {', '.join(BY_NAME)}")
    wanted = set(names)
    return [p for p in PRODUCTS if p.name in wanted]


# --------------------------------------------------------------------------------------------
# Reading the L0 file


def open_l0(path):
    """Opens an L0 HDF5 file for reading; a file that cannot be used raises UsageError."""
    import h5py

    path = os.fspath(path)
    if not os.path.exists(path):
        raise UsageError(f"{path}: no such file")
    if os.path.isdir(path):
        raise UsageError(f"{path}: is a directory, not an L0 file")
    try:
        f = h5py.File(path, "r")
    except OSError as exc:
        raise UsageError(f"{path}: cannot be read as an HDF5 file ({_first_line(exc)})") from None
    tm = f.get("TM")
    if not isinstance(tm, h5py.Group):
        f.close()
        raise UsageError(f"{path}: not an L0 store (no TM group of packet types)")
    return f


def read_packet_group(f, packet_type):
    """The packet group `TM/<packet_type>/source_data` read into memory (parameter -> array)."""
    import h5py

    where = f"TM/{packet_type}"
    node = f["TM"][packet_type]
    if not isinstance(node, h5py.Group) or not isinstance(node.get("source_data"), h5py.Group):
        raise ValueError(f"{where} has no source_data group of parameters")
    group = {}
    for name, dataset in node["source_data"].items():
        if not isinstance(dataset, h5py.Dataset):
            raise ValueError(f"{where}/source_data/{name} is not a dataset")
        group[name] = dataset[()]
    return group


def _packets_on_file(f, packet_type):
    source = f["TM"][packet_type]["source_data"]
    return max((d.shape[0] for d in source.values() if getattr(d, "ndim", 0) > 0), default=0)


def packet_count(group):
    """Number of packets of a packet group (length of its longest parameter)."""
    return max((len(v) for v in group.values() if np.ndim(v) > 0), default=0)


# --------------------------------------------------------------------------------------------
# Counting what the decoders log

_level_lock = threading.Lock()
_level_users = 0
_saved_level = None


class _WarningCounter(logging.Handler):
    """Keeps the warnings logged by one thread (threads of one process decode side by side
    when a cluster runs its workers as threads)."""

    def __init__(self):
        super().__init__(level=logging.WARNING)
        self.thread = threading.get_ident()
        self.messages = []

    def emit(self, record):
        if record.levelno == logging.WARNING and record.thread == self.thread:
            try:
                self.messages.append(record.getMessage())
            except Exception:  # a malformed log call must not end the decode
                self.messages.append(str(record.msg))


def _framework_logger():
    try:
        from vantor.core.logger import logger
    except ImportError:
        return None
    return logger if isinstance(logger, logging.Logger) else None


class counting_warnings:
    """Context: counts the warnings the decoders log on the framework's logger."""

    def __enter__(self):
        global _level_users, _saved_level
        self.handler = _WarningCounter()
        self.logger = _framework_logger()
        if self.logger is not None:
            with _level_lock:
                if _level_users == 0:
                    _saved_level = self.logger.level
                    # let warnings (and debug progress, for -vv) through whatever the root level
                    self.logger.setLevel(logging.DEBUG)
                _level_users += 1
            self.logger.addHandler(self.handler)
        return self.handler

    def __exit__(self, *exc):
        global _level_users
        if self.logger is not None:
            self.logger.removeHandler(self.handler)
            with _level_lock:
                _level_users -= 1
                if _level_users == 0:
                    self.logger.setLevel(_saved_level)
        return False


# --------------------------------------------------------------------------------------------
# Decoding


def decode_product(f, product, packet_type):
    """Runs one product's decoder on the L0 file `f`; returns (ProductResult, records or None)."""
    result = ProductResult(product.name, packet_type)
    try:
        result.packets = _packets_on_file(f, packet_type)
    except Exception:
        pass   # reported when the group is read
    try:
        decoder = product.decoder()
    except (ImportError, AttributeError) as exc:
        result.status, result.message = SKIPPED, f"decoder not available ({_first_line(exc)})"
        return result, None
    task = ListTask()
    try:
        groups = {name: read_packet_group(f, name) for name in product.packets if name in f["TM"]}
        result.packets = packet_count(groups.get(packet_type, {}))
        store = l0_store(groups)
        with counting_warnings() as counter:
            try:
                if product.receiver == "thr":
                    records = decoder(store["TM"][packet_type]["source_data"], task, **dict(product.kwargs))
                else:
                    records = decoder(store, task, **dict(product.kwargs))
            finally:
                result.warning_texts = list(counter.messages)
                result.warnings = len(counter.messages)
        del store, groups
        if not isinstance(records, np.ndarray) or records.dtype.names is None:
            raise TypeError(f"the decoder returned {type(records).__name__}, not a record array")
        result.records = len(records)
    except Exception as exc:  # one product failing does not stop the others
        result.status, result.message = FAILED, f"{type(exc).__name__}: {_first_line(exc)}"
        records = None
    result.report_texts = [str(r) for r in task.reports]
    result.reports = len(task.reports)
    return result, records


def write_product(out, result, records):
    """Writes `records` as the compound dataset `/<product>` of the open L1 file `out`."""
    records = np.ascontiguousarray(records)
    if len(records):
        # Rows of a few hundred kilobytes (snapshots) are mostly fill values: chunk by rows
        # of about a megabyte and compress.
        rows = max(1, min(len(records), (1 << 20) // max(1, records.dtype.itemsize)))
        dataset = out.create_dataset(result.product, data=records, chunks=(rows,),
                                     compression="gzip", compression_opts=4, shuffle=True)
    else:
        dataset = out.create_dataset(result.product, data=records)
    dataset.attrs["packet_type"] = result.packet_type
    dataset.attrs["packets_in"] = result.packets
    dataset.attrs["reports"] = result.reports
    dataset.attrs["warnings"] = result.warnings


def decode_file(l0_path, l1_path, products=None, progress=False):
    """Decodes every selected product whose packet type is in the L0 file into the L1 file.

    Input that cannot be used at all raises UsageError; a failing product is recorded in its
    ProductResult and the others go on. The L1 file appears only once complete.
    """
    import h5py

    l0_path, l1_path = os.fspath(l0_path), os.fspath(l1_path)
    selected = select_products(products)
    if os.path.exists(l1_path) and os.path.exists(l0_path) and os.path.samefile(l0_path, l1_path):
        raise UsageError(f"{l1_path}: the output would overwrite the input")
    result = DecodeResult(l0_path, l1_path)
    with open_l0(l0_path) as f:
        present = set(f["TM"].keys())
        known = {name for p in PRODUCTS for name in p.packets}
        for name in sorted(present - known):
            result.notes.append(f"packet type {name} is not decoded by any product")
        todo = []
        for product in selected:
            packet_type = product.packets[0]
            if packet_type in present:
                todo.append((product, packet_type))
            elif products:
                result.notes.append(f"{product.name}: no {packet_type} packets in the file")
        tmp = _temporary_name(l1_path)
        try:
            out = h5py.File(tmp, "w")
        except OSError as exc:
            raise UsageError(f"{l1_path}: cannot be written ({_first_line(exc)})") from None
        try:
            with out:
                out.attrs["source"] = os.path.basename(l0_path)
                for product, packet_type in _progress(todo, progress, "decoding"):
                    product_result, records = decode_product(f, product, packet_type)
                    if records is not None:
                        try:
                            write_product(out, product_result, records)
                        except Exception as exc:
                            product_result.status = FAILED
                            product_result.message = f"cannot write records: {_first_line(exc)}"
                    result.products.append(product_result)
                    del records
            os.replace(tmp, l1_path)
        finally:
            if os.path.exists(tmp):
                os.unlink(tmp)
    return result


# --------------------------------------------------------------------------------------------
# Summary


def summary_table(result):
    """The summary table of a decode run, as text lines."""
    head = ("product", "packet type", "packets in", "records out", "reported+skipped", "warnings", "status")
    rows = []
    for p in result.products:
        status = p.status if p.status == OK else f"{p.status}: {p.message}"
        rows.append((p.product, p.packet_type, str(p.packets), str(p.records), str(p.reports),
                     str(p.warnings), status))
    if not rows:
        return ["no product to decode in " + result.input] + ["note: " + n for n in result.notes]
    widths = [max(len(r[i]) for r in rows + [head]) for i in range(len(head) - 1)]
    numeric = {2, 3, 4, 5}

    def line(row):
        cells = [row[i].rjust(widths[i]) if i in numeric else row[i].ljust(widths[i])
                 for i in range(len(widths))]
        return "  ".join(cells + [row[-1]])

    lines = [line(head), "  ".join("-" * w for w in widths) + "  ------"]
    lines += [line(r) for r in rows]
    lines += ["note: " + n for n in result.notes]
    return lines


def details(result):
    """The reports and warnings of every product, as text lines (for --verbose)."""
    lines = []
    for p in result.products:
        for text in p.warning_texts:
            lines.append(f"{p.product}: warning: {text}")
        for text in p.report_texts:
            lines.append(f"{p.product}: reported: {_first_line(text, last=True)}")
    return lines


# --------------------------------------------------------------------------------------------


def _first_line(value, last=False):
    """One line of an error or report text (the last one of a traceback when `last`)."""
    lines = [l.strip() for l in str(value).strip().splitlines() if l.strip()]
    if not lines:
        return type(value).__name__ if isinstance(value, BaseException) else ""
    return lines[-1] if last else lines[0]


def _temporary_name(path):
    directory, base = os.path.split(os.path.abspath(path))
    return os.path.join(directory, f".{base}.{os.getpid()}.{threading.get_ident()}.part")


def _progress(items, enabled, what):
    if not enabled or len(items) < 2:
        return items
    from tqdm import tqdm

    return tqdm(items, desc=what, unit="product", leave=False, disable=None)
