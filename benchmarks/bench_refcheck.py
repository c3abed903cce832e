"""Throughput of the TNR and HFR calibration decoders, and how much of it is their own work.

For each decoder: packets and records per second of `decommute` on a simulated group, and the
time the same helper and time-service calls take when made from Python alone on the same
inputs (reader construction, command and band helpers, compute_frequency, the time
conversions, the L1 layout and fill values, the report of each failed packet). The rest is the decoder's own work (byte
conversion, checks, stores into the packet and output records), shown as a share of the total.

    PYTHONPATH=$PWD:$PWD/build/dev-<you>/python python benchmarks/bench_refcheck.py [--packets N]
"""
import argparse
import time

import numpy as np

from kesta.dravel.l1.store import ListTask
from kesta.dravel.products import BY_NAME
from kesta.dravel.simulate.thr_random import random_hfr_calibration, random_tnr_calibration
from kesta.dravel.tasks.thr import hfr, science_tools as st, tnr
from quorel.packet_structure.data import Data
from quorel.time import Time
from tesmo.converters.cdf_fill import fill_records
from vantor.core.tools.exceptions import print_exception


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
        raw = np.asarray(group[product.data_param][i][:int(size)]).astype(">u2").tobytes()
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
                    _, bit_count = tnr.extract_calibration_band(flag, ana[4], ana[3], setup[2], setup[1],
                                                                data, 10, bit_count)
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
                    _, bit_count = hfr.extract_band(ch, setup[3], setup[2], sweep[2], sweep[0], data, 14,
                                                    bit_count)
        except Exception:  # noqa: BLE001
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
    print(f"{name}: {npackets} packets, {len(records)} records in {total * 1e3:.1f} ms: "
          f"{npackets / total:,.0f} packets/s, {len(records) / total:,.0f} records/s")
    print(f"  helper and time calls from Python alone: {helpers * 1e3:.1f} ms "
          f"({100 * helpers / total:.1f}% of the decoder's time); "
          f"decoder's own work: {own * 1e3:.1f} ms ({100 * own / total:.1f}%), "
          f"{own / max(len(records), 1) * 1e6:.2f} us per output record")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--packets", type=int, default=300)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--hfr-steps", type=int, default=16, help="largest HFR step count")
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


if __name__ == "__main__":
    import logging
    logging.disable(logging.CRITICAL)  # failed packets are reported through the logger
    main()
