"""What a connection may hold on to of `dravel serve`, seen on raw sockets: idle and slow clients
are closed after the header timeout, a server out of descriptors still answers, requests HTTP
frames ambiguously are refused, and the responses name no implementation."""

import resource
import socket
import subprocess
import sys
import time
from urllib.parse import urlsplit

import pytest

pytest.importorskip("starlette")
pytest.importorskip("uvicorn")

HEADER_TIMEOUT = 5.0  # the server's wait for a request's head (protocol.HEADER_TIMEOUT)
from serve_support import env, make_archive, request, running_server  # noqa: E402


@pytest.fixture(scope="module")
def archive(tmp_path_factory):
    return make_archive(tmp_path_factory.mktemp("connections"), 1)


@pytest.fixture(scope="module")
def server(archive):
    with running_server(archive) as started:
        yield started


def _connect(url):
    parts = urlsplit(url)
    return socket.create_connection((parts.hostname, parts.port), timeout=30)


def _until_closed(sock, limit=30.0):
    """(seconds until the server closed the connection, what it sent meanwhile)."""
    t0, got = time.monotonic(), b""
    sock.settimeout(1.0)
    while time.monotonic() - t0 < limit:
        try:
            chunk = sock.recv(65536)
        except socket.timeout:
            continue
        except ConnectionResetError:
            break
        if not chunk:
            break
        got += chunk
    return time.monotonic() - t0, got


def test_idle_and_slow_connections_are_closed_after_the_header_timeout(server):
    url, proc = server
    path = urlsplit(url).path
    idle, partial, trickle, kept = (_connect(url) for _ in range(4))
    partial.sendall(f"GET {path}/about HTTP/1.1\r\nHost: x\r\n".encode())
    # a keep-alive connection after one answer, then silent
    kept.sendall(f"GET {path}/about HTTP/1.1\r\nHost: x\r\n\r\n".encode())
    head = f"GET {path}/about HTTP/1.1\r\nHost: x\r\nX-Slow: ".encode() + b"a" * 40
    t0 = time.monotonic()
    for i in range(len(head)):  # a byte a quarter second: never a whole head in time
        if _readable(trickle) or time.monotonic() - t0 > 3 * HEADER_TIMEOUT:
            break
        trickle.sendall(head[i : i + 1])
        time.sleep(0.25)
    for sock, answer in (
        (idle, b""),
        (partial, b"HTTP/1.1 408 "),
        (trickle, b"HTTP/1.1 408 "),
        (kept, b"HTTP/1.1 200 "),
    ):
        waited, got = _until_closed(sock)
        sock.close()
        assert got.startswith(answer) and (answer or got == b"")
        assert time.monotonic() - t0 < 3 * HEADER_TIMEOUT + 10
    assert proc.poll() is None


def _readable(sock):
    import select

    return bool(select.select([sock], [], [], 0)[0])


def test_a_server_short_of_descriptors_answers_through_idle_and_slow_clients(archive):
    """Under a limit of 128 open files, 200 idle and 20 slow connections: new requests are
    answered at once (the connections waiting longest for a request make way)."""

    def limited():
        resource.setrlimit(resource.RLIMIT_NOFILE, (128, 128))

    with running_server(archive, preexec_fn=limited) as (url, proc):
        assert request(f"{url}/catalog")[0] == 200
        held = []
        try:
            for _ in range(200):
                held.append(_connect(url))
            for _ in range(20):
                held.append(_connect(url))
                held[-1].sendall(b"GET /hapi/about HTTP/1.1\r\n")
            for _ in range(3):
                t0 = time.monotonic()
                status, _, _, body = request(f"{url}/catalog")
                assert status == 200 and body
                assert time.monotonic() - t0 < HEADER_TIMEOUT / 2  # not waiting for timeouts
        finally:
            for sock in held:
                sock.close()
        assert proc.poll() is None


def test_ambiguous_framing_is_refused_and_nothing_pipelined_behind_it_runs(server):
    url, proc = server
    path = urlsplit(url).path
    smuggled = (
        f"GET {path}/about HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n"
        f"0\r\n\r\nGET {path}/catalog HTTP/1.1\r\nHost: x\r\n\r\n"
    ).encode()
    with _connect(url) as sock:
        sock.sendall(smuggled)
        _, got = _until_closed(sock, limit=HEADER_TIMEOUT + 10)
    assert got.startswith(b"HTTP/1.1 400 ") and got.count(b"HTTP/1.1 ") == 1 and b"catalog" not in got
    # the same pipelined pair, framed plainly, is answered twice
    with _connect(url) as sock:
        sock.sendall(smuggled.replace(b"Content-Length: 5\r\n", b""))
        _, got = _until_closed(sock, limit=HEADER_TIMEOUT + 10)
    assert got.count(b"HTTP/1.1 200 ") == 2
    assert proc.poll() is None


def test_responses_name_no_server_and_keep_their_hapi_reason(server):
    url, _ = server
    status, reason, headers, _ = request(f"{url}/data?dataset=nothing&start=2024-03-01Z&stop=2024-03-02Z")
    assert status == 404 and reason == "HAPI error 1406: unknown dataset id"
    assert "server" not in headers and "x-hapi-reason" not in headers


def test_listening_beyond_this_machine_is_warned_of_once(archive):
    # the socket is bound but the server never started: nothing listens
    script = (
        "import sys\n"
        "import kesta.dravel.serve as served\n"
        "served.serve = lambda *a, **k: None\n"
        "from kesta.dravel.cli import main\n"
        f"sys.exit(main(['serve', {str(archive)!r}, '--port', '0', '--host', sys.argv[1]]))\n"
    )
    for host, warned in (("0.0.0.0", True), ("127.0.0.1", False), ("::1", False)):
        done = subprocess.run(
            [sys.executable, "-c", script, host], env=env(), capture_output=True, text=True, timeout=120
        )
        if done.returncode == 2 and "cannot listen" in done.stderr:  # no IPv6 here
            continue
        assert done.returncode == 0, done.stderr
        lines = done.stderr.splitlines()
        assert lines == (
            ["dravel serve: warning: listening on 0.0.0.0, not this machine only: the archive is open to the network"]
            if warned
            else []
        )


def test_every_way_a_data_request_ends_gives_its_turn_back(server):
    """The server streams a few data requests at once (app.DATA_STREAMS, 8): requests ended by
    HEAD, no records, 304, a refusal or a client leaving mid-stream, three times that many, leave
    every turn free for the next ones at once."""
    import concurrent.futures

    url, proc = server
    path = urlsplit(url).path
    day = f"{url}/data?dataset=tswf&start=2024-03-01Z&stop=2024-03-02Z&format=binary"
    status, _, headers, whole = request(day)
    assert status == 200 and whole
    ends = [
        lambda: request(day, "HEAD"),
        lambda: request(day.replace("stop=2024-03-02Z", "stop=2024-03-01T00:00:00.000001Z")),
        lambda: request(day, headers={"If-Modified-Since": headers["last-modified"]}),
        lambda: request(day + "&parameters=nothing"),
    ]
    for _ in range(3 * 8):
        for end in ends:
            assert end()[0] in (200, 304, 404)
        with _connect(url) as sock:  # leaves after the first bytes
            sock.sendall(f"GET {path}/data?{day.split('?')[1]} HTTP/1.1\r\nHost: x\r\n\r\n".encode())
            sock.recv(1024)
    with concurrent.futures.ThreadPoolExecutor(12) as pool:
        got = list(pool.map(lambda _: request(day), range(12), timeout=120))
    assert all(g[0] == 200 and g[3] == whole for g in got)
    assert proc.poll() is None
