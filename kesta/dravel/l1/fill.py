"""Fill values: the value standing where nothing was measured, by element type, as the
pipeline's fill-value component gives them."""

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
