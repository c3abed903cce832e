"""The L1 library: decode L0 stores and files into per-product records, and write and read them
as HDF5, ISTP CDF and netCDF files or xarray datasets.

    from kesta.dravel import l1

    result = l1.decode_file("L0.h5")             # every product, records in memory
    records = result["tswf"].data
    l1.convert("L0.h5", "L1/", format="cdf")      # one ISTP CDF per product
"""

import importlib
from typing import Any

from .convert import FORMATS, convert
from .decode import decode_file, decode_store, iter_products, select_products
from .errors import DravelError, InputError, Interrupted, OutputError, WriteError
from .results import FAILED, OK, PARTIAL, SKIPPED, DecodeResult, ProductResult
from .store import ListTask, l0_store, open_l0, read_l0


def __getattr__(name: str) -> Any:
    # The format modules load their libraries (xarray, the CDF library) only when asked for.
    lazy = {
        "to_dataset": "dataset",
        "write_cdf": "cdf",
        "read_cdf": "cdf",
        "write_netcdf": "netcdf",
        "read_netcdf": "netcdf",
        "quicklook_file": "quicklook",
        "stored_name": "attributes",
    }
    if name in lazy:
        return getattr(importlib.import_module(f"{__name__}.{lazy[name]}"), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


__all__ = [
    "FORMATS",
    "convert",
    "OK",
    "PARTIAL",
    "FAILED",
    "SKIPPED",
    "DecodeResult",
    "ProductResult",
    "decode_file",
    "decode_store",
    "iter_products",
    "select_products",
    "DravelError",
    "InputError",
    "OutputError",
    "WriteError",
    "Interrupted",
    "ListTask",
    "l0_store",
    "open_l0",
    "read_l0",
    "to_dataset",
    "write_cdf",
    "read_cdf",
    "write_netcdf",
    "read_netcdf",
    "quicklook_file",
    "stored_name",
]
