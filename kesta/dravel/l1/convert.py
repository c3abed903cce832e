"""L0 file in, L1 files out: decode every selected product and write it in the chosen format.

``hdf5`` writes one L1 file holding every product; ``cdf`` and ``netcdf`` write one file per
product into a folder. The output is checked before any decoding; every file is written under
a temporary name and appears only once complete.
"""
from __future__ import annotations

import os

from .decode import (FAILED, SKIPPED, WINDOW_BYTES, DecodeResult, Interrupted, check, decode_product,
                     plan)
from . import output
from .errors import InputError, OutputError
from .store import open_l0

FORMATS = ("hdf5", "cdf", "netcdf")


def convert(l0_path, output, format="hdf5", products=None, data_version="01", overwrite=False,
            progress=None, window_bytes=WINDOW_BYTES, interrupted=None):
    """Decodes the L0 file `l0_path` and writes its products; returns the DecodeResult (records
    not kept). `output` is the L1 file (hdf5) or the folder of per-product files (cdf, netcdf).

    Unusable input raises InputError and an unusable output OutputError, both before any
    decoding; a product that fails is recorded in its ProductResult and the others go on.
    `progress`, when given, is called with each ProductResult as it is done.

    The HDF5 file is written window by window (`window_bytes` of records at a time, in whole
    units; None decodes every product whole), so memory does not grow with the file; CDF and
    netCDF files hold one product each and are written from its whole records.
    `interrupted()`, checked between windows and chunks, stops the run with Interrupted and
    leaves no file behind.
    """
    if format not in FORMATS:
        raise InputError(f"unknown format {format!r}; known: {', '.join(FORMATS)}")
    l0_path, output = os.fspath(l0_path), os.fspath(output)
    result = DecodeResult(l0_path)
    with open_l0(l0_path) as f:
        todo = plan(f, products, result.notes)
        if format == "hdf5":
            _check_not_input(l0_path, output)
            _to_hdf5(f, todo, output, result, progress, window_bytes, interrupted)
        else:
            _to_files(f, todo, output, format, data_version, overwrite, result, progress, interrupted)
    return result


def _check_not_input(l0_path, output):
    if os.path.exists(output) and os.path.samefile(l0_path, output):
        raise InputError(f"{output}: the output would overwrite the input")


def _to_hdf5(f, todo, path, result, progress, window_bytes, interrupted):
    from .aside import Aside
    from .hdf5 import L1Writer

    with L1Writer(path, result.input, interrupted=interrupted) as writer:
        aside = Aside.start(result.input, todo, f, path)
        try:
            done_by_name = {}
            for product, packet_type in todo:
                if aside.has(product):
                    continue
                done = decode_product(f, product, packet_type, sink=writer, window_bytes=window_bytes,
                                      interrupted=interrupted)
                if done.status not in (FAILED, SKIPPED):
                    writer.end(done)
                done_by_name[product.name] = done
                if progress:
                    progress(done)
            for done in aside.results(f, writer, interrupted):
                done_by_name[done.product] = done
                if progress:
                    progress(done)
        finally:
            aside.stop()
        result.products.extend(done_by_name[product.name] for product, _ in todo)
        check(interrupted)      # asked to stop at the very end: still nothing is left behind
    result.outputs.append(path)


def _to_files(f, todo, folder, format, data_version, overwrite, result, progress, interrupted):
    output.check_folder(folder, create=True)
    if format == "cdf":
        from .cdf import write_cdf as write
    else:
        from .netcdf import write_netcdf as write
    try:
        for product, packet_type in todo:
            done = decode_product(f, product, packet_type, interrupted=interrupted)
            if done.data is not None:
                kwargs = {"parents": os.path.basename(result.input), "overwrite": overwrite}
                if format == "cdf":
                    kwargs["data_version"] = data_version
                written = write(done.data, product, folder, **kwargs)
                for path in written:        # gone too should the run be cut short
                    output.guard(path)
                result.outputs.extend(written)
                if not written:
                    result.notes.append(f"{product.name}: no records, no file written")
            done.data = None
            result.products.append(done)
            if progress:
                progress(done)
            check(interrupted)
    except (Interrupted, OutputError):
        for path in result.outputs:     # a run that cannot finish leaves none of its files
            try:
                os.unlink(path)
            except OSError:
                pass
        result.outputs.clear()
        raise
    finally:
        for path in result.outputs:
            output.unguard(path)
