"""L0 file in, L1 files out: decode every selected product and write it in the chosen format.

``hdf5`` writes one L1 file holding every product; ``cdf`` and ``netcdf`` write one file per
product into a folder. The output is checked before any decoding; every file is written under
a temporary name and appears only once complete.
"""
from __future__ import annotations

import os

from .decode import (FAILED, SKIPPED, WINDOW_BYTES, DecodeResult, Interrupted, check, decode_product,
                     plan)
from .errors import InputError, OutputError
from .store import open_l0

FORMATS = ("hdf5", "cdf", "netcdf")


def convert(l0_path, output, format="hdf5", products=None, data_version="01", overwrite=False,
            progress=None, window_bytes=WINDOW_BYTES, interrupted=None):
    """Decodes the L0 file `l0_path` and writes its products; returns the DecodeResult (records
    not kept). `output` is the L1 file (hdf5) or the folder of per-product files (cdf, netcdf).

    Unusable input raises InputError and an unusable output OutputError, both before any
    decoding; a product that fails is recorded in its ProductResult and the others go on.
    `progress`, when given, is called with each ProductResult as it is done.

    The HDF5 file is written window by window (`window_bytes` of records at a time, in whole
    units; None decodes every product whole), so memory does not grow with the file; CDF and
    netCDF files hold one product each and are written from its whole records.
    `interrupted()`, checked between windows and chunks, stops the run with Interrupted and
    leaves no file behind.
    """
    if format not in FORMATS:
        raise InputError(f"unknown format {format!r}; known: {', '.join(FORMATS)}")
    l0_path, output = os.fspath(l0_path), os.fspath(output)
    result = DecodeResult(l0_path)
    with open_l0(l0_path) as f:
        todo = plan(f, products, result.notes)
        if format == "hdf5":
            _check_not_input(l0_path, output)
            _to_hdf5(f, todo, output, result, progress, window_bytes, interrupted)
        else:
            _to_files(f, todo, output, format, data_version, overwrite, result, progress, interrupted)
    return result


def _check_not_input(l0_path, output):
    if os.path.exists(output) and os.path.samefile(l0_path, output):
        raise InputError(f"{output}: the output would overwrite the input")


# Products decoded whole (THR groups) go to a second process while this one decodes and
# writes the others, when there are enough of their packets to pay for starting it.
ASIDE_PACKETS = 2000


def _to_hdf5(f, todo, path, result, progress, window_bytes, interrupted):
    from .hdf5 import L1Writer

    with L1Writer(path, result.input, interrupted=interrupted) as writer:
        aside = _Aside.start(result.input, todo, f)
        try:
            done_by_name = {}
            for product, packet_type in todo:
                if aside.has(product):
                    continue
                done = decode_product(f, product, packet_type, sink=writer, window_bytes=window_bytes,
                                      interrupted=interrupted)
                if done.status not in (FAILED, SKIPPED):
                    writer.end(done)
                done_by_name[product.name] = done
                if progress:
                    progress(done)
            for done in aside.results(f, interrupted):
                if done.data is not None:
                    writer.write(done)
                    done.data = None
                done_by_name[done.product] = done
                if progress:
                    progress(done)
        finally:
            aside.stop()
        result.products.extend(done_by_name[product.name] for product, _ in todo)
        check(interrupted)      # asked to stop at the very end: still nothing is left behind
    result.outputs.append(path)


def _ignore_interrupts():
    import signal

    signal.signal(signal.SIGINT, signal.SIG_IGN)     # the parent decides when to stop


def _decode_whole(l0_path, names):
    from kesta.dravel.products import BY_NAME

    with open_l0(l0_path) as f:
        return [decode_product(f, BY_NAME[name], BY_NAME[name].packet) for name in names]


class _Aside:
    """Products decoded in a second process, or here when that process cannot be had."""

    def __init__(self, l0_path, todo, pool=None, future=None):
        self.l0_path, self.todo, self.pool, self.future = l0_path, todo, pool, future

    @classmethod
    def start(cls, l0_path, todo, f):
        import multiprocessing

        from .store import packets_on_file

        aside = [(p, t) for p, t in todo if not p.grouping]
        # a daemonic process (a Dask worker's, for one) may not start processes of its own
        if (not aside or len(aside) == len(todo) or (os.cpu_count() or 1) < 2
                or multiprocessing.current_process().daemon):
            return cls(l0_path, [])
        try:
            packets = sum(packets_on_file(f, t) for _, t in aside)
        except Exception:
            return cls(l0_path, [])
        if packets < ASIDE_PACKETS:
            return cls(l0_path, [])
        from concurrent.futures import ProcessPoolExecutor

        try:
            pool = ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn"),
                                       initializer=_ignore_interrupts)
            future = pool.submit(_decode_whole, l0_path, [p.name for p, _ in aside])
        except Exception:
            return cls(l0_path, aside)
        return cls(l0_path, aside, pool, future)

    def has(self, product):
        return any(product is p for p, _ in self.todo)

    def results(self, f, interrupted):
        """The ProductResults of the products set aside, in order."""
        if not self.todo:
            return []
        if self.future is not None:
            from concurrent.futures import TimeoutError as Pending

            while True:
                check(interrupted)
                try:
                    return self.future.result(timeout=0.1)
                except Pending:
                    continue
                except Exception:      # the process was lost: decode them here
                    break
        return [decode_product(f, p, t, interrupted=interrupted) for p, t in self.todo]

    def stop(self):
        if self.pool is not None:
            for process in list(getattr(self.pool, "_processes", {}).values()):
                if process.is_alive() and self.future is not None and not self.future.done():
                    process.terminate()
            self.pool.shutdown(wait=True, cancel_futures=True)
            self.pool = None


def _to_files(f, todo, folder, format, data_version, overwrite, result, progress, interrupted):
    from .output import check_folder

    check_folder(folder, create=True)
    if format == "cdf":
        from .cdf import write_cdf as write
    else:
        from .netcdf import write_netcdf as write
    try:
        for product, packet_type in todo:
            done = decode_product(f, product, packet_type, interrupted=interrupted)
            if done.data is not None:
                kwargs = {"parents": os.path.basename(result.input), "overwrite": overwrite}
                if format == "cdf":
                    kwargs["data_version"] = data_version
                written = write(done.data, product, folder, **kwargs)
                result.outputs.extend(written)
                if not written:
                    result.notes.append(f"{product.name}: no records, no file written")
            done.data = None
            result.products.append(done)
            if progress:
                progress(done)
            check(interrupted)
    except (Interrupted, OutputError):
        for path in result.outputs:     # a run that cannot finish leaves none of its files
            try:
                os.unlink(path)
            except OSError:
                pass
        result.outputs.clear()
        raise
