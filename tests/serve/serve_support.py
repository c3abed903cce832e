"""Helpers of the HAPI server's tests: archives made by the command line, the server as a
process of its own, plain GETs."""

import contextlib
import os
import signal
import subprocess
import sys
import urllib.error
import urllib.request
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def env():
    return dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT), os.environ.get("PYTHONPATH", "")]))


def dravel(*args):
    return subprocess.run(
        [sys.executable, "-m", "kesta.dravel", *map(str, args)], env=env(), capture_output=True, text=True, timeout=300
    )


def make_archive(base, days, *options):
    """An archive of `days` simulated days from 2024-03-01 under `base`."""
    done = dravel("simulate", "--days", days, "--start", "2024-03-01", "-o", base / "l0")
    assert done.returncode == 0, done.stderr
    done = dravel("archive", str(base / "l0" / "*.h5"), "-o", base / "archive", "--workers", 1, *options)
    assert done.returncode == 0, done.stderr
    return base / "archive"


@contextlib.contextmanager
def running_server(archive, *options, preexec_fn=None):
    """(base URL, process) of `dravel serve` on a free port; stopped by its pid. `preexec_fn`:
    run in the server's process before it starts (limits)."""
    proc = subprocess.Popen(
        [sys.executable, "-m", "kesta.dravel", "serve", archive, "--port", "0", *map(str, options)],
        env=env(),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        preexec_fn=preexec_fn,
    )
    try:
        line = proc.stdout.readline()
        assert "/hapi" in line, proc.stderr.read() if proc.poll() is not None else line
        yield line.split(" at ")[1].split()[0], proc
    finally:
        os.kill(proc.pid, signal.SIGTERM)
        proc.wait(timeout=20)


def get(url):
    """(HTTP status, body) of a GET."""
    try:
        with urllib.request.urlopen(url, timeout=60) as r:
            return r.status, r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.read()


def assert_info_is_what_day_files_hold(url, archive):
    """Every dataset's `info` (answered from the product registry) describes its parameters as
    the day-file reader finds them in its newest day file: names, order, types, sizes, units,
    fill values, bins."""
    import json

    from kesta.dravel.serve.app import time_parameter
    from kesta.dravel.serve.archive import Archive
    from kesta.dravel.serve.dayfile import Descriptions

    datasets = Archive(archive).datasets()
    assert datasets
    read = Descriptions()
    for did, dataset in datasets.items():
        held = read(dataset.newest())
        present = {p.name: p for p in held.parameters}
        expected = [time_parameter(held)] + [p.hapi(present) for p in held.parameters]
        status, body = get(f"{url}/info?dataset={did}")
        assert status == 200, did
        assert json.loads(body)["parameters"] == expected, did


HEAVY = ("cdflib", "xarray", "spacepy", "pandas", "h5py")


def heavy_modules_for_metadata(archive):
    """The heavy modules a fresh process imports to answer the catalog and every info."""
    import json

    script = (
        "import json, sys\n"
        "from kesta.dravel.serve.app import Server, landing_page\n"
        f"server = Server({str(archive)!r})\n"
        "for dataset in server.archive.datasets().values():\n"
        "    server.info(dataset, server.description(dataset), None)\n"
        "landing_page(server)\n"
        f"print(json.dumps([m for m in {HEAVY!r} if m in sys.modules]))\n"
    )
    done = subprocess.run([sys.executable, "-c", script], env=env(), capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def request(url, method="GET", headers=None):
    """(HTTP status, reason phrase, {header: value} lowercased, body as sent) of one request."""
    import http.client
    from urllib.parse import urlsplit

    parts = urlsplit(url)
    conn = http.client.HTTPConnection(parts.hostname, parts.port, timeout=60)
    try:
        conn.request(method, parts.path + (f"?{parts.query}" if parts.query else ""), headers=headers or {})
        r = conn.getresponse()
        return r.status, r.reason, {k.lower(): v for k, v in r.getheaders()}, r.read()
    finally:
        conn.close()
