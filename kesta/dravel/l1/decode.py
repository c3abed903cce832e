"""Decoding L0 stores and files into per-product results.

A product is decoded from its own packet types only: from a file, its packet groups are read
into memory when the product's turn comes, so memory holds one product's packets and records at
a time. Each product ends with a status: ``ok``; ``partial`` when some of its units were
reported (what became of them the product says: skipped, or kept with fill data); ``failed``
when the decoder raised, or packets came in and every unit was lost; ``skipped`` when its
decoder is not installed.
"""
from __future__ import annotations

import logging
import threading
import time
from dataclasses import dataclass, field

import numpy as np

from kesta.dravel import products as registry

from .errors import InputError, OutputError
from .store import (ListTask, datasets, first_line, l0_store, open_l0, packet_count, packets_on_file,
                    read_packet_group, source_data)

OK, PARTIAL, FAILED, SKIPPED = "ok", "partial", "failed", "skipped"


@dataclass
class ProductResult:
    product: str
    packet_type: str
    packets: int = 0                                 # packets in
    records: int = 0                                 # records out
    status: str = OK
    message: str = ""                                # the error, or why the product was skipped
    reports: list = field(default_factory=list)      # what the decoder reported, one text per unit
    warnings: list = field(default_factory=list)     # what it logged at warning level
    seconds: float = 0.0
    data: np.ndarray | None = field(default=None, repr=False)   # the records, when kept

    @property
    def failed(self):
        return self.status == FAILED

    def summary(self):
        """The status with its reason, in one line."""
        if self.status == OK:
            return OK
        if self.status == PARTIAL:
            unit = registry.BY_NAME[self.product].unit if self.product in registry.BY_NAME else "unit"
            fate = registry.BY_NAME[self.product].reported if self.product in registry.BY_NAME else "reported"
            return f"{PARTIAL}: {len(self.reports)} {unit}(s) {fate}"
        return f"{self.status}: {self.message}"

    @classmethod
    def from_dict(cls, data):
        """The result `as_dict` gave."""
        return cls(**data)

    def as_dict(self):
        """The result without its records, as plain data (for run reports)."""
        return {"product": self.product, "packet_type": self.packet_type, "packets": self.packets,
                "records": self.records, "status": self.status, "message": self.message,
                "reports": [str(r) for r in self.reports], "warnings": list(self.warnings),
                "seconds": round(self.seconds, 6)}


@dataclass
class DecodeResult:
    input: str
    products: list = field(default_factory=list)   # ProductResult, in registry order
    notes: list = field(default_factory=list)      # packet types nobody decodes, and the like
    outputs: list = field(default_factory=list)    # files written

    @property
    def failed(self):
        return [p for p in self.products if p.status == FAILED]

    @property
    def partial(self):
        return [p for p in self.products if p.status == PARTIAL]

    @property
    def records(self):
        return sum(p.records for p in self.products)

    def as_dict(self):
        """The run without its records, as plain data (for run reports)."""
        return {"input": self.input, "outputs": list(self.outputs), "notes": list(self.notes),
                "products": [p.as_dict() for p in self.products]}

    def __getitem__(self, product):
        for p in self.products:
            if p.product == product:
                return p
        raise KeyError(product)


def select_products(names=None):
    """The registry entries named in `names` (all when empty), in registry order."""
    if not names:
        return list(registry.PRODUCTS)
    unknown = [n for n in names if n not in registry.BY_NAME]
    if unknown:
        raise InputError(f"unknown product(s) {', '.join(unknown)}; known: {', '.join(registry.BY_NAME)}")
    wanted = set(names)
    return [p for p in registry.PRODUCTS if p.name in wanted]


# --------------------------------------------------------------------------------------------
# What the decoders log

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


def _lowest_handled(logger):
    """The lowest level taken by a handler that `logger`'s records reach."""
    lowest = logging.CRITICAL + 1
    while logger is not None:
        for handler in logger.handlers:
            if not isinstance(handler, _WarningCounter):
                lowest = min(lowest, handler.level)
        if not logger.propagate:
            break
        logger = logger.parent
    return lowest


class counting_warnings:
    """Context: keeps the warnings the decoders log on the framework's logger."""

    def __enter__(self):
        global _level_users, _saved_level
        self.handler = _WarningCounter()
        self.logger = _framework_logger()
        if self.logger is not None:
            with _level_lock:
                if _level_users == 0:
                    _saved_level = self.logger.level
                    # let warnings through whatever the root level, and debug progress when a
                    # handler takes it (-vv, a log file): otherwise the decoders skip making it.
                    # (Level 0 would defer to the root's level again.)
                    lowest = max(1, _lowest_handled(self.logger))
                    self.logger.setLevel(min(logging.WARNING, lowest))
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


def _decode_part(product, store, result):
    """Runs the decoder of `product` on `store`; fills `result` (records kept in result.data)."""
    task = ListTask()
    try:
        with counting_warnings() as counter:
            try:
                records = product.decode(store, task)
            finally:
                result.warnings = list(counter.messages)
        if not isinstance(records, np.ndarray) or records.dtype.names is None:
            raise TypeError(f"the decoder returned {type(records).__name__}, not a record array")
        result.data = records
        result.records = len(records)
    except Exception as exc:  # one product failing does not stop the others
        result.status, result.message = FAILED, f"{type(exc).__name__}: {first_line(exc)}"
        result.data = None
    result.reports = [str(r) for r in task.reports]


def judge(product, result):
    """Sets the status of a product whose decoder returned: partial when units were reported,
    failed when packets came in and every unit was lost. Packets that hold no record and were
    not reported (a calibration with its analyses switched off) leave the product ok."""
    if result.status != OK or not result.reports:
        return
    lost = len(result.reports) if product.reported == registry.KEPT else 0
    if result.packets and (result.records == 0 or (lost and lost >= result.records)):
        result.status = FAILED
        result.message = f"every {product.unit} was lost ({len(result.reports)} reported)"
    else:
        result.status = PARTIAL


def decode_store(store, products=None, keep=True):
    """Decodes every selected product whose packet type is in the L0 store `store`.

    Returns a DecodeResult; each ProductResult holds its records in `data` (with `keep`).
    """
    result = DecodeResult("<store>")
    present = set(store["TM"].keys())
    for product in select_products(products):
        packet_type = product.packet
        if packet_type not in present:
            continue
        started = time.perf_counter()
        pr = ProductResult(product.name, packet_type)
        try:
            pr.packets = packet_count(product.packet_group(store))
        except Exception:
            pass   # the decoder says what is wrong with the group
        if _available(product, pr):
            _decode_part(product, store, pr)
            judge(product, pr)
        if not keep:
            pr.data = None
        pr.seconds = time.perf_counter() - started
        result.products.append(pr)
    return result


def _available(product, result):
    try:
        product.decoder()
    except (ImportError, AttributeError) as exc:
        result.status, result.message = SKIPPED, f"decoder not available ({first_line(exc)})"
        return False
    return True


def plan(f, products=None, notes=None):
    """[(product, packet type)] to decode from the open L0 file `f`; notes the packet types
    nobody decodes and, when products were named, those with no packets in the file."""
    present = set(f["TM"].keys())
    if notes is not None:
        known = {name for p in registry.PRODUCTS for name in p.packets}
        notes.extend(f"packet type {name} is not decoded by any product" for name in sorted(present - known))
    todo = []
    for product in select_products(products):
        packet_type = product.packet
        if packet_type in present:
            todo.append((product, packet_type))
        elif products and notes is not None:
            notes.append(f"{product.name}: no {packet_type} packets in the file")
    return todo


class Interrupted(Exception):
    """The run was asked to stop (Ctrl-C): raised between windows and chunks, never from a
    signal handler, so that no library in between can swallow it."""


# Records of one window are kept to about this many bytes (and so are its L0 packets); the
# first window of a product is small, and tells how big a unit's records are.
WINDOW_BYTES = 64 << 20
FIRST_WINDOW_UNITS = 8


def unit_starts(f, product, packet_type):
    """(order, starts): the packet order the decoder works in and where each unit starts in
    it; None when the file's packets cannot be cut into units (the decoder then gets them
    whole and says what is wrong)."""
    try:
        n = packets_on_file(f, packet_type)
        source = source_data(f, packet_type)
        group = {name: source[name][()] for name in product.unit_params()}
        units = product.units(group, n)
        if units is None:
            return None
        order, unit = units
        order, unit = np.asarray(order, dtype=np.int64), np.asarray(unit)
        if order.shape != (n,) or unit.shape != (n,) or (n and np.any(np.diff(unit) < 0)):
            return None
        if n and (order.min() < 0 or order.max() >= n):
            return None
    except Exception:
        return None
    starts = np.flatnonzero(np.r_[True, unit[1:] != unit[:-1]]) if n else np.zeros(0, np.int64)
    return order, starts


def _packet_bytes(f, packet_type):
    source = source_data(f, packet_type)
    return sum(d.dtype.itemsize * int(np.prod(d.shape[1:], dtype=np.int64))
               for d in source.values() if d.ndim > 0)


def _windows(f, product, packet_type, window_bytes):
    """Yields the packet rows (increasing) of each window of whole units, sized as the
    records of the previous ones tell; a single None when the product is decoded whole."""
    cut = unit_starts(f, product, packet_type) if window_bytes else None
    if cut is None or len(cut[1]) <= FIRST_WINDOW_UNITS:
        yield None
        return
    order, starts = cut
    bounds = np.r_[starts, len(order)]
    per_packet = max(1, _packet_bytes(f, packet_type))
    pos, size = 0, FIRST_WINDOW_UNITS
    while pos < len(starts):
        end = min(len(starts), pos + size)
        a, b = int(bounds[pos]), int(bounds[end])
        record_bytes = yield np.sort(order[a:b])
        per_unit = max(int(record_bytes or 0), (b - a) * per_packet) / (end - pos)
        size = max(1, int(window_bytes // max(1.0, per_unit)))
        pos = end


def decode_product(f, product, packet_type, sink=None, window_bytes=None, interrupted=None):
    """Decodes one product from the open L0 file `f`; returns its ProductResult.

    Without `sink` the records are kept in `data` (None when the product failed or was
    skipped). With `sink` (an object with begin(product, dtype), append(records) and
    drop(product)), they are handed over window by window, windows of whole units of about
    `window_bytes` of records, and not kept; a product that fails half way is dropped from the
    sink. `interrupted()`, checked between windows, raises Interrupted when it says so.
    """
    started = time.perf_counter()
    result = ProductResult(product.name, packet_type)
    try:
        result.packets = packets_on_file(f, packet_type)
    except Exception:
        pass   # said when the group is read
    if _available(product, result):
        begun = False
        try:
            windows = _windows(f, product, packet_type, window_bytes if sink is not None else None)
            rows = next(windows)
            kept = []
            sources = {name: datasets(f, name) for name in product.packets if name in f["TM"]}
            while True:
                check(interrupted)
                groups = {name: read_packet_group(source, rows if name == packet_type else None)
                          for name, source in sources.items()}
                part = ProductResult(product.name, packet_type, packets=packet_count(groups.get(packet_type, {})))
                _decode_part(product, l0_store(groups), part)
                del groups
                result.reports += part.reports
                result.warnings += part.warnings
                if part.status == FAILED:
                    result.status, result.message = FAILED, part.message
                    break
                result.records += part.records
                if sink is None:
                    kept.append(part.data)
                else:
                    if not begun:
                        sink.begin(product.name, part.data.dtype)
                        begun = True
                    check(interrupted)
                    sink.append(part.data)
                if rows is None:
                    break
                try:
                    rows = windows.send(part.data.nbytes)
                except StopIteration:
                    break
                finally:
                    part.data = None
            if result.status == FAILED:
                if begun:
                    sink.drop(product.name)
            elif sink is None:
                result.data = kept[0] if len(kept) == 1 else np.concatenate(kept)
            judge(product, result)
        except (Interrupted, OutputError):
            raise       # the whole run stops
        except Exception as exc:
            if begun:
                sink.drop(product.name)
            result.status, result.message = FAILED, f"{type(exc).__name__}: {first_line(exc)}"
            result.data = None
    result.seconds = time.perf_counter() - started
    return result


def check(interrupted):
    """Raises Interrupted when `interrupted()` says the run is to stop."""
    if interrupted is not None and interrupted():
        raise Interrupted()


def iter_products(l0_path, products=None, notes=None):
    """Yields the ProductResult of every selected product of the L0 file, one at a time (each
    holds its records until the caller drops it)."""
    with open_l0(l0_path) as f:
        for product, packet_type in plan(f, products, notes):
            yield decode_product(f, product, packet_type)


def decode_file(l0_path, products=None):
    """Decodes an L0 HDF5 file; every ProductResult keeps its records in `data`.

    Input that cannot be used at all raises InputError; a failing product is recorded in its
    ProductResult and the others go on.
    """
    import os

    result = DecodeResult(os.fspath(l0_path))
    result.products = list(iter_products(l0_path, products, result.notes))
    return result
