"""`dravel serve`: the archive as a HAPI server."""

from __future__ import annotations

import argparse
import ipaddress
import os
import socket
import sys
from collections.abc import Callable
from typing import TextIO

from kesta.dravel.archive.state import FILE as STATE_FILE

from . import options
from .commands import Console
from .errors import UsageError


def run_serve(args: argparse.Namespace, console: Console) -> int:
    # lazy: the server's libraries (the serve extra, 75 ms), which the other commands do not need
    try:
        from kesta.dravel.serve import serve
    except ImportError as exc:  # the serve extra is not installed
        raise UsageError(
            f"dravel serve needs the 'serve' extra (missing: {exc.name}); install it with: "
            f"pip install 'kesta-dravel[serve]'"
        ) from None

    root = args.archive
    if not os.path.isdir(root):
        raise UsageError(f"{root}: not a folder (an archive made by dravel archive)")
    if not is_archive(root):
        raise UsageError(f"{root}: not an archive made by dravel archive (no {STATE_FILE} and no day files)")
    write_access = access_log(args)
    family = socket.AF_INET6 if ":" in args.host else socket.AF_INET
    try:
        sock = socket.socket(family, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind((args.host, args.port))
    except (OSError, OverflowError) as exc:
        reason = getattr(exc, "strerror", None) or exc
        raise UsageError(f"cannot listen on {args.host}:{args.port} ({reason})") from None
    host = f"[{args.host}]" if family == socket.AF_INET6 else args.host
    if not is_loopback(sock.getsockname()[0]):
        console.err(
            f"dravel serve: warning: listening on {args.host}, not this machine only: "
            f"the archive is open to the network"
        )
    port = sock.getsockname()[1]

    def ready() -> None:
        console.out(f"serving {root} at http://{host}:{port}/hapi (Ctrl-C stops)")
        sys.stdout.flush()

    serve(root, args.host, port, args.max_days, sock=sock, ready=ready, access_log=write_access)
    return 0


def is_loopback(address: str) -> bool:
    """True for an address of this machine only (127.0.0.0/8, ::1, ::ffff:127.x.y.z)."""
    try:
        ip = ipaddress.ip_address(address.split("%")[0])
    except ValueError:
        return False
    mapped = getattr(ip, "ipv4_mapped", None)
    return (mapped or ip).is_loopback


def is_archive(root: str) -> bool:
    """True for a folder holding an archive's state or day files."""
    from kesta.dravel.serve.archive import Archive  # lazy: the server's libraries, as in run_serve

    return os.path.isfile(os.path.join(root, STATE_FILE)) or bool(Archive(root).datasets())


def access_log(args: argparse.Namespace) -> Callable[[str], None] | None:
    """write(line) of the access log: on stderr with -v (not with -q), appended to
    --access-log's file; None when neither."""
    streams: list[TextIO] = []
    if args.verbose and not args.quiet:
        streams.append(sys.stderr)
    if args.access_log:
        try:
            streams.append(open(args.access_log, "a", encoding="utf-8", buffering=1))
        except OSError as exc:
            raise UsageError(f"{args.access_log}: cannot be written ({exc.strerror or exc})") from None
    if not streams:
        return None

    def write(line: str) -> None:
        for stream in streams:
            try:
                stream.write(line + "\n")
                stream.flush()
            except (OSError, ValueError):  # a full disk, a closed stderr: serving goes on
                pass

    return write


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    p = options.command(
        subparsers,
        "serve",
        help="serve an archive to HAPI clients",
        verbose="print one line per request (common log format) and the server's "
        "warnings on stderr (-vv: also its debug messages)",
        description="Serve an archive made by `dravel archive` as a HAPI server "
        "(http://HOST:PORT/hapi): one dataset per product, read by "
        "hapiclient, pyspedas.hapi and other HAPI clients. Runs until "
        "interrupted.",
    )
    p.add_argument("archive", metavar="ARCHIVE", help="the archive's folder")
    p.add_argument("--host", default="127.0.0.1", help="address to listen on (default: 127.0.0.1, this machine only)")
    p.add_argument(
        "--port",
        type=options.int_at_least(0, "a port number, 0 or more"),
        default=8787,
        help="port to listen on (default: 8787; 0: any free port)",
    )
    p.add_argument(
        "--max-days",
        type=options.days,
        default=366.0,
        metavar="DAYS",
        help="the longest time range a data request may ask for (default: 366)",
    )
    p.add_argument("--access-log", metavar="FILE", help="append one line per request (common log format) to FILE")
    return p
