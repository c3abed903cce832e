"""Fill values: the value standing where nothing was measured, by element type, as the
pipeline's fill-value component gives them, and records holding them."""

from __future__ import annotations

from typing import Any

import numpy as np
from numpy.typing import DTypeLike


def fill_value(dtype: DTypeLike) -> Any:
    """The fill value of an element type, from the pipeline's fill-value component."""
    # lazy: the pipeline's component, bound when first used (the package imports without it)
    from tesmo.converters.cdf_fill import CDFToFill

    dtype = np.dtype(dtype)
    return np.asarray(CDFToFill()(dtype.name)).astype(dtype)[()]


def filled_records(count: int, dtype: DTypeLike) -> np.ndarray:
    """`count` records of `dtype` with every field at its fill value, as a decoder's records
    are before it sets what it decoded."""
    # lazy: the pipeline's component, bound when first used (the package imports without it)
    from tesmo.converters.cdf_fill import fill_records

    out = np.zeros(count, dtype=dtype)
    fill_records(out)
    return out
