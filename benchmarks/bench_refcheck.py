"""Throughput of the TNR and HFR calibration decoders, and how much of it is their own work.

For each decoder: packets and records per second of `decommute` on a simulated group, and the
time the same helper and time-service calls take when made from Python alone on the same
inputs (reader construction, command and band helpers, compute_frequency, the time
conversions, the L1 layout and fill values, the report of each failed packet). The rest is the decoder's own work (byte
conversion, checks, stores into the packet and output records), shown as a share of the total.

Then, for all three THR decoders (TNR survey, TNR and HFR calibration), the decoder's own time
per output record measured directly: the decoder run with components that hand back recorded
results at once, minus the cost of as many calls into a function that does nothing. It is
measured twice, with the band extractor's values as the stand-ins give them (tuples of Python
integers) and as NumPy arrays, both of which the helper contract allows. `--baseline DIR`
measures another build's decoders (a site-packages folder or a development build's output) on
the same inputs, in the same run, beside this one.

    PYTHONPATH=$PWD:$PWD/build/dev-<you>/python python benchmarks/bench_refcheck.py [--packets N]
        [--baseline /path/to/other/site-packages]
"""

import argparse
import importlib
import time

import numpy as np
from quorel.packet_structure.data import Data
from quorel.time import Time
from tesmo.converters.cdf_fill import fill_records
from vantor.core.tools.exceptions import print_exception

from kesta.dravel.l1.store import ListTask
from kesta.dravel.products import BY_NAME
from kesta.dravel.simulate.thr_random import random_hfr_calibration, random_tnr_calibration
from kesta.dravel.tasks.thr import hfr, tnr
from kesta.dravel.tasks.thr import science_tools as st

from bench_survey import survey_group
from thr_components import HELPERS, Swap, idle, instant, load_build, recording, replay, timed, with_arrays


def best_of(repeats, fn):
    best = float("inf")
    result = None
    for _ in range(repeats):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def packet_inputs(group, product):
    """Per packet: the reader's bytes and the [coarse, fine] pair, made before timing."""
    out = []
    for i, size in enumerate(np.asarray(group[product.count_param])):
        raw = np.asarray(group[product.data_param][i][: int(size)]).astype(">u2").tobytes()
        acq = group["PA_THR_ACQUISITION_TIME"][i]
        out.append((raw, np.array([[acq[0], acq[1]]], dtype=np.uint32)))
    return out


def replay_tnr(inputs, nrecords, task):
    """The TNR calibration decoder's helper and time calls, from Python."""
    st.voltages_dtype(), st.input_setup_dtype(), st.do_analysis_dtype()
    enabled = []
    for raw, pair in inputs:
        try:
            data = Data(raw, len(raw))
            data.u8(0, 0, 8)
            st.voltages(data, 1)
            setup = tnr.tnr_setup(data, 5)
            st.input_setup(data, 6)
            ana = st.do_analysis(data, 9)
            bit_count = 0
            for _ in range(9):
                for flag in (setup[6], setup[5], setup[4], setup[3]):
                    _, bit_count = tnr.extract_calibration_band(
                        flag, ana[4], ana[3], setup[2], setup[1], data, 10, bit_count
                    )
        except Exception:  # noqa: BLE001 - a failing packet is reported as the decoder reports it
            task.exception(print_exception())
            continue
        enabled.append((pair, sum(1 for f in setup[3:7] if f == 1)))
    fill_records(np.empty(nrecords, dtype=tnr.tnr_dtype()))
    for pair, nbands in enabled:
        for _ in range(nbands):
            Time().obt_to_utc(pair, to_tt2000=True)
            for _ in range(9):
                Time.cuc_to_scet(pair)


def replay_hfr(inputs, nrecords, task):
    """The HFR calibration decoder's helper and time calls, from Python."""
    st.voltages_dtype(), st.input_setup_dtype(), st.do_analysis_dtype()
    enabled = []
    for raw, pair in inputs:
        try:
            data = Data(raw, len(raw))
            data.u8(0, 0, 8)
            st.voltages(data, 1)
            setup = hfr.hfr_setup(data, 4)
            st.input_setup(data, 6)
            sweep = hfr.hfr_sweep_setup(data, 8)
            ana = st.do_analysis(data, 13)
            bit_count = 0
            for _ in range(9):
                for ch in (ana[4], ana[3]):
                    _, bit_count = hfr.extract_band(ch, setup[3], setup[2], sweep[2], sweep[0], data, 14, bit_count)
        except Exception:  # noqa: BLE001 - a failing packet is reported as the decoder reports it
            task.exception(print_exception())
            continue
        enabled.append((pair, setup, sweep))
    fill_records(np.empty(nrecords, dtype=hfr.hfr_dtype()))
    for pair, setup, sweep in enabled:
        f0 = setup[1]
        hf2_step, hf2_size, hf1_step, hf1_size = sweep
        for band, flag, steps in (("hf1", setup[3], hf1_step), ("hf2", setup[2], hf2_step)):
            if flag != 1:
                continue
            Time().obt_to_utc(pair, to_tt2000=True)
            for _ in range(9):
                for j in range(steps):
                    Time.cuc_to_scet(pair)
                    hfr.compute_frequency(f0, j, hf1_size, hf1_step, hf2_size, band)


def report(name, npackets, total, records, helpers):
    own = max(total - helpers, 0.0)
    print(
        f"{name}: {npackets} packets, {len(records)} records in {total * 1e3:.1f} ms: "
        f"{npackets / total:,.0f} packets/s, {len(records) / total:,.0f} records/s"
    )
    print(
        f"  helper and time calls from Python alone: {helpers * 1e3:.1f} ms "
        f"({100 * helpers / total:.1f}% of the decoder's time); "
        f"decoder's own work: {own * 1e3:.1f} ms ({100 * own / total:.1f}%), "
        f"{own / max(len(records), 1) * 1e6:.2f} us per output record"
    )


# The THR decoders: (label, module, entry point).
THR_DECODERS = (
    ("TNR survey", "survey_lowband", "decommute_normal"),
    ("TNR calibration", "refcheck_lowband", "decommute"),
    ("HFR calibration", "refcheck_highband", "decommute"),
)


def own_times(module, entry, group, expected, repeats, baseline=None):
    """Own time of a decoder with its components answering at once: {(build, shape): seconds},
    build "this" (the module imported as usual) or "baseline", shape "tuples" or "arrays"."""
    helpers = HELPERS[module]
    decoders = {"this": getattr(importlib.import_module(f"kesta.dravel.tasks.thr.{module}"), entry)}
    if baseline:
        decoders["baseline"] = getattr(load_build(baseline, module), entry)
    calls, results = [], {}
    with Swap(recording(helpers, calls, results)):
        decoders["this"](group, ListTask())
    shapes = {"tuples": results, "arrays": with_arrays(module, results)}
    idle_calls = idle(calls)

    def decode(decoder, shape):
        task = ListTask()
        with Swap(instant(helpers, shapes[shape])):
            out = decoder(group, task)
        return out, task

    for build, decoder in decoders.items():  # every build and shape gives the expected records
        for shape in shapes:
            out, task = decode(decoder, shape)
            assert not task.reports and out.tobytes() == expected.tobytes(), (build, shape)

    times = {}
    loops = []
    for _ in range(repeats):  # interleaved, so that a busy machine hits all alike
        loops.append(replay(idle_calls))
        for build, decoder in decoders.items():
            for shape in shapes:
                t = timed(lambda: decode(decoder, shape))  # noqa: B023 - called within the iteration
                times[build, shape] = min(times.get((build, shape), t), t)
    # The cost of one Python call of the same arity is counted as the decoder's, not the helper's.
    return {key: max(t - min(loops), 0.0) for key, t in times.items()}


def report_own(label, nrecords, times):
    def us(key):
        return times[key] / max(nrecords, 1) * 1e6

    print(
        f"  {label}, {nrecords} records: tuples {times['this', 'tuples'] * 1e3:.1f} ms, "
        f"{us(('this', 'tuples')):.2f} us per record; arrays {times['this', 'arrays'] * 1e3:.1f} ms, "
        f"{us(('this', 'arrays')):.2f} us per record "
        f"(arrays/tuples {us(('this', 'arrays')) / us(('this', 'tuples')):.2f}x)"
    )
    if ("baseline", "tuples") in times:
        print(
            f"    baseline: tuples {times['baseline', 'tuples'] * 1e3:.1f} ms, {us(('baseline', 'tuples')):.2f} us "
            f"per record; arrays {times['baseline', 'arrays'] * 1e3:.1f} ms, {us(('baseline', 'arrays')):.2f} us "
            f"per record (this build/baseline: tuples {us(('this', 'tuples')) / us(('baseline', 'tuples')):.2f}x, "
            f"arrays {us(('this', 'arrays')) / us(('baseline', 'arrays')):.2f}x)"
        )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--packets", type=int, default=300)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--hfr-steps", type=int, default=16, help="largest HFR step count")
    parser.add_argument("--blocks", type=int, default=2_500, help="TNR survey blocks (all bands on)")
    parser.add_argument("--baseline", help="another build's site-packages or development output folder")
    args = parser.parse_args()
    rng = np.random.default_rng(2024)

    case = random_tnr_calibration(rng, args.packets, bad=args.packets // 20)
    product = BY_NAME["tnr_calibration"]
    inputs = packet_inputs(case.group, product)
    total, records = best_of(args.repeats, lambda: product.call(case.group, ListTask()))
    assert np.array_equal(records.view(np.uint8), case.records.view(np.uint8))
    helpers, _ = best_of(args.repeats, lambda: replay_tnr(inputs, len(records), ListTask()))
    report("TNR calibration", args.packets, total, records, helpers)

    case = random_hfr_calibration(rng, args.packets, bad=args.packets // 20, max_steps=args.hfr_steps)
    product = BY_NAME["hfr_calibration"]
    inputs = packet_inputs(case.group, product)
    total, records = best_of(args.repeats, lambda: product.call(case.group, ListTask()))
    assert np.array_equal(records.view(np.uint8), case.records.view(np.uint8))
    helpers, _ = best_of(args.repeats, lambda: replay_hfr(inputs, len(records), ListTask()))
    report("HFR calibration", args.packets, total, records, helpers)

    # Own time per record, helper values as tuples and as arrays, on clean groups (the recorded
    # results are served in order: a packet that fails would leave them out of step).
    cases = {
        "survey_lowband": survey_group(rng, args.blocks, 4),
        "refcheck_lowband": random_tnr_calibration(rng, args.packets),
        "refcheck_highband": random_hfr_calibration(rng, args.packets, max_steps=args.hfr_steps),
    }
    print(
        "Own time, components answering at once, band values as tuples and as NumPy arrays"
        + (f" (baseline: {args.baseline})" if args.baseline else "")
        + ":"
    )
    for label, module, entry in THR_DECODERS:
        case = cases[module]
        times = own_times(module, entry, case.group, case.records, args.repeats, args.baseline)
        report_own(label, len(case.records), times)


if __name__ == "__main__":
    import logging

    logging.disable(logging.CRITICAL)  # failed packets are reported through the logger
    main()
