"""L0 file in, L1 files out: decode every selected product and write it in the chosen format.

``hdf5`` writes one L1 file holding every product; ``cdf`` and ``netcdf`` one file per product
and UTC day into a folder. The output is checked before any decoding; files are written under
temporary names and appear only once the whole run is complete.
"""

from __future__ import annotations

import os
from collections.abc import Callable
from typing import Any

from kesta.dravel.products import Product

from .aside import Aside
from .decode import FileSource, decode_product, plan
from .errors import InputError, check
from .results import DecodeResult, ProductResult
from .store import open_l0
from .windows import WINDOW_BYTES
from .writers import FORMATS, writer_for

__all__ = ["FORMATS", "convert"]


def convert(
    l0_path: str | os.PathLike[str],
    output: str | os.PathLike[str],
    format: str = "hdf5",
    products: list[str] | None = None,
    data_version: str | int = "01",
    overwrite: bool = False,
    progress: Callable[[ProductResult], object] | None = None,
    window_bytes: int | None = WINDOW_BYTES,
    interrupted: Callable[[], bool] | None = None,
    writer_options: dict[str, Any] | None = None,
) -> DecodeResult:
    """Decodes the L0 file `l0_path` and writes its products; returns the DecodeResult (records
    not kept). `output` is the L1 file (hdf5) or the folder of day files (cdf, netcdf).

    Unusable input raises InputError and an unusable output OutputError (an existing file too,
    unless `overwrite`), both before any decoding; a product that fails is recorded in its
    ProductResult and the others go on. `progress`, when given, is called with each
    ProductResult as it is done.

    Records are decoded and written window by window (`window_bytes` of records at a time, in
    whole units; None decodes every product whole), so memory does not grow with the file.
    `interrupted()`, checked between windows and chunks, stops the run with Interrupted and
    leaves no file behind. `writer_options` go to the format's writer (hdf5: `epochs`).
    """
    opener = writer_for(format)
    l0_path, output = os.fspath(l0_path), os.fspath(output)
    result = DecodeResult(l0_path)
    with open_l0(l0_path) as f:
        todo = plan(f, products, result.notes)
        if os.path.isfile(output) and os.path.samefile(l0_path, output):
            raise InputError(f"{output}: the output would overwrite the input")
        with opener(
            output,
            source=l0_path,
            overwrite=overwrite,
            data_version=data_version,
            interrupted=interrupted,
            **(writer_options or {}),
        ) as writer:
            done = _decode(FileSource(f, window_bytes), todo, writer, progress, interrupted)
            result.products.extend(done[product.name] for product, _ in todo)
            check(interrupted)  # asked to stop at the very end: still nothing is left behind
    result.outputs = list(writer.outputs)
    return result


def _decode(
    source: FileSource,
    todo: list[tuple[Product, str]],
    writer: Any,
    progress: Callable[[ProductResult], object] | None,
    interrupted: Callable[[], bool] | None,
) -> dict[str, ProductResult]:
    """{product name: ProductResult} of `todo` decoded into `writer`; the THR products go to a
    second process meanwhile, when worth it."""
    aside = Aside.start(source.f, todo, writer.scratch("aside"), source.window_bytes)
    done = {}
    try:
        for product, packet_type in todo:
            if not aside.has(product):
                done[product.name] = decode_product(source, product, packet_type, writer, interrupted)
                progress and progress(done[product.name])
        for result in aside.results(source, writer, interrupted):
            done[result.product] = result
            progress and progress(result)
    finally:
        aside.stop()
    return done
