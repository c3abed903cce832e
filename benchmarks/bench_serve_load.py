"""`dravel serve` under load: its memory over rounds of concurrent full-range clients and
mid-stream disconnects, and a request's latency while idle and slow clients hang on, each as a
ratio to a floor measured in the same run.

    python benchmarks/bench_serve_load.py [--archive DIR] [--days 2] [--scale 16]
                                          [--clients 32] [--rounds 5] [--product tswf]
                                          [--idle 200] [--slow 20] [--drops 200]

Memory: the server's RSS once it answered one small request (the floor), then after each round
of --clients clients at once reading the whole range of --product (binary), and after two
rounds of --drops clients each leaving after the first 64 kB. Latency: the median of a
`catalog` and of a one-hour `data` request, alone (the floor) and while --idle connections that
send nothing and --slow ones sending their head a byte a quarter second are open. Without
--archive, simulates --days days at --scale times the packets first (seconds). The server runs
as its own process, as `dravel serve`; every connection is to 127.0.0.1.
"""

from __future__ import annotations

import argparse
import os
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from common import env, make_archive


class Server:
    def __init__(self, archive):
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "kesta.dravel", "serve", archive, "--port", "0", "--max-days", "3660"],
            env=env(),
            stdout=subprocess.PIPE,
            text=True,
        )
        line = self.proc.stdout.readline()
        self.url = line.split(" at ")[1].split()[0]
        self.port = int(self.url.split(":")[2].split("/")[0])

    def rss(self, field="VmRSS", settle=0.5):
        """Resident memory (MB), once the server had `settle` seconds to settle (VmHWM: the
        highest it has been)."""
        time.sleep(settle)
        with open(f"/proc/{self.proc.pid}/status") as f:
            kb = next(int(line.split()[1]) for line in f if line.startswith(field + ":"))
        return kb / 1024

    def stop(self):
        os.kill(self.proc.pid, signal.SIGTERM)
        self.proc.wait(timeout=30)


def read_all(url):
    n = 0
    with urllib.request.urlopen(url, timeout=600) as r:
        while True:
            piece = r.read(1 << 20)
            if not piece:
                return n
            n += len(piece)


def at_once(count, work):
    threads = [threading.Thread(target=work, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=900)


def drop_mid_stream(server, path):
    """Asks for `path` and leaves after its first 64 kB (or 120 s waiting for them: the
    server streams a few requests at once, the others wait their turn)."""
    try:
        with socket.create_connection(("127.0.0.1", server.port), timeout=120) as s:
            s.sendall(f"GET {path} HTTP/1.1\r\nHost: x\r\n\r\n".encode())
            got = 0
            while got < 64 << 10:
                piece = s.recv(65536)
                if not piece:
                    break
                got += len(piece)
    except OSError:
        pass


def latency(urls, rounds=15):
    """The median seconds of each URL's GET."""
    out = []
    for url in urls:
        times = []
        for _ in range(rounds):
            t0 = time.perf_counter()
            read_all(url)
            times.append(time.perf_counter() - t0)
        out.append(statistics.median(times))
    return out


def hanging_on(server, idle, slow, stop):
    """Opens `idle` silent connections and `slow` ones sending a head a byte a quarter second,
    until `stop` is set; reopens what the server closes (its header timeout)."""
    head = b"GET /hapi/about HTTP/1.1\r\nHost: x\r\nX-Slow: " + b"a" * 200

    def connect():
        try:
            return socket.create_connection(("127.0.0.1", server.port), timeout=5)
        except OSError:
            return None

    quiet = [connect() for _ in range(idle)]
    slow_socks = [[connect(), 0] for _ in range(slow)]
    t0 = time.monotonic()
    while not stop.is_set() and time.monotonic() - t0 < 300:
        for entry in slow_socks:
            try:
                entry[0].sendall(head[entry[1] % len(head) :][:1])
                entry[1] += 1
            except (OSError, AttributeError):
                if entry[0] is not None:
                    entry[0].close()
                entry[:] = [connect(), 0]
        for i, s in enumerate(quiet):
            if s is None or _closed(s):
                if s is not None:
                    s.close()
                quiet[i] = connect()
        time.sleep(0.25)
    for s in quiet + [e[0] for e in slow_socks]:
        if s is not None:
            s.close()


def _closed(sock):
    import select

    if not select.select([sock], [], [], 0)[0]:
        return False
    try:
        return sock.recv(1, socket.MSG_PEEK) == b""
    except OSError:
        return True


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--archive", type=Path)
    p.add_argument("--days", type=int, default=2)
    p.add_argument("--scale", type=int, default=16)
    p.add_argument("--clients", type=int, default=32)
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--product", default="tswf")
    p.add_argument("--idle", type=int, default=200)
    p.add_argument("--slow", type=int, default=20)
    p.add_argument("--drops", type=int, default=200)
    args = p.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        archive = args.archive or make_archive(Path(tmp), args.days, args.scale)
        server = Server(archive)
        try:
            run(server, args)
        finally:
            server.stop()


def run(server, args):
    import json

    catalog = json.loads(urllib.request.urlopen(f"{server.url}/info?dataset={args.product}", timeout=60).read())
    start, stop = catalog["startDate"], catalog["stopDate"]
    full = f"{server.url}/data?dataset={args.product}&start={start}&stop={stop}&format=binary"
    hour = f"{server.url}/data?dataset=tnr_normal&start={start}&stop={start[:11]}01:00:00Z&format=binary"
    small = [f"{server.url}/catalog", hour]
    read_all(hour)
    floor = server.rss()
    print(
        f"RSS (MB): {floor:.0f} once started (the floor); {args.rounds} rounds of {args.clients} clients "
        f"at once reading {args.product} {start} to {stop} (binary, {read_all(full) / 1e6:.0f} MB each):"
    )
    rounds = []
    for i in range(args.rounds):
        t0 = time.perf_counter()
        at_once(args.clients, lambda _: read_all(full))
        took = time.perf_counter() - t0
        rounds.append(server.rss())
        print(
            f"  round {i + 1}: {rounds[-1]:.0f} MB  ({rounds[-1] / floor:.2f}x the floor, "
            f"{rounds[-1] / rounds[0]:.2f}x round 1; {took:.1f} s; highest so far {server.rss('VmHWM'):.0f} MB)"
        )
    path = full[full.index("/hapi") :]
    for i in range(2):
        at_once(args.drops, lambda _: drop_mid_stream(server, path))
        # the requests of clients gone while waiting their turn are still let go of
        after = server.rss(settle=5)
        print(
            f"  {args.drops} clients leaving mid-stream ({i + 1}): {after:.0f} MB  ({after / rounds[-1]:.2f}x "
            f"the last round)"
        )

    alone = latency(small)
    stop_event = threading.Event()
    crowd = threading.Thread(target=hanging_on, args=(server, args.idle, args.slow, stop_event))
    crowd.start()
    time.sleep(2)
    try:
        crowded = latency(small)
    finally:
        stop_event.set()
        crowd.join(timeout=60)
    for name, a, b in zip(("catalog", "1 h of tnr_normal"), alone, crowded):
        print(
            f"latency of {name}: {a * 1e3:.1f} ms alone (the floor), {b * 1e3:.1f} ms with {args.idle} idle "
            f"and {args.slow} slow clients ({b / a:.2f}x)"
        )


if __name__ == "__main__":
    main()
