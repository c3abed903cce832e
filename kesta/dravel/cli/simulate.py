"""A synthetic L0 HDF5 file holding the packets of every product that can be simulated."""
from __future__ import annotations

import importlib
import os
import zlib

import numpy as np

from kesta.dravel.products import PRODUCTS
from kesta.dravel.simulate.scale import repeat
from kesta.dravel.simulate.store import write_hdf5

from .errors import UsageError


def simulator_modules():
    """The simulator modules of the product registry, each once, in registry order."""
    seen = []
    for product in PRODUCTS:
        if product.simulator and product.simulator not in seen:
            seen.append(product.simulator)
    return seen


def _rng(seed, module):
    # One generator per simulator module, derived from the seed and the module name, so that a
    # module's packets do not change when another simulator is added or missing.
    return np.random.default_rng([int(seed), zlib.crc32(module.encode())])


def simulate_groups(seed=0, anomalies=False):
    """({packet name: packet group}, notes, failures) from every available simulator."""
    groups, notes, failures = {}, [], []
    for module_name in simulator_modules():
        try:
            module = importlib.import_module(module_name)
            demo = module.demo_groups
        except (ImportError, AttributeError) as exc:
            notes.append(f"{module_name}: not available, skipped ({exc})")
            continue
        try:
            made = demo(_rng(seed, module_name), anomalies=anomalies)
        except Exception as exc:
            failures.append(f"{module_name}: {type(exc).__name__}: {exc}")
            continue
        for name, group in made.items():
            groups[name] = {param: np.asarray(values) for param, values in group.items()}
    return groups, notes, failures


def simulate_file(path, seed=0, anomalies=False, scale=1):
    """Writes the simulated L0 file; returns ({packet name: packets}, notes, failures)."""
    if seed < 0:
        raise UsageError(f"--seed must be a non-negative integer, got {seed}")
    path = os.fspath(path)
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise UsageError(f"{path}: directory {directory} does not exist")
    groups, notes, failures = simulate_groups(seed, anomalies)
    if not groups:
        raise UsageError("no simulator is available: nothing to write")
    try:
        groups = repeat(groups, scale)
    except ValueError as exc:
        raise UsageError(f"--scale {scale}: {exc}") from None
    try:
        write_hdf5(path, groups)
        import h5py

        with h5py.File(path, "a") as f:
            f.attrs["creator"] = "dravel simulate"
            f.attrs["seed"] = int(seed)
            f.attrs["anomalies"] = bool(anomalies)
            f.attrs["scale"] = int(scale)
    except OSError as exc:
        raise UsageError(f"{path}: cannot be written ({exc})") from None
    counts = {name: max((len(v) for v in g.values() if np.ndim(v) > 0), default=0)
              for name, g in groups.items()}
    return counts, notes, failures
