"""`dravel serve` read by the field's HAPI clients: the server runs as its own process over an
archive of two simulated days; what hapiclient and pyspedas get must be what cdflib reads from
the day files."""

import glob
import json
import os
import socket
import sqlite3
import statistics
import subprocess
import sys
import threading
import time

import cdflib
import numpy as np
import pytest

pytest.importorskip("starlette")
pytest.importorskip("uvicorn")
hapiclient = pytest.importorskip("hapiclient")

from kesta.dravel.archive.state import FILE as STATE  # noqa: E402
from kesta.dravel.l1.attributes import fill_value  # noqa: E402

from serve_support import (  # noqa: E402
    assert_info_is_what_day_files_hold,
    dravel,
    env,
    get,
    heavy_modules_for_metadata,
    make_archive,
    request,
    running_server,
)

MAX_DAYS = 2
# crosses the midnight between the archive's two days
START, STOP = "2024-03-01T06:00:00Z", "2024-03-02T18:00:00Z"
WIDE = 100_000  # values a record of a parameter has past which its CSV is parsed here
_get, _dravel = get, dravel


@pytest.fixture(scope="module")
def archive(tmp_path_factory):
    return make_archive(tmp_path_factory.mktemp("serve"), 2)


@pytest.fixture(scope="module")
def server(archive):
    with running_server(archive, "--max-days", MAX_DAYS) as started:
        yield started


def _tt(text):
    from kesta.dravel.serve.times import parse

    return parse(text)


def _from_files(archive, product, names, start, stop):
    """{name: values} of the records in [start, stop) as cdflib reads them from the day files,
    and the time strings of their epochs."""
    parts = {n: [] for n in names}
    epochs = []
    for path in sorted(glob.glob(str(archive / product / "*" / "*" / "*.cdf"))):
        cdf = cdflib.CDF(path)
        epoch = np.atleast_1d(cdf.varget("Epoch")).astype(np.int64)
        keep = (epoch >= start) & (epoch < stop)
        epochs.append(epoch[keep])
        n = len(epoch)
        for name in names:
            shape = tuple(cdf.varinq(name).Dim_Sizes)
            parts[name].append(np.asarray(cdf.varget(name)).reshape((n,) + shape)[keep])
    epoch = np.concatenate(epochs)
    times = [t + "Z" for t in np.atleast_1d(cdflib.cdfepoch.encode_tt2000(epoch))] if len(epoch) else []
    return {n: np.concatenate(v) for n, v in parts.items()}, times


def _read_variables(path):
    """The names of a day file's record variables a scientist reads (data, support data)."""
    cdf = cdflib.CDF(path)
    out = []
    for name in cdf.cdf_info().zVariables:
        if (
            name != "Epoch"
            and cdf.varinq(name).Rec_Vary
            and cdf.varattsget(name).get("VAR_TYPE") in ("data", "support_data")
        ):
            out.append(name)
    return out


def _hapi(url, dataset, parameters, start, stop, fmt):
    return hapiclient.hapi(
        url, dataset, parameters, start, stop, format=fmt, logging=False, usecache=False, cache=False
    )


def _around_midnight(archive, product):
    """(start, stop): a range from the last record before the archive's first midnight to the
    first one after it, both included."""
    from kesta.dravel.serve.times import text

    midnight = _tt("2024-03-02")
    epochs = []
    for path in sorted(glob.glob(str(archive / product / "*" / "*" / "*.cdf"))):
        epochs.append(np.atleast_1d(cdflib.CDF(path).varget("Epoch")).astype(np.int64))
    epoch = np.concatenate(epochs)
    before, after = epoch[epoch < midnight], epoch[epoch >= midnight]
    start = before.max() if len(before) else midnight - 3600 * 10**9
    stop = after.min() + 1 if len(after) else midnight + 3600 * 10**9
    return text(start), text(stop)


@pytest.fixture(params=[False, True], ids=["identity", "gzip"])
def gzipped(request, monkeypatch):
    """hapiclient asking for gzip, or not; the content encodings of the responses it got."""
    import urllib3

    seen = []

    class Pool(urllib3.PoolManager):
        def __init__(self, *args, **kwargs):
            if request.param:
                kwargs.setdefault("headers", urllib3.make_headers(accept_encoding="gzip"))
            super().__init__(*args, **kwargs)

        def request(self, *args, **kwargs):
            r = super().request(*args, **kwargs)
            seen.append(r.headers.get("content-encoding"))
            return r

    monkeypatch.setattr(urllib3, "PoolManager", Pool)
    yield request.param, seen


def test_every_product_every_parameter_as_in_the_day_files(archive, server, gzipped):
    url, _ = server
    products = sorted(p.name for p in archive.iterdir() if p.is_dir() and not p.name.startswith("."))
    catalog = json.loads(_get(f"{url}/catalog")[1])
    assert sorted(e["id"] for e in catalog["catalog"]) == sorted(products + [f"{p}_availability" for p in products])
    fills_seen = 0
    for product in products:
        first = sorted(glob.glob(str(archive / product / "*" / "*" / "*.cdf")))[0]
        names = _read_variables(first)
        # binary over a day and a half; CSV over the records on either side of midnight.
        # hapiclient takes more than a minute to parse a CSV of 262144 columns whatever its
        # rows: the waveforms' CSV is parsed here.
        for fmt, (start, stop) in (("binary", (START, STOP)), ("csv", _around_midnight(archive, product))):
            expected, times = _from_files(archive, product, names, _tt(start), _tt(stop))
            assert times, (product, fmt)
            wide = [n for n in names if fmt == "csv" and expected[n][0].size > WIDE]
            asked = ",".join(n for n in names if n not in wide)
            data, meta = _hapi(url, product, asked, start, stop, fmt)
            assert [p["name"] for p in meta["parameters"]] == ["Epoch"] + [n for n in names if n not in wide]
            assert [t.decode() for t in data["Epoch"]] == times, (product, fmt)
            assert all(a < b for a, b in zip(times, times[1:])), (product, fmt)  # one time a record
            columns = {n: data[n] for n in data.dtype.names}
            for name in wide:
                body = _get(f"{url}/data?dataset={product}&start={start}&stop={stop}&parameters={name}")[1]
                rows = [line.split(",") for line in body.decode().splitlines()]
                assert [r[0] for r in rows] == times
                columns[name] = np.array([r[1:] for r in rows], dtype=np.float64).reshape(expected[name].shape)
                meta["parameters"].append(
                    json.loads(_get(f"{url}/info?dataset={product}&parameters={name}")[1])["parameters"][1]
                )
            for p in meta["parameters"][1:]:
                want, got = expected[p["name"]], columns[p["name"]]
                assert got.shape == want.shape, (product, fmt, p["name"])
                assert np.array_equal(got.astype(np.float64), want.astype(np.float64)), (product, fmt, p["name"])
                fill = float(p["fill"])
                assert float(np.asarray(np.array([fill]).astype(want.dtype))[0]) == fill
                fills_seen += int((got == fill).any())
    assert fills_seen
    asked, seen = gzipped
    # the data and metadata came compressed exactly when asked for (a tiny answer never is)
    assert ("gzip" in seen) == asked and (None in seen)


def test_metadata_is_the_day_files_without_opening_one(archive, server):
    url, _ = server
    assert_info_is_what_day_files_hold(url, archive)
    assert heavy_modules_for_metadata(archive) == []


def test_json_and_header_say_what_binary_says(archive, server):
    url, _ = server
    query = f"dataset=tnr_normal&start={START}&stop={STOP}&parameters=tnr_normal_frequency,tnr_normal_auto1"
    data, meta = _hapi(url, "tnr_normal", "tnr_normal_frequency,tnr_normal_auto1", START, STOP, "binary")
    status, body = _get(f"{url}/data?{query}&format=json")
    doc = json.loads(body)
    assert status == 200 and doc["status"]["code"] == 1200 and doc["format"] == "json"
    assert [p["name"] for p in doc["parameters"]] == ["Epoch", "tnr_normal_frequency", "tnr_normal_auto1"]
    assert doc["parameters"][2]["bins"] == [
        {"name": "tnr_normal_frequency", "units": "Hz", "centers": "tnr_normal_frequency"}
    ]
    assert [r[0].encode() for r in doc["data"]] == list(data["Epoch"])
    assert np.array_equal(np.array([r[2] for r in doc["data"]]), data["tnr_normal_auto1"])
    assert np.array_equal(np.array([r[1] for r in doc["data"]]), data["tnr_normal_frequency"])
    status, body = _get(f"{url}/data?{query}&include=header")
    lines = body.decode().splitlines()
    head = json.loads("".join(line[1:] for line in lines if line.startswith("#")))
    assert head["format"] == "csv" and head["parameters"] == doc["parameters"]
    assert len([line for line in lines if not line.startswith("#")]) == len(data)


def test_pyspedas_loads_a_product_into_tplot(archive, server):
    pyspedas = pytest.importorskip("pyspedas")
    from pyspedas.tplot_tools import get_data

    url, _ = server
    loaded = pyspedas.hapi(
        trange=[START, STOP],
        server=url,
        dataset="tnr_normal",
        parameters="tnr_normal_frequency,tnr_normal_auto1",
        prefix="zelk_",
        quiet=True,
    )
    assert "zelk_tnr_normal_auto1" in loaded
    got = get_data("zelk_tnr_normal_auto1")
    expected, times = _from_files(
        archive, "tnr_normal", ["tnr_normal_frequency", "tnr_normal_auto1"], _tt(START), _tt(STOP)
    )
    # the sweeps' bands that were off, the spectra not measured: NaN, never drawn
    auto = expected["tnr_normal_auto1"]
    fill = fill_value(auto.dtype)
    assert (auto == fill).any() and np.array_equal(got.y, np.where(auto == fill, np.nan, auto), equal_nan=True)
    assert np.array_equal(got.v, expected["tnr_normal_frequency"].astype(np.float64))
    assert len(got.times) == len(times)


@pytest.mark.parametrize(
    "query, code, http",
    [
        ("dataset=nothing&start=2024-03-01Z&stop=2024-03-02Z", 1406, 404),
        ("start=2024-03-01Z&stop=2024-03-02Z", 1400, 400),
        ("dataset=..%2F..%2Fetc&start=2024-03-01Z&stop=2024-03-02Z", 1406, 404),
        ("dataset=tnr_normal&start=2024-03-01Z&stop=2024-03-02Z&parameters=nothing", 1407, 404),
        (
            "dataset=tnr_normal&start=2024-03-01Z&stop=2024-03-02Z&parameters=tnr_normal_auto1,tnr_normal_agc1",
            1411,
            400,
        ),
        ("dataset=tnr_normal&start=2024-13-01Z&stop=2024-03-02Z", 1402, 400),
        ("dataset=tnr_normal&start=yesterday&stop=2024-03-02Z", 1402, 400),
        ("dataset=tnr_normal&start=2024-03-01Z&stop=2024-03-02T25Z", 1403, 400),
        # a 60th second on a day without a leap second; other scripts' digits; spaces around
        ("dataset=tnr_normal&start=2024-03-01T12:00:60Z&stop=2024-03-02Z", 1402, 400),
        ("dataset=tnr_normal&start=2024-03-01Z&stop=%D9%A2%D9%A0%D9%A2%D9%A4-03-02Z", 1403, 400),
        ("dataset=tnr_normal&start=%202024-03-01Z&stop=2024-03-02Z", 1402, 400),
        ("dataset=tnr_normal&start=2024-03-01Z&stop=2024-03-02Z%0A", 1403, 400),
        # an id is the id as written: no trailing newline, ASCII digits
        ("dataset=tswf_v01%0A&start=2024-03-01Z&stop=2024-03-02Z", 1406, 404),
        ("dataset=tswf_v%D9%A0%D9%A1&start=2024-03-01Z&stop=2024-03-02Z", 1406, 404),
        ("dataset=tnr_normal&start=2024-03-02Z&stop=2024-03-02Z", 1404, 400),
        ("dataset=tnr_normal&start=2025-01-01Z&stop=2025-01-02Z", 1405, 400),
        ("dataset=tnr_normal&start=2024-02-20Z&stop=2024-03-05Z", 1408, 400),
        ("dataset=tnr_normal&start=2024-03-01Z&stop=2024-03-02Z&format=xml", 1409, 400),
        ("dataset=tnr_normal&start=2024-03-01Z&stop=2024-03-02Z&colour=red", 1401, 400),
        ("dataset=tnr_normal&start=2024-03-01T00:00:00Z&stop=2024-03-01T00:00:00.001Z&include=header", 1201, 200),
    ],
)
def test_a_bad_request_gets_its_hapi_status(server, query, code, http):
    url, proc = server
    status, reason, _, body = request(f"{url}/data?{query}")
    assert status == http
    text = body.decode()
    if code == 1201:  # the header, and no records
        head = json.loads("".join(line[1:] for line in text.splitlines() if line.startswith("#")))
        assert head["status"]["code"] == 1201
        assert all(line.startswith("#") for line in text.splitlines())
        assert reason.startswith("HAPI 1201")
        # without the header: an empty body
        bare = request(f"{url}/data?{query.replace('&include=header', '')}")
        assert bare[0] == 200 and bare[1].startswith("HAPI 1201") and bare[3] == b""
    else:
        got = json.loads(text)["status"]
        assert got["code"] == code
        # "HAPI error <code>: <what it is>", then what the request got wrong
        assert reason.startswith(f"HAPI error {code}: ") and got["message"].startswith(reason)
    assert proc.poll() is None


def test_times_in_either_hapi_form_and_to_the_nanosecond(server):
    url, _ = server
    # day of year and month-day forms, truncated or not, name the same instants
    a = _get(f"{url}/data?dataset=tnr_normal&start=2024-061Z&stop=2024-062T12Z&parameters=tnr_normal_agc1")[1]
    b = _get(
        f"{url}/data?dataset=tnr_normal&start=2024-03-01T00:00:00.000000000Z&stop=2024-03-02T12:00Z"
        "&parameters=tnr_normal_agc1"
    )[1]
    assert a == b and a
    # start is inclusive, stop exclusive, to the nanosecond
    first = a.decode().splitlines()[1].split(",")[0]
    one = _get(
        f"{url}/data?dataset=tnr_normal&start={first}&stop={first[:-2]}{int(first[-2]) + 1}Z&parameters=tnr_normal_agc1"
    )[1]
    assert one.decode().splitlines()[0].split(",")[0] == first
    none = _get(f"{url}/data?dataset=tnr_normal&start=2024-061Z&stop={first}&parameters=tnr_normal_agc1")[1]
    assert first not in none.decode()


def test_clients_at_once_get_what_one_alone_gets(server):
    url, _ = server
    cases = [
        ("tnr_normal", "2024-03-01T12:00Z", "2024-03-02T06:00Z"),
        ("tswf", START, STOP),
        ("lfm_psd", "2024-03-01T20:00Z", "2024-03-02T04:00Z"),
        ("tnr_normal", START, STOP),
    ]
    query = "{}/data?dataset={}&start={}&stop={}&format=binary"
    alone = [_get(query.format(url, *case)) for case in cases]
    together = [None] * len(cases)

    def fetch(i):
        together[i] = _get(query.format(url, *cases[i]))

    threads = [threading.Thread(target=fetch, args=(i,)) for i in range(len(cases))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert together == alone and all(status == 200 and body for status, body in alone)


def test_a_client_dropping_mid_stream_costs_nothing(server):
    psutil = pytest.importorskip("psutil")
    url, proc = server
    host, port = url.split("//")[1].split("/")[0].rsplit(":", 1)
    request = (
        f"GET /hapi/data?dataset=tswf&start=2024-03-01Z&stop=2024-03-03Z&format=csv HTTP/1.1\r\nHost: {host}\r\n\r\n"
    ).encode()
    for _ in range(3):
        with socket.create_connection((host, int(port))) as s:
            s.sendall(request)
            assert s.recv(65536).startswith(b"HTTP/1.1 200")
    # the server closes what it had open for them and goes on serving
    deadline = time.monotonic() + 20
    while True:
        held = [f.path for f in psutil.Process(proc.pid).open_files() if f.path.endswith(".cdf")]
        if not held or time.monotonic() > deadline:
            break
        time.sleep(0.2)
    assert held == []
    assert _get(f"{url}/catalog")[0] == 200 and proc.poll() is None


def test_the_command_refuses_what_it_cannot_serve(tmp_path, archive):
    (tmp_path / "empty" / "tnr_normal" / "2024" / "03").mkdir(parents=True)
    (tmp_path / "file").write_text("")
    # no folder, a folder with neither state nor day files, a file
    for what in ("missing", "empty", "file"):
        done = _dravel("serve", tmp_path / what)
        assert done.returncode == 2 and done.stderr.startswith("dravel: error:") and len(done.stderr.splitlines()) == 1
    # a limit that is no number of days (nan and inf would lift it): a usage error
    for days in ("nan", "inf", "0", "-1", "two"):
        done = _dravel("serve", archive, "--max-days", days)
        assert done.returncode == 2 and "--max-days" in done.stderr.splitlines()[-1], days
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        done = _dravel("serve", archive, "--port", taken.getsockname()[1])
    assert done.returncode == 2 and "cannot listen" in done.stderr and "Traceback" not in done.stderr
    # without the serve extra: one line saying which extra to install
    blocked = (
        "import sys\n"
        "class Block:\n"
        "    def find_spec(self, name, path=None, target=None):\n"
        "        if name.split('.')[0] == 'starlette':\n"
        "            raise ImportError(name, name=name)\n"
        "sys.meta_path.insert(0, Block())\n"
        "from kesta.dravel.cli import main\n"
        f"sys.exit(main(['serve', {str(archive)!r}]))\n"
    )
    done = subprocess.run([sys.executable, "-c", blocked], env=env(), capture_output=True, text=True, timeout=120)
    assert done.returncode == 2 and done.stderr.splitlines() == [
        "dravel: error: dravel serve needs the 'serve' extra (missing: starlette); install it with: "
        "pip install 'kesta-dravel[serve]'"
    ]


def test_the_landing_page_lists_every_dataset_with_working_examples(archive, server):
    import re
    from html import unescape

    url, _ = server
    status, body = _get(url)
    page = body.decode()
    assert status == 200
    products = sorted(p.name for p in archive.iterdir() if p.is_dir() and not p.name.startswith("."))
    assert all(f"<td>{p}</td>" in page for p in products)
    links = [
        unescape(h)
        for h in re.findall(r'href="(hapi/[^"]+)"', page)
        if "dataset=tswf&" in unescape(h) or unescape(h).endswith("dataset=tswf")
    ]
    assert len(links) == 4
    base = url[: -len("hapi")]
    for link in links:
        assert _get(base + link)[0] == 200, link


def test_a_day_file_replaced_while_served_is_served_whole(archive, server):
    url, proc = server
    folder = archive / "tnr_normal" / "2024" / "03"
    day = folder / "zelk_l1_tnr_normal_20240302_v01.cdf"
    original = day.read_bytes()
    other = (archive / "tnr_burst" / "2024" / "03" / "zelk_l1_tnr_burst_20240302_v01.cdf").read_bytes()
    query = f"{url}/data?dataset=tnr_normal&start=2024-03-01Z&stop=2024-03-03Z&format=binary"

    def put(contents):
        # as the archive writes: a temporary name in the folder, then a rename
        temp = folder / ".swap.tmp"
        temp.write_bytes(contents)
        os.replace(temp, day)

    old = _get(query)
    try:
        put(other)
        new = _get(query)
        assert new[0] == old[0] == 200 and new != old
        stop = threading.Event()

        def swap():
            while not stop.is_set():
                put(original)
                put(other)

        swapper = threading.Thread(target=swap)
        swapper.start()
        try:
            seen = [_get(query) for _ in range(15)]
        finally:
            stop.set()
            swapper.join()
        assert all(s in (old, new) for s in seen)
    finally:
        put(original)
    assert _get(query) == old and proc.poll() is None


@pytest.mark.parametrize("product", ["tswf", "tnr_normal"])
def test_blocks_of_a_few_records_each_give_the_day_files_records(archive, product, monkeypatch):
    # each day file sent in many small blocks, from a range starting and ending mid-day: every
    # block's records are the ones at its place in the day file, none lost, none repeated
    from kesta.dravel.serve import stream
    from kesta.dravel.serve.app import Server

    server = Server(archive)
    dataset = server.archive.dataset(product)
    description = server.description(dataset)
    parameters = description.parameters
    monkeypatch.setattr(stream, "BLOCK_BYTES", 3 * stream.record_bytes(parameters) - 1)
    blocks = list(stream.blocks(dataset, description, parameters, _tt(START), _tt(STOP)))
    assert max(len(t) for t, _ in blocks) == 2 and len(blocks) > 2
    expected, times = _from_files(archive, product, [p.name for p in parameters], _tt(START), _tt(STOP))
    assert [s.decode() for t, _ in blocks for s in t] == times
    for i, p in enumerate(parameters):
        got = np.concatenate([values[i] for _, values in blocks])
        assert np.array_equal(got, expected[p.name].reshape(got.shape)), p.name


def test_a_request_holds_one_day_files_records_at_a_time(archive):
    # each variable is read whole per day file: those of a day must be let go before the next
    # day file is read, or a request's memory grows with its range
    import tracemalloc

    from kesta.dravel.serve import stream
    from kesta.dravel.serve.app import Server, encoder

    server = Server(archive)
    dataset = server.archive.dataset("tswf")
    description = server.description(dataset)
    parameters = description.parameters

    def peak(start, stop):
        tracemalloc.start()
        try:
            blocks = stream.blocks(dataset, description, parameters, _tt(start), _tt(stop))
            for _ in stream.encoded(blocks, encoder(parameters, "binary")):
                pass
            return tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()

    first_day = sum(
        v.nbytes
        for _, values in stream.blocks(dataset, description, parameters, _tt("2024-03-01"), _tt("2024-03-02"))
        for v in values
    )
    alone = max(peak("2024-03-01", "2024-03-02"), peak("2024-03-02", "2024-03-03"))
    assert peak("2024-03-01", "2024-03-03") - alone < 0.75 * first_day


def _served(server, product, days, start=START, stop=STOP):
    """The binary stream of a product's records in [start, stop), read through `days` (a
    HeldDays, or None for a day file opened per request)."""
    from kesta.dravel.serve import stream
    from kesta.dravel.serve.app import encoder

    dataset = server.archive.dataset(product)
    description = server.description(dataset)
    parameters = description.parameters
    blocks = stream.blocks(dataset, description, parameters, _tt(start), _tt(stop), days)
    return b"".join(bytes(c) for c in stream.encoded(blocks, encoder(parameters, "binary")))


def test_day_files_kept_between_requests_give_their_records_within_a_budget(archive):
    # every product read through a small budget (some day files kept, some let go, the
    # waveforms' too big to keep) gives what reading each day file for the request gives
    import dataclasses

    from kesta.dravel.serve import dayfile
    from kesta.dravel.serve.app import Server

    budget = 256 << 10
    server = Server(archive, held_bytes=budget)
    products = sorted(p.name for p in archive.iterdir() if p.is_dir() and not p.name.startswith("."))
    # a day file kept for a dataset of fewer parameters (another data version's) first
    dataset = server.archive.dataset("tnr_normal")
    full = server.description(dataset)
    narrow = dataclasses.replace(full, parameters=full.parameters[-1:])
    for _ in range(2):  # kept when asked for again
        opened = [server.days.open(day, narrow) for day in dataset.files]
        for o in opened:
            o.close()
    assert all(isinstance(o, dayfile._Held) for o in opened)
    for _ in range(3):  # read, read and kept, then from what is kept
        for product in products:
            assert _served(server, product, server.days) == _served(server, product, None), product
            assert server.days.total <= budget and all(h.nbytes <= budget // 4 for h in server.days.held.values())
    kept = {k[0] for k in server.days.held}
    assert kept and not any("tswf" in path for path in kept)


def test_a_day_file_kept_is_never_served_once_replaced(archive, monkeypatch):
    from kesta.dravel.serve import dayfile
    from kesta.dravel.serve.app import Server

    folder = archive / "tnr_normal" / "2024" / "03"
    first, second = (folder / f"zelk_l1_tnr_normal_2024030{d}_v01.cdf" for d in (1, 2))
    original = second.read_bytes()
    server = Server(archive)
    opened = []
    open_day = dayfile.open_day
    monkeypatch.setattr(dayfile, "open_day", lambda day: opened.append(day.path) or open_day(day))

    def put(contents):
        temp = folder / ".swap.tmp"
        temp.write_bytes(contents)
        os.replace(temp, second)

    def expected():
        # the day files' records as they are now, the time and every parameter
        return _served(Server(archive, held_bytes=0), "tnr_normal", None, "2024-03-01Z", "2024-03-03Z")

    def served():
        return _served(server, "tnr_normal", server.days, "2024-03-01Z", "2024-03-03Z")

    old = expected()
    try:
        assert served() == served() == old
        opened.clear()
        assert served() == old and opened == []  # what was kept, no day file opened
        put(first.read_bytes())  # the second day's name now holds the first day's records
        new = expected()
        assert new != old and served() == new

        # replaced again while being opened (after the request looked at it) or read: that
        # request gets a whole file, old or new, the next one the new file, and what is kept
        # is only ever kept under the version of the file it was read from
        for before in (True, False):

            def replacing(day):
                if day.path == str(second) and before:  # noqa: B023 - patched in for this iteration only
                    put(original)
                found = open_day(day)
                if day.path == str(second) and not before:  # noqa: B023 - patched in for this iteration only
                    put(original)
                return found

            put(first.read_bytes())  # a file of its own (inode), the same records
            assert served() == new  # asked for once: read, not kept
            monkeypatch.setattr(dayfile, "open_day", replacing)
            assert served() in (old, new)
            assert all(key == dayfile.version(key[0]) for key in server.days.held)
            monkeypatch.setattr(dayfile, "open_day", open_day)
            assert served() == old
    finally:
        put(original)


def test_nan_and_infinities_give_valid_json_and_hapis_csv():
    from kesta.dravel.serve import stream
    from kesta.dravel.serve.dayfile import Parameter

    parameters = [Parameter("n", "integer", (), -1, None, "n"), Parameter("x", "double", (3,), float("nan"), "V", "x")]
    t = np.array([b"2024-03-01T00:00:00.000000000Z", b"2024-03-01T00:00:01.000000000Z"])
    block = (t, [np.array([1, -1], np.int32), np.array([[np.nan, 1.5, np.inf], [-np.inf, 2.0, 0.1]])])

    def refuse(constant):
        raise AssertionError(f"{constant} is not JSON")

    rows = json.loads("[" + stream.encode_json(parameters)(block, True).decode() + "]", parse_constant=refuse)
    assert rows == [[t[0].decode(), 1, [None, 1.5, None]], [t[1].decode(), -1, [None, 2.0, 0.1]]]
    lines = stream.encode_csv(parameters)(block).decode().splitlines()
    assert lines == [f"{t[0].decode()},1,NaN,1.5,Infinity", f"{t[1].decode()},-1,-Infinity,2.0,0.1"]
    assert parameters[1].hapi({})["fill"] == "NaN"
    assert Parameter("y", "double", (), None, None, "y").hapi({})["fill"] is None


def test_last_modified_if_modified_since_and_head(archive, server):
    from email.utils import formatdate, parsedate_to_datetime

    url, _ = server
    day = archive / "tnr_normal" / "2024" / "03" / "zelk_l1_tnr_normal_20240302_v01.cdf"
    data = f"{url}/data?dataset=tnr_normal&start=2024-03-02T06Z&stop=2024-03-02T08Z"
    paths = [url, f"{url}/about", f"{url}/capabilities", f"{url}/catalog", f"{url}/info?dataset=tnr_normal", data]
    for path in paths:
        status, _, head, body = request(path)
        assert status == 200 and body, path
        since = head["last-modified"]
        # as new as the client's copy: 304, nothing sent; older: the answer
        assert request(path, headers={"If-Modified-Since": since})[::3] == (304, b""), path
        older = formatdate(parsedate_to_datetime(since).timestamp() - 1, usegmt=True)
        assert request(path, headers={"If-Modified-Since": older})[0] == 200, path
        # HEAD: the status and headers of GET, no body
        status, _, head_only, body = request(path, method="HEAD")
        assert (status, body, head_only["last-modified"]) == (200, b"", since), path
    # a day file written anew: what reads it is newer, what does not is not
    stat = os.stat(day)
    before = {p: request(p)[2]["last-modified"] for p in paths}
    try:
        os.utime(day, (stat.st_atime, stat.st_mtime + 3600))
        after = {p: request(p)[2]["last-modified"] for p in paths}
        assert parsedate_to_datetime(after[data]).timestamp() == int(stat.st_mtime + 3600)
        for p in (f"{url}/info?dataset=tnr_normal", data):
            assert after[p] != before[p] and request(p, headers={"If-Modified-Since": before[p]})[0] == 200
        early = f"{url}/data?dataset=tnr_normal&start=2024-03-01T06Z&stop=2024-03-01T08Z"
        assert request(early)[2]["last-modified"] != after[data]
        # the catalog lists days: a day file added (its folder changed) makes it newer
        assert after[f"{url}/catalog"] == before[f"{url}/catalog"]
        added = day.with_name("zelk_l1_tnr_normal_20240303_v01.cdf")
        added.write_bytes(day.read_bytes())
        folder = os.stat(day.parent)
        os.utime(day.parent, (folder.st_atime, folder.st_mtime + 7200))
        assert request(f"{url}/catalog", headers={"If-Modified-Since": before[f"{url}/catalog"]})[0] == 200
    finally:
        os.utime(day, ns=(stat.st_atime_ns, stat.st_mtime_ns))
        day.with_name("zelk_l1_tnr_normal_20240303_v01.cdf").unlink(missing_ok=True)
    # the metadata of a HEAD's data request: the 1201 of an empty range, without reading it all
    empty = f"{url}/data?dataset=tnr_normal&start=2024-03-01T00:00:00Z&stop=2024-03-01T00:00:00.001Z"
    status, reason, _, body = request(empty, method="HEAD")
    assert (status, body) == (200, b"") and reason.startswith("HAPI 1201")


def test_gzip_streams_what_identity_sends(server):
    import gzip

    url, _ = server
    query = f"{url}/data?dataset=tswf&start={START}&stop={STOP}&format=binary"
    plain = request(query)
    status, _, head, body = request(query, headers={"Accept-Encoding": "gzip"})
    assert status == 200 and head["content-encoding"] == "gzip"
    assert head.get("transfer-encoding") == "chunked" and "content-length" not in head  # streamed
    assert gzip.decompress(body) == plain[3] and len(body) < len(plain[3])
    info = request(f"{url}/info?dataset=tswf", headers={"Accept-Encoding": "gzip"})
    assert info[2]["content-encoding"] == "gzip" and json.loads(gzip.decompress(info[3]))["parameters"]


def test_access_log_lines(archive, tmp_path):
    # on stderr with -v and in --access-log's file: one line a request, the bytes as sent
    # (compressed, none for HEAD)
    import re

    log = tmp_path / "access.log"
    line = re.compile(
        r"^127\.0\.0\.1 - - \[\d{2}/\w{3}/\d{4}:\d{2}:\d{2}:\d{2} [+-]\d{4}\] "
        r'"(?P<request>[^"]*)" (?P<status>\d{3}) (?P<bytes>\d+|-)$'
    )
    with running_server(archive, "-v", "--access-log", log) as (url, proc):
        asked = [
            ("GET", "/hapi/catalog", {}),
            ("GET", "/hapi/info?dataset=nothing", {}),
            ("GET", "/hapi/data?dataset=tnr_normal&start=2024-03-01Z&stop=2024-03-02Z", {"Accept-Encoding": "gzip"}),
            ("HEAD", "/hapi/about", {}),
        ]
        got = []
        for method, path, extra in asked:
            status, _, _, body = request(url[: -len("/hapi")] + path, method, extra)
            got.append((f"{method} {path} HTTP/1.1", str(status), str(len(body)) if body else "-"))
    stderr = proc.stderr.read().splitlines()
    for lines in (log.read_text().splitlines(), [s for s in stderr if line.match(s)]):
        matched = [line.match(s) for s in lines]
        assert all(matched) and len(matched) >= len(asked)
        assert [(m["request"], m["status"], m["bytes"]) for m in matched[: len(asked)]] == got


@pytest.mark.parametrize("fmt", ["csv", "binary"])
def test_availability_lists_the_day_files_and_serves_them(archive, server, fmt):
    url, _ = server
    products = sorted(p.name for p in archive.iterdir() if p.is_dir() and not p.name.startswith("."))
    ids = {e["id"] for e in json.loads(_get(f"{url}/catalog")[1])["catalog"]}
    assert {f"{p}_availability" for p in products} <= ids
    product = "tswf"
    paths = sorted(glob.glob(str(archive / product / "*" / "*" / "*.cdf")))
    counts = [len(np.atleast_1d(cdflib.CDF(p).varget("Epoch"))) for p in paths]
    # the second day's file touched: the state no longer describes it, its records are counted
    os.utime(paths[1])
    data, meta = _hapi(url, f"{product}_availability", "", "2024-03-01T00:00:00Z", "2024-03-03T00:00:00Z", fmt)
    assert [p["name"] for p in meta["parameters"]] == ["start", "stop", "records", "data_version", "url"]
    assert [_text(t) for t in data["start"]] == ["2024-03-01T00:00:00Z", "2024-03-02T00:00:00Z"]
    assert [_text(t) for t in data["stop"]] == ["2024-03-02T00:00:00Z", "2024-03-03T00:00:00Z"]
    assert list(data["records"]) == counts[:2] and [_text(v) for v in data["data_version"]] == ["v01", "v01"]
    for path, link in zip(paths, data["url"]):
        link = _text(link)
        assert link.startswith(url + "/files/tswf/") and link.endswith(os.path.basename(path))
        whole = open(path, "rb").read()
        status, _, head, body = request(link)
        assert (status, body) == (200, whole) and head["last-modified"]
        status, _, head, body = request(link, headers={"Range": "bytes=100-199"})
        assert (status, body, head["content-range"]) == (206, whole[100:200], f"bytes 100-199/{len(whole)}")
        assert request(link, headers={"If-Modified-Since": head["last-modified"]})[::3] == (304, b"")
        assert request(link, method="HEAD")[::3] == (200, b"")
    # only the day files found: another name, another product's folder, a path
    for wrong in (
        "tswf/zelk_l1_tswf_20240309_v01.cdf",
        "tnr_normal/" + os.path.basename(paths[0]),
        "tswf/..%2F..%2Fdravel-archive.sqlite",
        "nothing/x.cdf",
    ):
        assert request(f"{url}/files/{wrong}")[0] in (400, 404), wrong


def _text(value):
    return value.decode() if isinstance(value, bytes) else str(value)


def test_info_titles_cadence_and_the_missions_attributes(archive, server):
    url, _ = server
    catalog = json.loads(_get(f"{url}/catalog")[1])["catalog"]
    titles = [e["title"] for e in catalog]
    assert len(set(titles)) == len(titles) and all(len(t) <= 40 for t in titles)
    for entry in catalog:
        info = json.loads(_get(f"{url}/info?dataset={entry['id']}")[1])
        assert info["title"] == entry["title"] and len(info["description"]) > len(info["title"])
        # a TNR survey record's time is the middle of its measurement
        assert info["timeStampLocation"] == (
            "center"
            if entry["id"].startswith("tnr_") and "_cal" not in entry["id"] and "avail" not in entry["id"]
            else "begin"
        ), entry["id"]
        assert info["modificationDate"].endswith("Z")
        assert "contact" not in info and "datasetCitation" not in info  # the archive sets none
    cadences = {e["id"]: json.loads(_get(f"{url}/info?dataset={e['id']}")[1]).get("cadence") for e in catalog}
    # a survey's cadence: a day over its median records a day, in the state
    with sqlite3.connect(archive / STATE) as db:
        counts = [n for (n,) in db.execute("SELECT records FROM day_files WHERE product = 'tnr_normal'")]
    assert cadences["tnr_normal"] == f"PT{round(86400 / statistics.median(counts))}S" and cadences["tswf"] is None
    config = archive / "dravel-archive.toml"
    config.write_text(
        '[global_attributes]\nPI_name = "A. Researcher"\nPI_affiliation = "Institute of Space Physics"\n'
        'Acknowledgement = "Please acknowledge the Zelk team."\n'
    )
    try:
        info = json.loads(_get(f"{url}/info?dataset=tswf")[1])
        assert info["contact"] == "A. Researcher, Institute of Space Physics"
        assert info["datasetCitation"] == "Please acknowledge the Zelk team."
        about = json.loads(_get(f"{url}/about")[1])
        assert about["contact"] == info["contact"] and about["citation"] == info["datasetCitation"]
    finally:
        config.unlink()
