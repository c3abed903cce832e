"""Stand-ins for the outside components of the THR decoders, to see a decoder's own work.

`recording` wraps the receiver helpers, the packet reader and the time service so that one
decode logs every call and its result; `instant` hands the logged results back at once, in the
same order, so that a decoder run with them takes its own time only (plus the cost of the calls
themselves, which `replay` of the same arguments into a function that does nothing measures).
The logged results can be reshaped first (`ARRAY_RESULTS`): the helper contract lets a band
extractor give its values as tuples, lists or NumPy arrays.
"""

import gc
import glob
import importlib.machinery
import importlib.util
import os
import time

import numpy as np
import quorel.packet_structure.data as data_module
import quorel.time as time_module

from kesta.dravel.tasks.thr import hfr, science_tools, tnr

# The helpers each THR decoder calls per packet, block or record, by module.
HELPERS = {
    "survey_lowband": (
        (science_tools, ("zelk_status", "temperatures_command", "input_setup", "do_analysis", "average_nr")),
        (tnr, ("tnr_setup", "delta_times", "extract_band")),
    ),
    "refcheck_lowband": (
        (science_tools, ("voltages", "input_setup", "do_analysis")),
        (tnr, ("tnr_setup", "extract_calibration_band")),
    ),
    "refcheck_highband": (
        (science_tools, ("voltages", "input_setup", "do_analysis")),
        (hfr, ("hfr_setup", "hfr_sweep_setup", "extract_band", "compute_frequency")),
    ),
}


def _tnr_band_arrays(result):
    """((agc, autos), (agc, autos), cross) with autos and cross as arrays, then the offset."""
    (ch1, ch2, cross), offset = result
    return ((ch1[0], np.asarray(ch1[1])), (ch2[0], np.asarray(ch2[1])), np.asarray(cross)), offset


def _hfr_channel_arrays(result):
    """(hf1 values, hf2 values) as two arrays, then the offset."""
    (hf1, hf2), offset = result
    return (np.asarray(hf1), np.asarray(hf2)), offset


# Per decoder: the band extractor whose values can come as arrays, and how to make them so.
ARRAY_RESULTS = {
    "survey_lowband": ("extract_band", _tnr_band_arrays),
    "refcheck_lowband": ("extract_calibration_band", _tnr_band_arrays),
    "refcheck_highband": ("extract_band", _hfr_channel_arrays),
}


class Swap:
    """Puts replacements of the outside components in place for a `with` block."""

    def __init__(self, replacements):
        self.replacements = replacements  # [(module, name, value)]
        self.saved = []

    def __enter__(self):
        for module, name, value in self.replacements:
            self.saved.append((module, name, getattr(module, name)))
            setattr(module, name, value)
        return self

    def __exit__(self, *exc):
        for module, name, value in reversed(self.saved):
            setattr(module, name, value)


def recording(helpers, calls, results):
    """Wrappers that log every call (function, arguments) and its result per component."""

    def wrap(name, fn):
        def recorded(*args):
            out = fn(*args)
            calls.append((fn, args))
            results.setdefault(name, []).append(out)
            return out

        return recorded

    out = [(module, name, wrap(name, getattr(module, name))) for module, names in helpers for name in names]
    Data, Time = data_module.Data, time_module.Time

    class RecordingData(Data):
        def __init__(self, raw, length):
            calls.append((Data, (raw, length)))
            super().__init__(raw, length)

        def u16(self, byte, bit, nbits):
            value = Data.u16(self, byte, bit, nbits)
            calls.append((Data.u16, (self, byte, bit, nbits)))
            results.setdefault("u16", []).append(value)
            return value

        def u8(self, byte, bit, nbits):
            value = Data.u8(self, byte, bit, nbits)
            calls.append((Data.u8, (self, byte, bit, nbits)))
            results.setdefault("u8", []).append(value)
            return value

    def epoch(t):
        return Time().obt_to_utc(t, to_tt2000=True)

    class RecordingTime(Time):
        def obt_to_utc(self, t, to_tt2000=False):
            value = Time.obt_to_utc(self, t, to_tt2000=to_tt2000)
            calls.append((epoch, (t.copy(),)))
            results.setdefault("obt_to_utc", []).append(value)
            return value

        @staticmethod
        def cuc_to_scet(t):
            value = Time.cuc_to_scet(t)
            calls.append((Time.cuc_to_scet, (t.copy(),)))
            results.setdefault("cuc_to_scet", []).append(value)
            return value

    return out + [(data_module, "Data", RecordingData), (time_module, "Time", RecordingTime)]


def instant(helpers, results):
    """Components that hand back the recorded results at once, in the recorded order."""

    def serve(name):
        nexts = iter(results.get(name, ())).__next__

        def served(*args):
            return nexts()

        return served

    out = [(module, name, serve(name)) for module, names in helpers for name in names]
    u8, u16, epoch, scet = serve("u8"), serve("u16"), serve("obt_to_utc"), serve("cuc_to_scet")

    class InstantData:
        def __init__(self, raw, length):
            pass

        def u8(self, byte, bit, nbits):
            return u8()

        def u16(self, byte, bit, nbits):
            return u16()

    class InstantTime:
        def obt_to_utc(self, t, to_tt2000=False):
            return epoch()

        @staticmethod
        def cuc_to_scet(t):
            return scet()

    return out + [(data_module, "Data", InstantData), (time_module, "Time", InstantTime)]


def with_arrays(decoder, results):
    """The recorded results with the band extractor's values as NumPy arrays."""
    name, reshape = ARRAY_RESULTS[decoder]
    return dict(results, **{name: [reshape(r) for r in results[name]]})


def timed(fn):
    """CPU time of fn(). Many small objects are made and kept: the collector stays out."""
    gc.disable()
    try:
        t0 = time.process_time()
        fn()
        return time.process_time() - t0
    finally:
        gc.enable()


def replay(calls):
    """CPU time of the recorded calls made again from Python alone."""

    def run():
        for fn, args in calls:
            fn(*args)

    return timed(run)


def idle(calls):
    """The recorded calls with a function that does nothing: the cost of the calls themselves."""

    def noop(*args):
        return None

    return [(noop, args) for _, args in calls]


def load_build(directory, name):
    """The THR decoder module `name` of the build installed under `directory` (a site-packages
    folder or a development build's output), loaded beside the one imported as usual."""
    pattern = os.path.join(directory, "kesta", "dravel", "tasks", "thr", name + ".*")
    for path in sorted(glob.glob(pattern)):
        if any(path.endswith(s) for s in importlib.machinery.EXTENSION_SUFFIXES):
            # Another full name, or the interpreter would hand back the module it already has.
            full = "baseline." + name
            found = importlib.util.spec_from_file_location(
                full, path, loader=importlib.machinery.ExtensionFileLoader(full, path)
            )
            module = importlib.util.module_from_spec(found)
            found.loader.exec_module(module)
            return module
    raise FileNotFoundError(f"no extension module {name} under {directory}")
