import datetime
import errno
import fcntl
import itertools
import json
import os
import select
import shutil
import signal
import subprocess
import time
from html.parser import HTMLParser

import numpy as np
import pytest

from kesta.dravel.archive import coverage
from kesta.dravel.archive.coverage import gaps, write_page

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
S = 1_000_000_000


def day(d, records, **fields):
    entry = {
        "day": d,
        "records": records,
        "duplicates": 0,
        "gaps": 0,
        "largest_gap_s": 20.0,
        "reported": 0,
        "warnings": 0,
        "file": f"tnr normal/zelk_l1_tnr_normal_{d}_v01.cdf",
        "plot": f"tnr normal/zelk_l1_tnr_normal_{d}_v01.png",
        "sources": [f"L0_{d}.h5"],
    }
    return {**entry, **fields}


SUMMARY = {
    "mission": "Zelk",
    "instrument": "radio waves",
    "generated": "2026-12-08T21:40:00Z",
    "software": "0.1.0",
    "data_version": "01",
    # the campaign: the days the L0 files cover, 03-01, 03-03 and 03-04 (one file), 03-06 (each
    # runs minutes into the next day); 03-02 and 03-05 are covered by no file: missing
    "files": [
        {
            "name": "L0_20240301.h5",
            "status": "ok",
            "message": "",
            "records": 1234,
            "size": 1_234_567,
            "first": "2024-03-01T00:00:05Z",
            "last": "2024-03-02T00:20:00Z",
            "days": ["20240301", "20240302"],
            "product_days": {"tnr_normal": ["20240301", "20240302"], "tswf": ["20240301"]},
        },
        {
            "name": "L0_20240303.h5",
            "status": "ok",
            "message": "",
            "records": 5,
            "size": 10,
            "first": "2024-03-03T00:00:00Z",
            "last": "2024-03-04T23:00:00Z",
            "days": ["20240303", "20240304"],
            "product_days": {"tnr_normal": ["20240303"], "tswf": ["20240304"]},
        },
        {
            "name": "L0_20240306.h5",
            "status": "partial",
            "message": "",
            "records": 12,
            "size": 999,
            "first": "2024-03-06T00:00:00Z",
            "last": "2024-03-07T00:15:00Z",
            "days": ["20240306", "20240307"],
            "product_days": {"tnr_normal": ["20240306", "20240307"], "tswf": ["20240306"], "hist2d": ["20240306"]},
        },
        {"name": "L0_<script>alert(1)</script>.h5", "status": "failed", "message": "truncated & <b>bad</b>"},
    ],
    "products": {
        "tnr_normal": [
            day("20240301", 67, duplicates=3, largest_gap_s=20000.0),
            day("20240303", 5, reported=2, largest_gap_s=600.0),
            day("20240304", 0, file=None, plot=None, largest_gap_s=None),
            day("20240307", 3, largest_gap_s=60.0),
        ],  # past the last file's midnight
        "<img src=x onerror=alert(1)>": [day("20240306", 9, file='javascript:alert("x")')],
    },
}


class Page(HTMLParser):
    """What a page holds: its tags, URLs, text, table rows and strip cells."""

    def __init__(self, text):
        super().__init__()
        self.tags, self.urls, self.text, self.rows, self.cells = set(), [], [], [], []
        self._row = self._cell = self._title = None
        self._in_svg = False
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        self.tags.add(tag)
        self.urls += [attrs[a] for a in ("href", "src") if a in attrs]
        self._in_svg = self._in_svg or tag == "svg"
        if tag == "tr":
            self._row = (attrs.get("class"), [])
            self.rows.append(self._row)
        elif tag in ("a", "g") and self._in_svg:
            self._cell = {"href": attrs.get("href"), "title": "", "classes": set()}
            self.cells.append(self._cell)
        elif self._cell is not None:
            self._cell["classes"].add(attrs.get("class"))
        self._title = tag == "title" and self._cell is not None

    def handle_endtag(self, tag):
        if tag in ("a", "g"):
            self._cell = None
        self._in_svg = self._in_svg and tag != "svg"

    def handle_data(self, data):
        self.text.append(data)
        if self._row is not None and data.strip():
            self._row[1].append(data)
        if self._title:
            self._cell["title"] += data


def test_the_page_shows_days_holes_links_and_files_and_escapes_what_it_shows(tmp_path):
    path = write_page(tmp_path, SUMMARY)
    assert path == os.path.join(tmp_path, "index.html") and os.listdir(tmp_path) == ["index.html"]
    page = Page(open(path, encoding="utf-8").read())
    text = "".join(page.text)

    # hostile names are shown as text, never as markup; every URL stays inside the archive
    assert not {"script", "img"} & page.tags
    assert "L0_<script>alert(1)</script>.h5" in text and "<img src=x onerror=alert(1)>" in text
    assert all(u.startswith(("#", "data:")) or ("//" not in u and ":" not in u.split("/")[0]) for u in page.urls)
    assert "javascript%3Aalert%28%22x%22%29" in page.urls

    # the title names the mission, instrument, data version and software
    assert "<title>Zelk radio waves L1 archive, data version 01, software 0.1.0</title>" in open(path).read()

    # the campaign is the days the L0 files cover: 03-01 to 03-06; tnr_normal's records of 03-07
    # (past the last file's midnight) are shown outside it, not as a hole; 03-02 and 03-05 have
    # no L0 file: missing (not holes), whatever records spilled over into them
    assert "Campaign: 2024-03-01 to 2024-03-06 (6 days" in text and "records also on 2024-03-07" in text
    assert "L0 file missing for 2 days: 2024-03-02, 2024-03-05" in text
    overview = [c for c in page.cells if c["title"].startswith("tnr_normal ")]
    strip = [c for c in page.cells if c["title"].startswith("2024-")][:7]
    for cells in (overview, strip):
        assert [c["title"].split(": ")[0][-10:] for c in cells] == [f"2024-03-0{d}" for d in range(1, 8)]
        assert [c["title"] for c in cells if "hole" in c["classes"]] == [
            f"{'tnr_normal ' if cells is overview else ''}{d}"
            for d in ("2024-03-04: 0 records, no day file (hole)", "2024-03-06: no records (hole)")
        ]
        assert [c["title"] for c in cells if "missing" in c["classes"]] == [
            f"{'tnr_normal ' if cells is overview else ''}{d}: no L0 file of its own (missing)"
            for d in ("2024-03-02", "2024-03-05")
        ]
        assert cells[0]["href"] == "tnr%20normal/zelk_l1_tnr_normal_20240301_v01.cdf"
        assert "(outside the campaign)" in cells[6]["title"]
    # a gap is a step longer than twice the product's usual longest one (here 10 min), and an
    # hour: 03-01's 5.6 h is one, 03-07's minute is not
    assert [c["classes"] - {None} for c in overview] == [
        {"gap"},
        {"missing"},
        {"report"},
        {"hole"},
        {"missing"},
        {"hole"},
        {"outside"},
    ]
    # a missing day is marked in every product's row, one with records there too
    other = [c for c in page.cells if c["title"].startswith("<img")]
    assert [c["title"] for c in other if "missing" in c["classes"]] == [
        "<img src=x onerror=alert(1)> 2024-03-02: no L0 file of its own (missing)",
        "<img src=x onerror=alert(1)> 2024-03-05: no L0 file of its own (missing)",
    ]
    assert "<dt>Missing</dt>" in open(path).read() and "2 days with records of 6 in the campaign" in text
    assert "gap-mark" in strip[0]["classes"] and "report-mark" in strip[2]["classes"]
    assert "gap (largest step 5.6 h)" in strip[0]["title"] and "2 reported units" in strip[2]["title"]
    assert "<dt>Gap</dt>" in open(path).read() and "A step between two consecutive records" in text

    # the table of the days, then the L0 files with their size, time range and days fed
    rows = {r[1][0]: r for r in page.rows if r[1]}
    assert rows["2024-03-01"][1][1:5] == ["67", "3", "gap", "5.6 h"]
    assert "tnr%20normal/zelk_l1_tnr_normal_20240301_v01.png" in page.urls
    assert rows["L0_20240301.h5"][1][1:5] == [
        "ok",
        "1.2 MB",
        "2024-03-01 00:00:05Z to 2024-03-02 00:20:00Z",
        "2024-03-01 to 2024-03-02 (2)",
    ]
    failed = rows["L0_<script>alert(1)</script>.h5"]
    assert failed[0] == "failed" and failed[1][-1] == "truncated & <b>bad</b>"
    assert rows["L0_20240301.h5"][0] is None and rows["L0_20240306.h5"][0] == "partial"
    assert "L0 files: 4 — 2 ok, 1 partial, 1 failed" in text


def test_the_campaign_and_gaps_by_the_products_own_measure():
    # a file covers the days half its products or more have records on: not 03-04 (one of three)
    files = [
        {
            "product_days": {
                "a": ["20240301", "20240302", "20240303", "20240304"],
                "b": ["20240302", "20240303"],
                "c": ["20240301"],
            }
        },
        # two products, one on each of two days: both days
        {"product_days": {"a": ["20240308"], "b": ["20240309"], "c": []}},
    ]
    assert coverage.campaign_days(files, {}) == (datetime.date(2024, 3, 1), datetime.date(2024, 3, 9))
    # the minutes of units a file shares with the next day's file are a small share of its
    # records: no day of its own; the next day's file missing, that day is missing
    spill = {"tnr": {"20240301": 46, "20240302": 28}, "tswf": {"20240301": 4, "20240302": 1}, "hfr": {"20240301": 144}}
    files = [
        {"product_records": spill},
        {"product_days": {"tswf": ["20240304"]}},
        {"product_days": {}},
    ]  # never decoded: covers nothing
    assert coverage.campaign_days(files, {}) == (datetime.date(2024, 3, 1), datetime.date(2024, 3, 4))
    assert coverage.missing_days(files) == [datetime.date(2024, 3, 2), datetime.date(2024, 3, 3)]
    assert coverage.missing_days([{"product_days": {}}]) == []
    # no file says: the days holding records
    assert coverage.campaign_days([{"product_days": {}}], {"a": [{"day": "20240305"}]}) == (
        datetime.date(2024, 3, 5),
        datetime.date(2024, 3, 5),
    )
    # calibrations every 8 hours: no day has a gap; a survey that stopped for 6 hours has one
    bursts = [{"records": 144, "largest_gap_s": 28500.0 + k} for k in range(30)]
    assert coverage.gap_threshold(bursts) == pytest.approx(2 * 28514.5)
    survey = [{"records": 70, "largest_gap_s": 900.0}] * 29 + [{"records": 50, "largest_gap_s": 6 * 3600.0}]
    assert coverage.gap_threshold(survey) == 3600.0
    assert coverage.gap_threshold([{"records": 1, "largest_gap_s": 0.0}]) is None


@pytest.mark.parametrize(
    "times_s, expected",
    [
        ([], (0, 0.0)),
        ([5.0], (0, 0.0)),
        ([0, 10, 20, 30, 3630, 3640, 3650], (1, 3600.0)),  # a regular cadence with one hole
        ([0, 1, 2, 32, 33, 34], (0, 30.0)),  # longer than 10 steps, shorter than a minute
        ([0, 100, 200, 1200, 1300], (0, 1000.0)),  # exactly 10 steps is no gap
        ([0, 100, 200, 1201, 1301, 2302], (2, 1001.0)),
    ],
)
def test_gaps(times_s, expected):
    assert gaps(np.array(times_s, dtype=np.int64) * S + 700_000_000 * S) == expected


@pytest.mark.parametrize("where, error", [("fsync", OSError(errno.ENOSPC, "full")), ("replace", KeyboardInterrupt())])
def test_a_failed_write_keeps_the_previous_page_and_leaves_no_temporary(tmp_path, monkeypatch, where, error):
    before = open(write_page(tmp_path, {"products": {"tnr_normal": []}}), encoding="utf-8").read()

    def fail(*args):
        raise error

    monkeypatch.setattr(coverage.os, where, fail)
    with pytest.raises(type(error)):
        write_page(tmp_path, SUMMARY)
    monkeypatch.undo()
    assert os.listdir(tmp_path) == ["index.html"]
    assert open(tmp_path / "index.html", encoding="utf-8").read() == before


def load(url, home, timeout=60, width=None, measure=None):
    """Opens `url` in headless Chromium, driven over its debugging pipe; returns (the DOM once
    loaded, the problems met: console errors and warnings, exceptions, failed loads). `width`:
    the window's width in CSS pixels; `measure`: a JavaScript expression evaluated once the page
    is loaded, its value returned third."""
    # CI's sanitized pass preloads the sanitizer runtimes into every process: Chromium then hangs
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    env.update(HOME=str(home), XDG_CONFIG_HOME=str(home), XDG_CACHE_HOME=str(home))
    (commands_in, commands), (answers, answers_out) = os.pipe(), os.pipe()
    # Chromium reads commands on fd 3 and answers on fd 4; high copies keep the dup2s from clashing
    ends = [fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10) for fd in (commands_in, answers_out)]

    def child():
        for target, fd in zip((3, 4), ends):
            os.dup2(fd, target)
            os.set_inheritable(target, True)

    log = open(home / "chromium.log", "w+")
    browser = subprocess.Popen(
        [
            CHROMIUM,
            "--headless=new",
            "--no-sandbox",
            "--disable-gpu",
            "--disable-dev-shm-usage",
            f"--user-data-dir={home}/profile",
            "--no-first-run",
            "--disable-extensions",
            "--disable-sync",
            "--disable-background-networking",
            "--host-resolver-rules=MAP * ~NOTFOUND",
            "--enable-logging=stderr",
            "--v=0",
            "--remote-debugging-pipe",
            "about:blank",
        ],
        env=env,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL,
        stderr=log,
        pass_fds=(3, 4),
        preexec_fn=child,
        start_new_session=True,
    )
    for fd in (commands_in, answers_out, *ends):
        os.close(fd)
    deadline, ids, events, pending = time.monotonic() + timeout, itertools.count(1), [], [b""]

    def receive():
        while b"\0" not in pending[0]:
            ready = select.select([answers], [], [], max(0.0, deadline - time.monotonic()))[0]
            chunk = os.read(answers, 1 << 16) if ready else b""
            if not chunk:
                log.seek(0)
                pytest.fail(f"Chromium stopped answering; its log ends:\n{log.read()[-3000:]}")
            pending[0] += chunk
        message, _, pending[0] = pending[0].partition(b"\0")
        return json.loads(message)

    def call(method, session=None, **params):
        ident = next(ids)
        os.write(
            commands,
            json.dumps(
                {"id": ident, "method": method, "params": params, **({"sessionId": session} if session else {})}
            ).encode()
            + b"\0",
        )
        while (message := receive()).get("id") != ident:
            events.append(message)
        assert "error" not in message, (method, message["error"])
        return message["result"]

    try:
        target = call("Target.createTarget", url="about:blank")["targetId"]
        session = call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        for domain in ("Page", "Runtime", "Log", "Network"):
            call(f"{domain}.enable", session)
        if width:
            call(
                "Emulation.setDeviceMetricsOverride",
                session,
                width=width,
                height=900,
                deviceScaleFactor=1,
                mobile=False,
            )
        assert "errorText" not in call("Page.navigate", session, url=url)
        while not any(e.get("method") == "Page.loadEventFired" for e in events):
            events.append(receive())
        dom = call("Runtime.evaluate", session, expression="document.documentElement.outerHTML", returnByValue=True)[
            "result"
        ]["value"]
        measured = (
            measure and call("Runtime.evaluate", session, expression=measure, returnByValue=True)["result"]["value"]
        )
        os.write(commands, json.dumps({"id": next(ids), "method": "Browser.close"}).encode() + b"\0")
        browser.wait(timeout=10)
    finally:
        if browser.poll() is None:
            os.killpg(browser.pid, signal.SIGKILL)
            browser.wait()
        os.close(commands)
        os.close(answers)
    return (dom, problems(events)) + ((measured,) if measure else ())


def problems(events):
    urls, found = {}, []
    for event in events:
        method, p = event.get("method"), event.get("params", {})
        if method == "Network.requestWillBeSent":
            urls[p["requestId"]] = p["request"]["url"]
        elif method == "Runtime.consoleAPICalled" and p["type"] in ("error", "warning", "assert"):
            found.append(f"console.{p['type']}: {[a.get('value', a.get('description')) for a in p['args']]}")
        elif method == "Runtime.exceptionThrown":
            details = p["exceptionDetails"]
            found.append(f"exception: {details.get('exception', {}).get('description', details['text'])}")
        elif method == "Log.entryAdded" and p["entry"]["level"] in ("error", "warning"):
            found.append(f"{p['entry']['text']} ({p['entry'].get('url', '')})")
        elif method == "Network.loadingFailed" and not p.get("canceled"):
            found.append(f"{p['errorText']}: {urls.get(p['requestId'])}")
    return found


@pytest.mark.skipif(CHROMIUM is None, reason="no Chromium binary (chromium or chromium-browser) on PATH")
def test_the_page_loads_in_a_browser_without_a_problem(tmp_path):
    (tmp_path / "archive").mkdir()
    path = write_page(tmp_path / "archive", SUMMARY)
    dom, found = load(f"file://{path}", tmp_path)
    assert found == []
    assert "<h2>tnr_normal</h2>" in dom and "L0_&lt;script&gt;alert(1)&lt;/script&gt;.h5" in dom

    # the same check on a broken page finds each of its faults
    broken = tmp_path / "archive" / "broken.html"
    broken.write_text(
        '<!DOCTYPE html><html><head><link rel="stylesheet" href="https://fonts.invalid/a.css">'
        '</head><body><h2>x</h2><img src="missing.png"><script>console.error("boom")</script>'
        "<script>null.x</script></body></html>"
    )
    dom, found = load(broken.as_uri(), tmp_path)
    assert "<h2>x</h2>" in dom
    for fault in ("fonts.invalid/a.css", "missing.png", "boom", "TypeError"):
        assert any(fault in line for line in found), (fault, found)


def test_a_years_page_shows_it_on_one_screen(tmp_path):
    # 11 products x 365 days, every product missing 07-04: one overview narrower than a screen,
    # one column per day, the hole in every row; the page stays a few megabytes
    import re

    first = datetime.date(2024, 1, 1)
    dates = [(first + datetime.timedelta(days=k)).strftime("%Y%m%d") for k in range(365)]
    names = [f"product{k}" for k in range(11)]
    products = {
        n: [
            day(d, 1000 + k, largest_gap_s=600.0, sources=[f"L0_{d}.h5"])
            for k, d in enumerate(dates)
            if d != "20240704"
        ]
        for n in names
    }
    files = [
        {
            "name": f"L0_{d}.h5",
            "status": "ok",
            "size": 10**6,
            "first": f"{d}",
            "last": f"{d}",
            "days": [d],
            "product_days": {n: [d] for n in names},
        }
        for d in dates
    ]
    path = write_page(tmp_path, {"products": products, "files": files})
    text = open(path, encoding="utf-8").read()
    svg = re.search(r'<svg [^>]*class="overview" width="(\d+)"', text)
    assert int(svg.group(1)) <= 1200
    overview = text[svg.start() : text.index("</svg>", svg.start())]
    assert overview.count('class="hole"') == 11 and overview.count("<rect") == 11 * 365
    assert "Campaign: 2024-01-01 to 2024-12-30 (365 days" in text
    assert len(text.encode()) < 6_000_000


def test_an_archive_names_its_mission_and_reads_its_day_as_the_campaign(tmp_path, capsys):
    # one day of L0: its TNR records run on into the next day, which is not a hole of the other
    # products; the attributes a mission sets reach every day file, and a change rewrites them
    import spacepy.pycdf as pycdf
    import spacepy.pycdf.istp as istp

    from kesta.dravel.cli import main
    from kesta.dravel.cli.simulate import simulate_days

    simulate_days(tmp_path / "L0", 1, "2024-03-01")
    archive = tmp_path / "AR"
    archive.mkdir()
    (archive / "dravel-archive.toml").write_text(
        '[global_attributes]\nPI_name = "A. Researcher"\nPI_affiliation = "Space Institute"\n'
        'Rules_of_use = """Cite the mission.\nAsk the PI first."""\n'
    )
    args = [str(tmp_path / "L0" / "L0_20240301.h5"), "-o", str(archive), "-q"]
    assert main(["archive", *args]) == 0
    text = open(archive / "index.html", encoding="utf-8").read()
    assert "<title>Zelk radio and plasma waves L1 archive, data version 01, software " in text
    assert "Campaign: 2024-03-01 to 2024-03-01 (1 day" in text and "records also on 2024-03-02" in text
    assert 'class="hole"' not in text
    page = Page(text)
    (row,) = [r[1] for r in page.rows if r[1] and r[1][0] == "L0_20240301.h5"]
    assert row[1] == "ok" and row[2].endswith("MB") and row[3].startswith("2024-03-01 00:")
    assert row[4] == "2024-03-01 to 2024-03-02 (2)"
    cdfs = sorted(archive.glob("*/2024/03/*.cdf"))
    stamps = {}
    for path in cdfs:
        with pycdf.CDF(str(path)) as f:
            assert istp.FileChecks.all(f, catch=True) == [], path.name
            assert str(f.attrs["PI_name"][0]) == "A. Researcher" and "Ask the PI" in str(f.attrs["Rules_of_use"][0])
        stamps[path] = path.stat().st_mtime_ns
    # another PI: every day file written again; nothing else changed: none
    (archive / "dravel-archive.toml").write_text('[global_attributes]\nPI_name = "B. Other"\n')
    assert main(["archive", *args]) == 0
    for path in cdfs:
        with pycdf.CDF(str(path)) as f:
            assert str(f.attrs["PI_name"][0]) == "B. Other" and str(f.attrs["PI_affiliation"][0]) == " "
            assert "Rules_of_use" not in f.attrs
        stamps[path] = path.stat().st_mtime_ns
    assert main(["archive", *args]) == 0
    assert all(path.stat().st_mtime_ns == stamps[path] for path in cdfs)
    # a file the archive cannot use: one line, exit 2
    capsys.readouterr()
    for bad, why in (
        ("[global_attributes]\nPI = 'x'\n", "'PI' is not an attribute a mission sets"),
        ("[global_attributes\n", "not a valid TOML file"),
        ("[global_attributes]\nPI_name = ''\n", "PI_name must be a non-blank text"),
    ):
        (archive / "dravel-archive.toml").write_text(bad)
        assert main(["archive", *args]) == 2
        err = capsys.readouterr().err
        assert len(err.splitlines()) == 1 and "dravel-archive.toml: " in err and why in err, err


@pytest.mark.skipif(CHROMIUM is None, reason="no Chromium binary (chromium or chromium-browser) on PATH")
def test_a_day_without_its_l0_file_is_missing_in_the_summary_the_page_and_the_state(tmp_path, capsys):
    # four days of L0, the second day's file left out: the first file's records past its
    # midnight feed 03-02 in almost every product, and yet the day is missing, not covered
    import sqlite3

    from kesta.dravel.archive.state import FILE
    from kesta.dravel.cli import main
    from kesta.dravel.cli.simulate import simulate_days

    simulate_days(tmp_path / "L0", 4, "2024-03-01")
    left_out = tmp_path / "L0_20240302.h5"
    os.replace(tmp_path / "L0" / left_out.name, left_out)
    archive = tmp_path / "AR"
    args = ["archive", str(tmp_path / "L0" / "*.h5"), "-o", str(archive)]

    def run(code=0):
        capsys.readouterr()
        assert main(args) == code
        with sqlite3.connect(archive / FILE) as db:
            missing = db.execute("SELECT day FROM missing_days").fetchall()
        return capsys.readouterr().out, open(archive / "index.html", encoding="utf-8").read(), missing

    out, text, missing = run()
    assert "L0 file missing for 1 day of the campaign (one L0 file a UTC day): 2024-03-02" in out
    assert missing == [("20240302",)]
    assert "Campaign: 2024-03-01 to 2024-03-04 (4 days" in text
    dom, found = load(f"file://{archive / 'index.html'}", tmp_path)
    assert found == []
    page = Page(dom)
    spilled = {
        p.name
        for p in archive.iterdir()
        if (p / "2024" / "03").is_dir() and any("_20240302_" in f.name for f in (p / "2024" / "03").iterdir())
    }
    assert len(spilled) >= 10  # records of 03-02 from the first file, in nearly every product
    rows = [c for c in page.cells if c["title"].split(" ")[1:2] == ["2024-03-02:"]]
    assert len(rows) == 11 and all(c["classes"] - {None} == {"missing"} for c in rows)
    assert all(
        c["title"].endswith(
            "no L0 file of its own (missing)"
            if c["title"].split()[0] not in spilled
            else "from the L0 files of other days"
        )
        for c in rows
    )

    # a state of the schema before: given the table, and the day listed again
    with sqlite3.connect(archive / FILE) as db:
        db.execute("DROP TABLE missing_days")
        db.execute("UPDATE meta SET value='2' WHERE key='schema'")
    out, _, missing = run()
    assert missing == [("20240302",)] and " 0 decoded" in out and "missing for 1 day" in out

    # the day's file delivered damaged: it never decodes, and may be the day's
    (tmp_path / "L0" / left_out.name).write_bytes(b"not an HDF5 file")
    out, _, missing = run(code=1)
    assert missing == [("20240302",)]
    assert "2024-03-02; an L0 file that never decoded may be one of them" in out

    # the file delivered: nothing missing any more
    os.replace(left_out, tmp_path / "L0" / left_out.name)
    out, text, missing = run()
    assert "missing" not in out and missing == [] and 'class="missing"' not in text


# what is wider than its box (the folded tables unfolded), or than the window; SVG text past its image
OVERFLOWS = """(() => {
  document.querySelectorAll("details").forEach(d => { d.open = true; });
  const wide = [...document.querySelectorAll(".scroll"), document.documentElement]
    .filter(e => e.scrollWidth > e.clientWidth).map(e => `${e.scrollWidth} > ${e.clientWidth}`);
  for (const t of document.querySelectorAll("svg text"))
    if (t.getBBox().x + t.getBBox().width > t.ownerSVGElement.width.baseVal.value) wide.push(t.textContent);
  return wide;
})()"""


@pytest.mark.skipif(CHROMIUM is None, reason="no Chromium binary (chromium or chromium-browser) on PATH")
def test_sixty_days_fit_a_window_1400_pixels_wide(tmp_path):
    # 60 days from 01-01, each file running into the next day: the last month label is of one day
    dates = [f"{datetime.date(2024, 1, 1) + datetime.timedelta(days=k):%Y%m%d}" for k in range(61)]
    names = ["hfr_calibration", "tnr_calibration", "tnr_normal", "tswf_sbm2", "rswf_sbm1", "lfm_psd"]
    products = {
        n: [
            day(d, 393, sources=[f"L0_{d}.h5", f"L0_{d}.h5"], file=f"{n}/{d[:4]}/{d[4:6]}/zelk_l1_{n}_{d}_v01.cdf")
            for d in dates
        ]
        for n in names
    }
    files = [
        {
            "name": f"L0_{d}.h5",
            "status": "ok",
            "message": "",
            "records": 393,
            "reported": 0,
            "warnings": 0,
            "size": 1_512_345,
            "first": f"{d}T00:00:12Z",
            "last": f"{e}T16:23:18Z",
            "days": [d, e],
            "product_records": {n: {d: 300, e: 20} for n in names},
        }
        for d, e in zip(dates, dates[1:])
    ]
    (tmp_path / "archive").mkdir()
    path = write_page(tmp_path / "archive", {"products": products, "files": files})
    dom, found, wide = load(f"file://{path}", tmp_path, width=1400, measure=OVERFLOWS)
    assert found == [] and "2024-03</text>" in dom and wide == []
