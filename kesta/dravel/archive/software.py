"""The software an archive's files come from: this package's version, and the contents of the
components' modules and of the decoders' binaries. A rebuild, or a component changed, is a new
software: every L0 file is decoded again (days whose records come out the same are not
rewritten)."""

from __future__ import annotations

import hashlib
import importlib.util
import json
import os

from kesta.dravel import products as registry
from kesta.dravel.l1 import attributes

COMPONENTS = ("quorel", "tesmo", "vantor")


def software() -> tuple[str, str]:
    """(versions as text, a short key of them): this package's version, and the contents of
    the components' modules and of the decoders' binaries (a rebuild, or a component
    changed, is a new software)."""
    versions = {"kesta-dravel": attributes.software_version()}
    for module in COMPONENTS:
        versions[module] = _files_hash(module, package=True)
    versions["decoders"] = _files_hash(*sorted({p.module for p in registry.PRODUCTS}))
    text = json.dumps(versions, sort_keys=True)
    return text, hashlib.sha256(text.encode()).hexdigest()[:12]


def _files_hash(*modules: str, package: bool = False) -> str:
    """A short hash of the files of `modules` (with `package`, of every source and binary of
    their packages); "missing" for one that is not installed."""
    digest = hashlib.sha256()
    for module in modules:
        try:
            found = importlib.util.find_spec(module)
        except ImportError:
            found = None
        if found is None:
            digest.update(f"{module}: missing".encode())
            continue
        files = [found.origin] if found.origin and os.path.isfile(found.origin) else []
        if package and found.submodule_search_locations:
            files = []
            for folder in found.submodule_search_locations:
                for root, dirs, names in os.walk(folder):
                    dirs[:] = sorted(d for d in dirs if d != "__pycache__")
                    files += [os.path.join(root, n) for n in sorted(names) if n.endswith((".py", ".so"))]
        for path in files:
            digest.update(os.path.relpath(path, os.path.dirname(path)).encode())
            with open(path, "rb") as f:
                digest.update(f.read())
    return digest.hexdigest()[:16]
