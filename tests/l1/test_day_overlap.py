"""Day files written while a run decodes: each product's files by a worker process as soon as
the product ends, its template made once for the whole run; the same files as when written
here at the end; a run given up or refused leaves no file and no process."""

import os
import time

import numpy as np
import pytest

from kesta.dravel.cli.simulate import simulate_file
from kesta.dravel.l1 import OutputError, days, decode_file
from kesta.dravel.l1.cdf import CDFWriter, read_cdf
from kesta.dravel.l1.errors import WriteError
from kesta.dravel.l1.layout import EPOCH
from kesta.dravel.l1.results import ProductResult


@pytest.fixture(scope="module")
def decoded(tmp_path_factory):
    """Two products with records, decoded from a simulated file with shuffled packets."""
    path = tmp_path_factory.mktemp("l0") / "L0.h5"
    simulate_file(path, seed=7, anomalies=True)
    found = {p.product: p.data for p in decode_file(path).products if p.data is not None and len(p.data)}
    return {name: found[name] for name in ("tnr_normal", "lfm_psd")}


def feed(writer, name, records, windows=3):
    """`records` given to `writer` as a run decodes them: in windows, the last window first
    (a product's records come in no time order across windows)."""
    writer.begin(name, records.dtype)
    for part in reversed(np.array_split(records, windows)):
        writer.append(part)
    writer.end(ProductResult(name, "", records=len(records)))


def read_all(paths):
    return {os.path.basename(p): read_cdf(p)[1] for p in paths}


def workers_of_this_process():
    """The worker processes of a pool this process started (children running the worker)."""
    found = []
    for pid in os.listdir("/proc"):
        try:
            with open(f"/proc/{pid}/stat") as f:
                parent = int(f.read().rsplit(")", 1)[1].split()[1])
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                command = f.read()
        except (OSError, ValueError, IndexError):
            continue
        if parent == os.getpid() and b"kesta.dravel.run.worker" in command:
            found.append(int(pid))
    return found


def test_each_product_is_written_as_it_ends_and_the_files_are_those_written_at_the_end(decoded, tmp_path):
    here, there = tmp_path / "here", tmp_path / "workers"
    with CDFWriter(here, workers=1, source="L0.h5") as writer:
        for name, records in decoded.items():
            feed(writer, name, records)
    (first, records), *others = decoded.items()
    with CDFWriter(there, workers=2, source="L0.h5") as writer:
        assert workers_of_this_process(), "the workers start with the writer"
        feed(writer, first, records)
        deadline = time.monotonic() + 60
        while first not in writer.writing.values and time.monotonic() < deadline:
            time.sleep(0.05)
        # written before the next product is even begun
        assert writer.writing.values.get(first, {}).get("written")
        for name, later in others:
            feed(writer, name, later)
    assert sorted(os.listdir(here)) == sorted(os.listdir(there))
    expected, got = read_all(writer.outputs), read_all(here.iterdir())
    assert expected.keys() == got.keys() and len(expected) >= 2
    for name in expected:
        assert expected[name].keys() == got[name].keys()
        for field in expected[name]:
            np.testing.assert_array_equal(expected[name][field], got[name][field], err_msg=f"{name} {field}")
        assert np.all(np.diff(got[name][EPOCH].astype(np.int64)) >= 0)
    assert not workers_of_this_process()


def test_a_run_given_up_or_refused_leaves_no_file_and_no_process(decoded, tmp_path):
    (name, records), *_ = decoded.items()
    writer = CDFWriter(tmp_path / "given-up", workers=2)
    feed(writer, name, records)  # its day files being written meanwhile
    writer.abort()
    assert os.listdir(tmp_path / "given-up") == []
    assert not workers_of_this_process()

    with CDFWriter(tmp_path / "first", workers=1) as first:
        feed(first, name, records)
    existing = sorted(os.listdir(tmp_path / "first"))
    os.rename(tmp_path / "first", tmp_path / "again")
    kept = {p: os.path.getmtime(tmp_path / "again" / p) for p in existing}
    with pytest.raises(OutputError, match="exists already"):
        with CDFWriter(tmp_path / "again", workers=2) as writer:
            feed(writer, name, records)
    assert sorted(os.listdir(tmp_path / "again")) == existing
    assert {p: os.path.getmtime(tmp_path / "again" / p) for p in existing} == kept
    assert not workers_of_this_process()


def test_a_template_is_made_once_for_every_process_of_the_run(tmp_path, monkeypatch):
    made = []

    def make(path):
        made.append(path)
        with open(path, "wb") as f:
            f.write(b"template %d" % len(made))

    shared = str(tmp_path / ".run.1.template-x.part.cdf")
    days._templates.clear()
    with days._Sharing(shared):
        first = days.template(("cdf", "x"), make, ".cdf")
        days._templates.clear()  # as another process of the run, with nothing made
        assert days.template(("cdf", "x"), make, ".cdf") == first
    assert len(made) == 1
    # one made for an earlier run, long ago, is made again
    old = time.time() - days.TEMPLATE_SECONDS - 5
    os.utime(shared, (old, old))
    days._templates.clear()
    with days._Sharing(shared):
        assert days.template(("cdf", "x"), make, ".cdf") == b"template 2"
    days._templates.clear()
    from kesta.dravel.l1 import output

    output.discard(shared)  # the run's end: the template and its lock go
    assert os.listdir(tmp_path) == []


def test_once_decoded_this_process_writes_the_products_left_too(decoded, tmp_path):
    """The run's own process takes the day files still waiting when it has decoded everything
    (here: all of them, the pool's worker still starting), and writes the same files."""
    with CDFWriter(tmp_path / "here", workers=1, source="L0.h5") as alone:
        for name, records in decoded.items():
            feed(alone, name, records)
    with CDFWriter(tmp_path / "both", workers=2, source="L0.h5") as writer:
        for name, records in decoded.items():
            feed(writer, name, records)
    writers = {
        int(os.path.basename(tmp).split(".")[-4])  # .<base>.<pid>.<date>.part.cdf
        for name in decoded
        for _, tmp in writer.writing.values[name]["written"]
    }
    assert os.getpid() in writers
    assert read_all(writer.outputs).keys() == read_all(alone.outputs).keys()
    for name, got in read_all(writer.outputs).items():
        expected = read_all([tmp_path / "here" / name])[name]
        for field in expected:
            np.testing.assert_array_equal(got[field], expected[field], err_msg=f"{name} {field}")
    assert not workers_of_this_process()


def test_a_product_intermediate_gives_back_its_records_by_rows_or_refuses_a_cut_one(decoded, tmp_path):
    """The run's file of a product's records, written window by window, read back by a run of
    rows and by rows in any order; a file cut short is refused, not read."""
    records = decoded["lfm_psd"]
    windows = np.array_split(records, 3)[::-1]
    part = days._Part(str(tmp_path / "records"), records.dtype)
    for window in windows:
        part.append(window)
    part.commit()
    arrived = np.concatenate(windows)
    with days._PartRows(str(tmp_path / "records"), records.dtype) as back:
        np.testing.assert_array_equal(back.epoch, arrived["epoch"])
        run, scattered = np.arange(1, len(records) - 1), np.array([len(records) - 2, 0, len(records) - 1, 1])
        assert back.take(run).tobytes() == arrived[run].tobytes()
        assert back.take(scattered).tobytes() == arrived[scattered].tobytes()
    with open(tmp_path / "records", "r+b") as f:
        f.truncate(os.path.getsize(tmp_path / "records") - 1)
    with pytest.raises(WriteError, match="not the records of layout"):
        days._PartRows(str(tmp_path / "records"), records.dtype)


def test_records_without_a_time_are_in_no_day_file(decoded, tmp_path):
    """An epoch at its fill value (an unsigned one here) is no time: its record is left out
    and said to be, not put in a day file of the year 2000."""
    records = decoded["lfm_psd"].copy()
    assert records.dtype["epoch"] == np.uint64
    records["epoch"][2] = np.iinfo(np.uint64).max
    with CDFWriter(tmp_path, workers=1, source="L0.h5") as writer:
        feed(writer, "lfm_psd", records)
    assert writer.outputs and all("_2000" not in os.path.basename(p) for p in writer.outputs)
    assert sum(len(read_cdf(p)[1][EPOCH]) for p in writer.outputs) == len(records) - 1
    assert any("1 record(s) without a UTC time" in w for r in writer.results for w in r.warnings)
