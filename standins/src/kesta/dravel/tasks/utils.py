"""Pure utilities of the plug-in (stand-in)."""

import numpy as np


def sort_data(data, keys):
    """Reorder every parameter of a packet group by one common permutation.

    `keys` is a tuple of per-packet arrays; the last key is the primary one (as `numpy.lexsort`).
    Returns (sorted group, permutation). The sort is stable.
    """
    keys = tuple(np.asarray(k).reshape(-1) for k in keys)
    if keys:
        order = np.lexsort(keys)
    else:
        order = np.arange(0)
    result = {}
    for name in data.keys():
        values = np.asarray(data[name])
        if values.ndim == 0 or values.shape[0] != order.shape[0]:
            raise ValueError(
                f"parameter {name!r} has {values.shape[0] if values.ndim else 0} packets, "
                f"the sort keys have {order.shape[0]}"
            )
        result[name] = values[order]
    return result, order
