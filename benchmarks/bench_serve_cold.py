"""`dravel serve` from a cold start: the time to the first byte of the first `catalog` and of the
first `info` of a freshly started server over an archive of real-size days, against a floor
measured in the same run: the first byte of `capabilities` (a constant answer) of a freshly
started server. Each figure is the best of --rounds fresh servers.

    python benchmarks/bench_serve_cold.py [--days 4] [--scale 4] [--archive DIR] [--rounds 3]

Without --archive, simulates --days days of --scale times the simulator's packets and archives
them first (a minute or two at the defaults). Metadata is answered from the product registry and
the archive's state, never by opening a day file: the first `catalog` costs about what the floor
costs, whatever the size of the day files.
"""

from __future__ import annotations

import argparse
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from common import env, make_archive


def first_byte(archive, path):
    """(seconds from the server's "serving" line to the first byte of GET path, the whole answer)
    of a server started for this request alone."""
    proc = subprocess.Popen(
        [sys.executable, "-m", "kesta.dravel", "serve", archive, "--port", "0"],
        env=env(),
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        line = proc.stdout.readline()
        url = line.split(" at ")[1].split()[0]
        host, port = url.split("//")[1].split("/")[0].rsplit(":", 1)
        with socket.create_connection((host, int(port))) as s:
            t0 = time.perf_counter()
            s.sendall(f"GET /hapi/{path} HTTP/1.1\r\nHost: {host}\r\nConnection: close\r\n\r\n".encode())
            body = s.recv(1)
            elapsed = time.perf_counter() - t0
            while True:
                piece = s.recv(1 << 16)
                if not piece:
                    break
                body += piece
        return elapsed, body
    finally:
        os.kill(proc.pid, signal.SIGTERM)
        proc.wait(timeout=30)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--days", type=int, default=4)
    parser.add_argument("--scale", type=int, default=4)
    parser.add_argument("--archive", type=Path, help="an archive already made (else one is simulated)")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        archive = args.archive
        if archive is None:
            t0 = time.perf_counter()
            archive = make_archive(Path(tmp), args.days, args.scale)
            print(f"archive of {args.days} day(s) at scale {args.scale}: {time.perf_counter() - t0:.0f} s")
        size = sum(p.stat().st_size for p in archive.rglob("*.cdf")) + sum(
            p.stat().st_size for p in archive.rglob("*.nc")
        )
        print(f"day files: {size / 1e6:.0f} MB")
        results = {}
        for name, path in (
            ("floor (capabilities)", "capabilities"),
            ("catalog", "catalog"),
            ("info tswf", "info?dataset=tswf"),
            ("info tnr_normal", "info?dataset=tnr_normal"),
        ):
            times = []
            for _ in range(args.rounds):
                elapsed, body = first_byte(archive, path)
                assert body.startswith(b"HTTP/1.1 200"), body[:200]
                times.append(elapsed)
            results[name] = min(times)
        floor = results["floor (capabilities)"]
        for name, seconds in results.items():
            print(f"{name:22s} first byte {seconds * 1000:7.1f} ms  ({seconds / floor:5.2f} x the floor)")


if __name__ == "__main__":
    main()
