"""Record arrays compared the one way every test compares them."""

import numpy as np


def assert_same_records(got, want, *, exact=False, label=""):
    """`got` holds the records of `want`: the same record type and shape, every field equal
    (a NaN equal to a NaN in the same place), and with `exact` the same bytes as well. `label`
    names the records in the failure message."""
    where = f"{label}: " if label else ""
    assert got.dtype == want.dtype, f"{where}{got.dtype} != {want.dtype}"
    assert got.shape == want.shape, f"{where}{got.shape} != {want.shape}"
    for name in want.dtype.names:
        np.testing.assert_array_equal(got[name], want[name], err_msg=f"{where}field {name}")
    if exact:
        assert got.tobytes() == want.tobytes(), f"{where}bytes differ"
