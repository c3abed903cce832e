"""Small simulated stores of every product, and the ways hostile telemetry mangles them.

Shared by the hardening tests (property, leak and thread tests) and by the fuzzer in
fuzz/fuzz_decoders.py. Every case is a pure function of its arguments (product name, seed and
the mutations drawn), so a failing case can be rebuilt or pickled as it is.

Mutations draw their choices from a `Chooser`: the property tests use one backed by
hypothesis (so failures shrink), the fuzzer one backed by a seeded random generator.
"""

from __future__ import annotations

import copy
import importlib
import random
import re
from dataclasses import dataclass, field

import numpy as np

from kesta.dravel import products as registry

# --------------------------------------------------------------------------------------------
# Products and decoders

PRODUCTS = registry.BY_NAME
# The eight decoder modules by name, with the products each makes.
DECODERS = {}
for _p in registry.PRODUCTS:
    DECODERS.setdefault(_p.decoder_name, []).append(_p.name)
# Short names used on the fuzzer's command line: {short name: decoder module name}.
ALIASES = {p.short: p.decoder_name for p in registry.PRODUCTS}


def available(product):
    """True when the product's decoder module is built and importable."""
    try:
        importlib.import_module(PRODUCTS[product].module)
    except ImportError:
        return False
    return True


def available_products():
    return [name for name in PRODUCTS if available(name)]


def packet_name(product):
    return PRODUCTS[product].packet


def group_of(l0, product):
    """The product's packet group in store `l0`."""
    return PRODUCTS[product].packet_group(l0)


def call(product, l0, task):
    """Calls the product's decoder on store `l0` (a THR decoder is handed the packet group).

    Unlike Product.decode, a store whose structure is broken still reaches the THR decoder: the
    group is looked up here leniently and whatever is found is what the decoder gets.
    """
    p = PRODUCTS[product]
    try:
        argument = p.decoder_input(l0)
    except (KeyError, TypeError, IndexError):
        argument = l0.get("__thr_group__") if isinstance(l0, dict) else None
    return p.call(argument, task)


class CountingTask:
    """A task that only counts its reports (keeps no message, so nothing grows with calls)."""

    def __init__(self):
        self.reports = 0

    def exception(self, message):
        self.reports += 1


# --------------------------------------------------------------------------------------------
# Clean stores with their expected records


@dataclass
class Case:
    product: str
    l0: dict
    records: np.ndarray
    reports: int
    mutations: list = field(default_factory=list)


def clean_case(product, seed, anomalies=False):
    """A small valid store of `product` (with units to report and skip when `anomalies`)."""
    rng = np.random.default_rng(seed)
    return Case(product, *PRODUCTS[product].simulated_case(rng, anomalies))


# --------------------------------------------------------------------------------------------
# Choosers


class RandomChooser:
    """Choices from a seeded random generator (the fuzzer)."""

    def __init__(self, seed):
        self.rng = random.Random(seed)

    def integers(self, lo, hi):
        return self.rng.randint(lo, hi)

    def choice(self, seq):
        return seq[self.rng.randrange(len(seq))]


class DataChooser:
    """Choices drawn through hypothesis's `data` object (the property tests)."""

    def __init__(self, data):
        from hypothesis import strategies as st

        self.data, self.st = data, st

    def integers(self, lo, hi):
        return self.data.draw(self.st.integers(lo, hi))

    def choice(self, seq):
        return self.data.draw(self.st.sampled_from(list(seq)))


# --------------------------------------------------------------------------------------------
# Mutations of one parameter

SPECIAL_NUMBERS = (
    0,
    1,
    2,
    3,
    4,
    5,
    7,
    8,
    9,
    127,
    128,
    200,
    201,
    255,
    256,
    511,
    512,
    513,
    2032,
    4096,
    65535,
    65536,
    2**31 - 1,
    2**31,
    2**32 - 1,
    2**32,
    2**63 - 1,
    2**64 - 1,
    -1,
    -2,
    -128,
    -32768,
    -(2**31),
    -(2**63),
)
SPECIAL_FLOATS = (float("nan"), float("inf"), float("-inf"), 1e300, -1e300, 0.5, -0.5, 1e19)
DTYPES = (
    "float64",
    "float32",
    "int8",
    "int64",
    "uint64",
    "bool",
    "complex128",
    "object",
    "bytes",
    "str",
    "big-endian",
    "little-endian",
)


def _as_array(value):
    return np.asarray(value) if not isinstance(value, np.ndarray) else value


def _retype(a, chooser):
    target = chooser.choice(DTYPES)
    if target == "object":
        return a.astype(object), target
    if target == "bytes":
        return a.astype("S8"), target
    if target == "str":
        return a.astype("U8"), target
    if target in ("big-endian", "little-endian"):
        order = ">" if target == "big-endian" else "<"
        dt = a.dtype if a.dtype.kind in "iuf" else np.dtype("uint16")
        return a.astype(dt.newbyteorder(order)), target
    with np.errstate(all="ignore"):
        return a.astype(target), target


def _value_array(a, value):
    """`a` with every element set to `value`, in a type that can hold it."""
    if isinstance(value, float):
        out = a.astype("float64")
    elif value > np.iinfo(np.int64).max:
        out = a.astype("uint64")
    elif a.dtype.kind in "iu" and np.can_cast(np.min_scalar_type(value), a.dtype):
        out = a.copy()
    else:
        out = a.astype("int64")
    out[...] = value
    return out


def _poke(a, chooser):
    """One or a few elements set to a lying value; the array keeps its type when it can."""
    out = a.copy()
    if out.size == 0:
        return out, "poke on empty"
    what = []
    for _ in range(chooser.integers(1, 3)):
        idx = chooser.integers(0, out.size - 1)
        if out.dtype.kind in "iu":
            info = np.iinfo(out.dtype)
            value = chooser.choice(
                [v for v in SPECIAL_NUMBERS if info.min <= v <= info.max] + [int(info.max), int(info.min)]
            )
            value = max(min(value + chooser.integers(-1, 1), int(info.max)), int(info.min))
        elif out.dtype.kind == "f":
            value = chooser.choice(SPECIAL_FLOATS + SPECIAL_NUMBERS[:12])
        else:
            return out, "poke on non-numbers"
        out.flat[idx] = value
        what.append(f"[{idx}]={value}")
    return out, "poke " + ",".join(what)


PARAM_MUTATIONS = (
    "drop",
    "truncate",
    "empty",
    "extend",
    "ravel",
    "to3d",
    "scalar",
    "narrow",
    "dtype",
    "fill",
    "negative",
    "nan",
    "none",
    "list",
    "poke",
    "poke",
    "poke",
    "poke",
)


def mutate_parameter(group, param, chooser, kind=None):
    """Mangles parameter `param` of packet group `group` (a dict) in place; returns a description.

    `kind` is one of PARAM_MUTATIONS, drawn when not given."""
    kind = kind or chooser.choice(PARAM_MUTATIONS)
    before = group[param]
    try:
        return _mutate(group, param, kind, chooser)
    except (TypeError, ValueError, OverflowError):  # the value no longer lends itself to `kind`
        group[param] = before
        return f"{param} unchanged ({kind} does not apply)"


def _mutate(group, param, kind, chooser):
    if kind == "drop":
        del group[param]
        return f"drop {param}"
    a = _as_array(group[param])
    n = a.shape[0] if a.ndim else 0
    if kind == "truncate" and n > 1:
        group[param] = a[: chooser.integers(0, n - 1)]
    elif kind == "empty":
        group[param] = a[:0] if a.ndim else np.zeros(0, a.dtype)
    elif kind == "extend" and a.ndim:
        group[param] = np.concatenate([a, a[: chooser.integers(1, max(n, 1))]])
    elif kind == "ravel":
        group[param] = a.reshape(-1)
    elif kind == "to3d":
        group[param] = a.reshape(a.shape + (1,)) if chooser.integers(0, 1) else a.reshape((1,) + a.shape)
    elif kind == "scalar":
        group[param] = np.asarray(a.flat[0] if a.size else 0)
    elif kind == "narrow" and a.ndim == 2:
        group[param] = np.ascontiguousarray(a[:, : chooser.integers(0, a.shape[1])])
    elif kind == "dtype":
        group[param], target = _retype(a, chooser)
        return f"{param} as {target}"
    elif kind == "fill":
        value = chooser.choice(SPECIAL_NUMBERS + SPECIAL_FLOATS)
        group[param] = _value_array(a, value)
        return f"{param} all {value}"
    elif kind == "negative":
        group[param] = -a.astype("int64") - 1
    elif kind == "nan":
        out = a.astype("float64")
        if out.size:
            out.flat[chooser.integers(0, out.size - 1)] = float("nan")
        group[param] = out
    elif kind == "none":
        group[param] = None
    elif kind == "list":
        group[param] = a.tolist()
    elif kind == "poke":
        group[param], what = _poke(a, chooser)
        return f"{param} {what}"
    else:
        return f"{param} unchanged ({kind} does not apply)"
    return f"{kind} {param}"


# --------------------------------------------------------------------------------------------
# Mutations of the store's structure

STRUCTURE_MUTATIONS = (
    "tm_empty",
    "tm_other_packet",
    "tm_not_mapping",
    "store_not_mapping",
    "packet_type_not_mapping",
    "group_not_mapping",
    "group_empty",
    "no_source_data",
)
NOT_MAPPINGS = (None, 7, 3.5, "TM", b"TM", [1, 2], (), [[1, 2], [3]], np.zeros(3))


def mutate_structure(l0, product, chooser):
    """Returns (new store, description) with the store's structure broken."""
    name = packet_name(product)
    kind = chooser.choice(STRUCTURE_MUTATIONS)
    junk = chooser.choice(NOT_MAPPINGS)
    group = group_of(l0, product)
    if kind == "tm_empty":
        return {"TM": {}}, kind
    if kind == "tm_other_packet":
        return {"TM": {"TM_SOMETHING_ELSE": {"source_data": group}}}, kind
    if kind == "tm_not_mapping":
        return {"TM": junk}, f"{kind} {junk!r}"
    if kind == "store_not_mapping":
        # a decoder handed a packet group, not the store, gets the junk as its group
        return ({"__thr_group__": junk} if PRODUCTS[product].takes_group else junk), f"{kind} {junk!r}"
    if kind == "packet_type_not_mapping":
        return {"TM": {name: junk}}, f"{kind} {junk!r}"
    if kind == "group_not_mapping":
        return {"TM": {name: {"source_data": junk}}}, f"{kind} {junk!r}"
    if kind == "group_empty":
        return {"TM": {name: {"source_data": {}}}}, kind
    return {"TM": {name: {"data": group}}}, kind


def mutated_case(product, seed, chooser, max_mutations=3):
    """A clean case of `product`, then 1 to `max_mutations` mutations drawn from `chooser`."""
    case = clean_case(product, seed, anomalies=bool(chooser.integers(0, 1)))
    l0 = copy.deepcopy(case.l0)
    done = []
    if chooser.integers(0, 9) == 0:
        l0, what = mutate_structure(l0, product, chooser)
        done.append(what)
    else:
        group = group_of(l0, product)
        params = sorted(group)
        # Half of the cases keep every parameter's type and shape and only make values lie, so
        # that they get past the checks of the input's form into the decoding itself.
        values_only = chooser.integers(0, 1) == 1
        for _ in range(chooser.integers(1, max_mutations)):
            if not params:
                break
            param = chooser.choice(params)
            done.append(mutate_parameter(group, param, chooser, "poke" if values_only else None))
            if param not in group:
                params.remove(param)
    case.l0 = l0
    case.mutations = done
    return case


def mutated_names(case):
    """Parameter names a mutation of `case` touched."""
    names = set()
    for what in case.mutations:
        names.update(w for w in what.split() if w.startswith("PA_"))
    return names


# --------------------------------------------------------------------------------------------
# Judging one call


# Words that show an error about the store's structure says where the problem is.
STRUCTURE_WORDS = ("'TM'", "TM group", "source_data", "L0 store", "mapping", "packet group")


class Verdict(Exception):
    """A call broke the decoders' promise (as opposed to a clean, explained failure)."""


class KnownIssue(Verdict):
    """A Verdict already reported and awaiting a fix in the decoder (see KNOWN_ISSUES)."""

    def __init__(self, issue, text):
        super().__init__(f"known issue {issue}: {text}")
        self.issue = issue


# Faults found here and reported, not yet fixed: (issue, products, message pattern), so that
# the property tests and the fuzzer count them apart. Each gets a strict xfail test in
# test_messages.py, which starts failing once the decoder is fixed; then the entry goes.
KNOWN_ISSUES = ()


def _known(product, text):
    for issue, products, pattern in KNOWN_ISSUES:
        if product in products and re.search(pattern, text):
            return issue
    return None


_DTYPES = {}


def reference_dtype(product):
    if product not in _DTYPES:
        case = clean_case(product, 0)
        _DTYPES[product] = call(product, case.l0, CountingTask()).dtype
    return _DTYPES[product]


def judge(case, run):
    """Like _judge, but a Verdict that matches a known issue is raised as KnownIssue."""
    try:
        return _judge(case, run)
    except KnownIssue:
        raise
    except Verdict as v:
        issue = _known(case.product, str(v))
        if issue:
            raise KnownIssue(issue, str(v)) from v
        raise


def _judge(case, run):
    """Runs `run()` (one decoder call on `case`); raises Verdict when the outcome breaks the rules.

    Returns ("ok", records) or ("error", exception). An error must be an ordinary exception
    whose message names a parameter (or, for a broken store, the part of the store concerned).
    """
    try:
        out = run()
    except Verdict:
        raise
    except Exception as exc:  # every exception is judged below
        text = str(exc)
        name = type(exc).__name__
        mutated = f" [mutated: {'; '.join(case.mutations)}]"
        if isinstance(exc, (SystemError, MemoryError, RecursionError)):
            raise Verdict(f"{name}: {text}{mutated}") from exc
        if name == "RuntimeError" and ("Unable to" in text or "pybind11" in text):
            raise Verdict(f"internal binding error: {text}{mutated}") from exc
        if len(text) < 10:
            raise Verdict(f"unclear error {name}: {text!r}{mutated}") from exc
        if "PA_" not in text and not any(w in text for w in STRUCTURE_WORDS):
            raise Verdict(f"error names no parameter: {name}: {text}{mutated}") from exc
        return "error", exc
    if not isinstance(out, np.ndarray):
        raise Verdict(f"returned {type(out).__name__}, not an array [mutated: {'; '.join(case.mutations)}]")
    if out.ndim != 1 or out.dtype != reference_dtype(case.product):
        raise Verdict(
            f"returned an array of shape {out.shape} and type {out.dtype} [mutated: {'; '.join(case.mutations)}]"
        )
    return "ok", out
