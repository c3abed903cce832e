"""The decoders keep nothing between calls: several threads decoding different stores at once
each get exactly the records the simulator expects for their own store."""

import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import hardening_cases as hc
from records_support import assert_same_records

THREADS = 4
ROUNDS = 3


@pytest.fixture
def eager_switching():
    """Threads switch every few microseconds, so calls interleave wherever the GIL is let go."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def check(case, out, reports):
    assert_same_records(out, case.records, label=case.product)
    assert reports == case.reports, case.product


def test_threads_decode_their_own_stores(eager_switching):
    products = hc.available_products()
    if not products:
        pytest.skip("no decoder is built")
    # Every thread gets its own stores (other seeds, so other sizes and values) of every product,
    # half of them with units to report and skip.
    work = [
        [hc.clean_case(p, 100 * t + k, anomalies=(t + k) % 2 == 1) for k, p in enumerate(products)]
        for t in range(THREADS)
    ]
    start = threading.Barrier(THREADS)

    def run(cases):
        start.wait()
        done = 0
        for _ in range(ROUNDS):
            for case in cases:
                task = hc.CountingTask()
                check(case, hc.call(case.product, case.l0, task), task.reports)
                done += 1
        return done

    with ThreadPoolExecutor(THREADS) as pool:
        results = [f.result() for f in [pool.submit(run, cases) for cases in work]]
    assert results == [ROUNDS * len(products)] * THREADS


def test_threads_mixing_failures_and_results(eager_switching):
    """A call that fails in one thread leaves no trace in the calls of the others."""
    products = hc.available_products()
    if not products:
        pytest.skip("no decoder is built")
    good = {p: hc.clean_case(p, 7) for p in products}
    broken = {p: {"TM": {hc.packet_name(p): {"source_data": {"PA_NOTHING": np.zeros(2)}}}} for p in products}
    start = threading.Barrier(2)

    def decode_good():
        start.wait()
        for _ in range(ROUNDS * 2):
            for p, case in good.items():
                task = hc.CountingTask()
                check(case, hc.call(p, case.l0, task), task.reports)

    def decode_broken():
        start.wait()
        failures = 0
        for _ in range(ROUNDS * 2):
            for p, l0 in broken.items():
                try:
                    hc.call(p, l0, hc.CountingTask())
                except KeyError:
                    failures += 1
        return failures

    with ThreadPoolExecutor(2) as pool:
        a, b = pool.submit(decode_good), pool.submit(decode_broken)
        a.result()
        # Every decoder misses a parameter it reads before any packet.
        assert b.result() == ROUNDS * 2 * len(products)
