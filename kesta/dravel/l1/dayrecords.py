"""What a day file holds of a product's records: one record per time.

The decoders' records are what the pipeline gets; a day file (CDF, netCDF) and the HAPI server
hold the product's day records, made from them: the same records for most products, regrouped
where several decoder records share one measurement time (the records of one calibration
packet, the bands of one TNR sweep), so that Epoch strictly increases in every day file.
"""
from __future__ import annotations

import numpy as np


def day_dtype(product, dtype=None):
    """The layout of `product`'s day records, made from decoder records of layout `dtype`
    (default: the product's own record layout)."""
    if dtype is None:
        from kesta.dravel.products import BY_NAME

        dtype = BY_NAME[product].record_dtype()
    return np.dtype(dtype)


def day_batches(product, batches):
    """The day records of `product` made from `batches` of its decoder records in stable time
    order, a batch at a time."""
    yield from batches
