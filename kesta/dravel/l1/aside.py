"""Products decoded in a second process while this one decodes and writes the others.

The second process writes the records of its products, and their results, into an L1 file of
its own beside the output; once it has ended, this process copies the compressed chunks into
the output. Nothing passes between the two while it runs, so it can be stopped at any moment
(SIGTERM, then SIGKILL) without leaving this one waiting: an interrupt always ends. It is a
child of the run (kesta.dravel.run.child): it dies with this process, and stops between
windows, leaving nothing, when it finds its parent gone.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
from collections.abc import Callable, Iterator
from typing import Any

from kesta.dravel.products import BY_NAME, Product
from kesta.dravel.run import child

from . import output
from .decode import FileSource, decode_product
from .results import ProductResult
from .store import DAMAGED, open_l0, packets_on_file

# THR products, whose decoders call the pipeline's Python helpers for every block or packet,
# take most of a run's time per packet: they go to a second process, which decodes them window
# by window as this one would, when there are enough of their packets to pay for starting it.
ASIDE_PACKETS = 2000


RESULTS = "dravel_aside_results"  # attribute of the second process's file: its results


def _decode_aside(l0_path: str, path: str, window_bytes: int | None, parent: int, names: list[str]) -> None:
    """In the second process: decodes the products `names` into the L1 file `path`, their
    results kept in its attribute RESULTS. Stops, leaving nothing, when its parent is gone."""

    def orphaned() -> bool:
        return os.getppid() != parent

    # lazy: the second process's own; the HDF5 writer (and its compression library) are not
    # loaded with the library
    from .hdf5 import HDF5Writer

    with open_l0(l0_path) as f, HDF5Writer(path, overwrite=True, interrupted=orphaned) as writer:
        source = FileSource(f, window_bytes)
        results = [
            decode_product(source, BY_NAME[name], BY_NAME[name].packet, writer, orphaned).as_dict() for name in names
        ]
        writer.file.attrs[RESULTS] = json.dumps(results)


class Aside:
    """Products decoded in a second process, or here when that process cannot be had."""

    def __init__(
        self, todo: list[tuple[Product, str]], process: subprocess.Popen | None = None, path: str | None = None
    ) -> None:
        self.todo, self.process, self.path = todo, process, path

    @classmethod
    def start(cls, f: Any, todo: list[tuple[Product, str]], path: str, window_bytes: int | None = None) -> Aside:
        """Starts decoding, in a second process, the THR products of `todo` from the open L0
        file `f` into the L1 file `path`, in windows of `window_bytes` (None: whole), when it
        is worth it."""
        aside = [(p, t) for p, t in todo if p.takes_group]
        # a daemonic process (a Dask worker's, for one) may not start processes of its own, and
        # a worker of a pool as large as the machine would only share its cores with one
        if not aside or len(aside) == len(todo) or not child.may_start():
            return cls([])
        try:
            packets = sum(packets_on_file(f, t) for _, t in aside)
        except DAMAGED + (AttributeError,):
            return cls([])  # decoded here, where the decoder says what is wrong
        if packets < ASIDE_PACKETS:
            return cls([])
        output.guard(path)
        try:
            process = child.start(
                __name__, [f.filename, path, window_bytes or 0, os.getpid(), *(p.name for p, _ in aside)]
            )
        except OSError:
            output.unguard(path)
            return cls(aside)
        return cls(aside, process, path)

    def has(self, product: Product) -> bool:
        return any(product is p for p, _ in self.todo)

    def results(
        self, source: FileSource, writer: Any, interrupted: Callable[[], bool] | None
    ) -> Iterator[ProductResult]:
        """Writes the products set aside with `writer`; yields their ProductResults, in order."""
        if self.process is not None and child.finished(self.process, interrupted):
            # lazy: h5py (the HDF5 library, 18 ms) loads with the first file read or written
            import h5py

            try:
                part = h5py.File(self.path, "r")
            except OSError:
                part = None
            if part is not None:
                with part:
                    try:
                        answer = [ProductResult.from_dict(d) for d in json.loads(part.attrs[RESULTS])]
                    except (KeyError, ValueError, TypeError):
                        answer = None  # no results: the process did not end its work
                    for done in answer or ():
                        writer.copy(part[done.product], done)
                        yield done
                if answer is not None:
                    return
        for product, packet_type in self.todo:  # the process was lost: decode them here
            yield decode_product(source, product, packet_type, writer, interrupted)

    def stop(self) -> None:
        """Ends the second process, however far it got, and removes its file."""
        if self.process is None:
            return
        process, self.process = self.process, None
        child.stop(process)
        output.discard(self.path)  # type: ignore[arg-type]  # set whenever a process is


def main() -> None:
    """The second process: L0 path, its L1 file, window bytes (0: whole), parent id, products."""
    _decode_aside(sys.argv[1], sys.argv[2], int(sys.argv[3]) or None, int(sys.argv[4]), sys.argv[5:])
