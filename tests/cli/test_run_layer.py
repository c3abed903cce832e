"""The run layer's local pool: units come back as they end; a worker that dies costs only the
unit it ran (run again, or taken from its complete output); a stop ends every worker."""

import os
import signal
import time

import psutil
import pytest

from kesta.dravel.l1.errors import Interrupted
from kesta.dravel.run import InProcess, LocalPool
from kesta.dravel.run.local import TRIES


def square(x):
    return x * x


def die_once(x, folder):
    """Kills its own worker the first time it runs (a crash in native code), then works."""
    mark = os.path.join(folder, f"died-{x}")
    if not os.path.exists(mark):
        open(mark, "w").close()
        os.kill(os.getpid(), signal.SIGKILL)
    return x * x


def always_die(x):
    os.kill(os.getpid(), signal.SIGKILL)


def fail(x):
    raise ValueError(f"bad unit {x}")


def write_then_die(x, folder):
    with open(os.path.join(folder, f"out-{x}"), "w") as f:
        f.write(str(x * x))
    os.kill(os.getpid(), signal.SIGKILL)


def spare(x):
    from kesta.dravel.run import worker

    return worker.cores_spare()


def wait_for_stop(x, interrupted):
    while not interrupted():
        time.sleep(0.05)
    raise Interrupted()


@pytest.fixture
def pool():
    p = LocalPool(2)
    yield p
    p.close()


def results(runner, jobs, **options):
    return {key: (value, error) for key, value, error in runner.run(jobs, **options)}


def test_units_and_failures_come_back_in_both_runners(pool):
    jobs = [(k, square, (k,)) for k in range(6)] + [("bad", fail, ("x",)), ("unpicklable", square, (lambda: 0,))]
    for runner in (pool, InProcess()):
        got = results(runner, jobs)
        assert {k: got[k] for k in range(6)} == {k: (k * k, None) for k in range(6)}
        assert got["bad"] == (None, "ValueError: bad unit x")
        assert got["unpicklable"][0] is None and got["unpicklable"][1]
    # the workers outlive a run: a second one starts none
    workers = {w.process.pid for w in pool.idle}
    assert len(workers) == 2
    assert results(pool, [(1, square, (3,))]) == {1: (9, None)}
    assert {w.process.pid for w in pool.idle} == workers


def test_units_know_whether_their_pool_leaves_cores_spare():
    # a pool with a worker per core leaves none for a unit's own helper process
    assert results(InProcess(), [(0, spare, (0,))]) == {0: (True, None)}
    cores = os.cpu_count() or 1
    for workers, expected in ((cores, False), (cores + 1, False)):
        p = LocalPool(workers)
        try:
            assert results(p, [(0, spare, (0,))]) == {0: (expected, None)}
        finally:
            p.close()


def test_a_dead_worker_costs_only_its_unit(pool, tmp_path):
    jobs = [(k, die_once, (k, str(tmp_path))) for k in range(4)] + [(k, square, (k,)) for k in range(4, 8)]
    started = time.monotonic()
    assert results(pool, jobs) == {k: (k * k, None) for k in range(8)}
    assert time.monotonic() - started < 30
    got = results(pool, [("crash", always_die, (1,)), ("ok", square, (2,))])
    assert got["ok"] == (4, None)
    assert got["crash"][0] is None and "died (killed by SIGKILL" in got["crash"][1]
    assert TRIES >= 2


def test_a_unit_whose_output_is_complete_is_taken_from_it(pool, tmp_path):
    def recover(key):
        path = tmp_path / f"out-{key}"
        return int(path.read_text()) if path.exists() else None

    got = results(pool, [(k, write_then_die, (k, str(tmp_path))) for k in range(3)], recover=recover)
    assert got == {k: (k * k, None) for k in range(3)}


def test_a_stop_ends_every_worker_within_seconds(pool):
    jobs = [(k, wait_for_stop, (k,)) for k in range(4)]
    run = pool.run(jobs, interrupted=lambda: time.monotonic() - started > 1.0, interruptible=True)
    started = time.monotonic()
    with pytest.raises(Interrupted):
        for _ in run:
            pass
    assert time.monotonic() - started < 5
    assert not pool.idle
    assert not [c for c in psutil.Process().children(recursive=True) if c.status() != psutil.STATUS_ZOMBIE]


def test_workers_that_cannot_start_fail_the_units_with_their_reason(monkeypatch):
    from kesta.dravel.run import child, local

    start = child.start
    monkeypatch.setattr(local.child, "start", lambda module, *a, **k: start("kesta.dravel.no_such_module", *a, **k))
    pool = LocalPool(2)
    try:
        got = results(pool, [(k, square, (k,)) for k in range(3)])
    finally:
        pool.close()
    assert set(got) == {0, 1, 2}
    for value, error in got.values():
        assert value is None and "died" in error and "No module named 'kesta.dravel.no_such_module'" in error
