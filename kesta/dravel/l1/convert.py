"""L0 file in, L1 files out: decode every selected product and write it in the chosen format.

``hdf5`` writes one L1 file holding every product; ``cdf`` and ``netcdf`` write one file per
product into a folder. The output is checked before any decoding; every file is written under
a temporary name and appears only once complete.
"""
from __future__ import annotations

import os

from .decode import DecodeResult, FAILED, decode_product, plan
from .errors import InputError
from .store import first_line, open_l0

FORMATS = ("hdf5", "cdf", "netcdf")


def convert(l0_path, output, format="hdf5", products=None, data_version="01", overwrite=False,
            progress=None):
    """Decodes the L0 file `l0_path` and writes its products; returns the DecodeResult (records
    not kept). `output` is the L1 file (hdf5) or the folder of per-product files (cdf, netcdf).

    Unusable input raises InputError and an unusable output OutputError, both before any
    decoding; a product that fails is recorded in its ProductResult and the others go on.
    `progress`, when given, is called with each ProductResult as it is done.
    """
    if format not in FORMATS:
        raise InputError(f"unknown format {format!r}; known: {', '.join(FORMATS)}")
    l0_path, output = os.fspath(l0_path), os.fspath(output)
    result = DecodeResult(l0_path)
    with open_l0(l0_path) as f:
        todo = plan(f, products, result.notes)
        if format == "hdf5":
            _check_not_input(l0_path, output)
            _to_hdf5(f, todo, output, result, progress)
        else:
            _to_files(f, todo, output, format, data_version, overwrite, result, progress)
    return result


def _check_not_input(l0_path, output):
    if os.path.exists(output) and os.path.samefile(l0_path, output):
        raise InputError(f"{output}: the output would overwrite the input")


def _to_hdf5(f, todo, path, result, progress):
    from .hdf5 import L1Writer

    with L1Writer(path, result.input) as writer:
        for product, packet_type in todo:
            done = decode_product(f, product, packet_type)
            if done.data is not None:
                try:
                    writer.write(done)
                except Exception as exc:
                    from .errors import OutputError

                    if isinstance(exc, OutputError):
                        raise
                    writer.drop(done.product)
                    done.status, done.message = FAILED, f"cannot write records: {first_line(exc)}"
            done.data = None
            result.products.append(done)
            if progress:
                progress(done)
    result.outputs.append(path)


def _to_files(f, todo, folder, format, data_version, overwrite, result, progress):
    from .output import check_folder

    check_folder(folder, create=True)
    if format == "cdf":
        from .cdf import write_cdf as write
    else:
        from .netcdf import write_netcdf as write
    for product, packet_type in todo:
        done = decode_product(f, product, packet_type)
        if done.data is not None:
            kwargs = {"parents": os.path.basename(result.input), "overwrite": overwrite}
            if format == "cdf":
                kwargs["data_version"] = data_version
            path = write(done.data, product, folder, **kwargs)
            if path:
                result.outputs.append(path)
        done.data = None
        result.products.append(done)
        if progress:
            progress(done)
