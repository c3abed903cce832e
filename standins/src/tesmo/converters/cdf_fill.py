"""Per-field fill values of record arrays (stand-in).

Fill value by element type: signed integers their minimum (int8 -128 ... int64 -2**63),
unsigned integers their maximum (uint8 255 ... uint64 2**64 - 1), floating point -1e31.
Nested records and sub-arrays are filled element by element.
"""

import numpy as np

_FLOAT_FILL = -1.0e31


def fill_value(dtype):
    """Fill value of one element type, as a scalar of that type."""
    dtype = np.dtype(dtype)
    if dtype.kind == "i":
        return dtype.type(np.iinfo(dtype).min)
    if dtype.kind == "u":
        return dtype.type(np.iinfo(dtype).max)
    if dtype.kind == "f":
        return dtype.type(_FLOAT_FILL)
    if dtype.kind == "b":
        return dtype.type(False)
    if dtype.kind in "SU":
        return dtype.type("")
    raise TypeError(f"no fill value for element type {dtype}")


class CDFToFill:
    """Provider of fill values: ``CDFToFill()("int16")`` gives -32768."""

    def __call__(self, type_name):
        return fill_value(type_name)


def _fill_template(record, dtype):
    for name in dtype.names:
        sub = dtype.fields[name][0]
        base = sub.base
        if base.names is not None:
            view = record[name]
            if sub.shape:
                for idx in np.ndindex(sub.shape):
                    _fill_template(view[idx], base)
            else:
                _fill_template(view, base)
        else:
            record[name] = fill_value(base)


_templates = {}


def _template(dtype):
    """One record holding every field's fill value, as raw bytes (cached per layout)."""
    key = dtype.descr if dtype.names else dtype
    key = repr(key)
    raw = _templates.get(key)
    if raw is None:
        one = np.zeros(1, dtype=dtype)
        _fill_template(one[0], dtype)
        raw = one.view(np.uint8).copy()
        _templates[key] = raw
    return raw


def fill_records(array):
    """Set every field of every record of `array` to its fill value, in place; returns `array`."""
    dtype = array.dtype
    if dtype.names is None:
        array[...] = fill_value(dtype)
        return array
    if array.size == 0:
        return array
    raw = _template(dtype)
    if array.flags.c_contiguous:
        array.reshape(-1).view(np.uint8).reshape(array.size, dtype.itemsize)[:] = raw
    else:
        array[...] = raw.view(dtype)[0]
    return array
