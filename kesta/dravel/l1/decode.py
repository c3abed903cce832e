"""The decode loop: L0 packets in, window by window, to a writer, product by product.

A product is decoded from its own packet types only. From a file, its packets are read when its
turn comes, in windows of whole units (`windows`), so memory holds one window's packets and
records at a time; an in-memory store is handed to the decoders whole. Whatever becomes of a
product, the writer is told how it ended (`Writer.end`), so every product of a run leaves its
status behind.
"""

from __future__ import annotations

import os
import time
from collections.abc import Callable, Generator, Iterable, Iterator, Mapping
from typing import Any

import numpy as np

from kesta.dravel import products as registry

from .errors import InputError, Interrupted, OutputError, check
from .logs import counting_warnings
from .results import FAILED, SKIPPED, DecodeResult, ProductResult, judge
from .store import (
    DAMAGED,
    ListTask,
    datasets,
    first_line,
    l0_store,
    open_l0,
    packet_count,
    packet_types,
    packets_on_file,
    read_packet_group,
)
from .windows import cut_windows
from .writers import MemoryWriter


def select_products(names: Iterable[str] | None = None) -> list[registry.Product]:
    """The registry entries named in `names` (all when empty), in registry order."""
    if not names:
        return list(registry.PRODUCTS)
    unknown = [n for n in names if n not in registry.BY_NAME]
    if unknown:
        raise InputError(f"unknown product(s) {', '.join(unknown)}; known: {', '.join(registry.BY_NAME)}")
    wanted = set(names)
    return [p for p in registry.PRODUCTS if p.name in wanted]


def plan(
    l0: Any, products: Iterable[str] | None = None, notes: list[str] | None = None
) -> list[tuple[registry.Product, str]]:
    """[(product, packet type)] to decode from the L0 file or store `l0`; notes the packet
    types nobody decodes and, when products were named, those with no packets."""
    present = packet_types(l0) if hasattr(l0, "filename") else set(l0["TM"].keys())
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


# --------------------------------------------------------------------------------------------
# Where packets come from


class FileSource:
    """An open L0 file: each product's packets read window by window."""

    def __init__(self, f: Any, window_bytes: int | None = None) -> None:
        self.f, self.window_bytes = f, window_bytes

    def packets(self, product: registry.Product, packet_type: str) -> int:
        return packets_on_file(self.f, packet_type)

    def windows(self, product: registry.Product, packet_type: str) -> Generator[dict, int | None, None]:
        """The L0 store of each window (a generator: send it the bytes of the last window's
        records)."""
        rows_of = cut_windows(self.f, product, packet_type, self.window_bytes)
        rows = next(rows_of)
        sources = {name: datasets(self.f, name) for name in product.packets if name in self.f["TM"]}
        while True:
            groups = {
                name: read_packet_group(source, rows if name == packet_type else None)
                for name, source in sources.items()
            }
            record_bytes = yield l0_store(groups)
            del groups
            if rows is None:
                return
            try:
                rows = rows_of.send(record_bytes)
            except StopIteration:
                return


class StoreSource:
    """An L0 store in memory (a mapping, as the pipeline hands it): decoded whole."""

    def __init__(self, store: Mapping[str, Any]) -> None:
        self.store = store

    def packets(self, product: registry.Product, packet_type: str) -> int:
        return packet_count(product.packet_group(self.store))

    def windows(self, product: registry.Product, packet_type: str) -> Generator[Mapping[str, Any], object, None]:
        yield self.store


# --------------------------------------------------------------------------------------------
# Decoding


def decode_part(product: registry.Product, store: Mapping[str, Any], result: ProductResult) -> None:
    """Runs the decoder of `product` on the L0 store `store`; fills `result`, its records kept
    in result.data."""
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
    except Exception as exc:  # noqa: BLE001 - one product failing does not stop the others
        result.status, result.message = FAILED, f"{type(exc).__name__}: {first_line(exc)}"
        result.data = None
    result.reports = [str(r) for r in task.reports]


def _available(product: registry.Product, result: ProductResult) -> bool:
    try:
        product.decoder()
    except (ImportError, AttributeError) as exc:
        result.status, result.message = SKIPPED, f"decoder not available ({first_line(exc)})"
        return False
    return True


def decode_product(
    source: FileSource | StoreSource,
    product: registry.Product,
    packet_type: str,
    writer: Any,
    interrupted: Callable[[], bool] | None = None,
) -> ProductResult:
    """Decodes one product from `source` (FileSource or StoreSource) into `writer`, window by
    window, and ends it there with its ProductResult, which it returns.

    A product whose decoder fails half way ends failed (the writer drops what it had of it);
    `interrupted()`, checked between windows, stops the run with Interrupted."""
    started = time.perf_counter()
    result = ProductResult(product.name, packet_type)
    try:
        result.packets = source.packets(product, packet_type)
    except DAMAGED + (AttributeError,):
        pass  # a group that cannot be read: the product fails, with the reason, when it is read
    if _available(product, result):
        begun = False
        try:
            windows = source.windows(product, packet_type)
            store = next(windows)
            carried = None  # what the windows decoded so far hand on to the next
            while True:
                check(interrupted)
                part = ProductResult(product.name, packet_type)
                decode_part(product, store, part)
                result.reports += part.reports
                result.warnings += part.warnings
                if part.status == FAILED:
                    result.status, result.message = FAILED, part.message
                    break
                records, carried = product.carry_over(product.packet_group(store), part.data, part.reports, carried)
                part.data = records
                del store
                result.records += part.records
                if not begun:
                    writer.begin(product.name, records.dtype)
                    begun = True
                check(interrupted)
                writer.append(records)
                try:
                    store = windows.send(records.nbytes)
                except StopIteration:
                    break
                finally:
                    part.data = records = None  # this window's records go before the next is read
            judge(product, result)
        except (Interrupted, OutputError):
            raise  # the whole run stops
        except Exception as exc:  # noqa: BLE001 - one product failing does not stop the others
            result.status, result.message = FAILED, f"{type(exc).__name__}: {first_line(exc)}"
    result.seconds = time.perf_counter() - started
    writer.end(result)
    return result


def decode_products(
    source: FileSource | StoreSource,
    todo: Iterable[tuple[registry.Product, str]],
    writer: Any,
    interrupted: Callable[[], bool] | None = None,
) -> Iterator[ProductResult]:
    """Yields the ProductResult of each product of `todo` once decoded into `writer`."""
    for product, packet_type in todo:
        yield decode_product(source, product, packet_type, writer, interrupted)


# --------------------------------------------------------------------------------------------
# Records kept in memory


def decode_store(store: Mapping[str, Any], products: Iterable[str] | None = None, keep: bool = True) -> DecodeResult:
    """Decodes every selected product whose packet type is in the L0 store `store`.

    Returns a DecodeResult; each ProductResult holds its records in `data` (with `keep`).
    """
    result = DecodeResult("<store>")
    todo = plan(store, products)
    result.products = list(decode_products(StoreSource(store), todo, MemoryWriter(keep)))
    return result


def iter_products(
    l0_path: str | os.PathLike[str], products: Iterable[str] | None = None, notes: list[str] | None = None
) -> Iterator[ProductResult]:
    """Yields the ProductResult of every selected product of the L0 file, one at a time (each
    holds its records until the caller drops it)."""
    with open_l0(l0_path) as f:
        yield from decode_products(FileSource(f), plan(f, products, notes), MemoryWriter())


def decode_file(l0_path: str | os.PathLike[str], products: Iterable[str] | None = None) -> DecodeResult:
    """Decodes an L0 HDF5 file; every ProductResult keeps its records in `data`.

    Input that cannot be used at all raises InputError; a failing product is recorded in its
    ProductResult and the others go on.
    """
    result = DecodeResult(os.fspath(l0_path))
    result.products = list(iter_products(l0_path, products, result.notes))
    return result
