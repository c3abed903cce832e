"""`dravel serve`: the archive as a HAPI server."""
from __future__ import annotations

import os
import socket
import sys

from .errors import UsageError


def run_serve(args, console):
    try:
        from kesta.dravel.serve import serve
    except ImportError as exc:      # the serve extra is not installed
        raise UsageError(f"dravel serve needs the 'serve' extra (missing: {exc.name}); install it with: "
                         f"pip install 'kesta-dravel[serve]'") from None

    root = args.archive
    if not os.path.isdir(root):
        raise UsageError(f"{root}: not a folder (an archive made by dravel archive)")
    family = socket.AF_INET6 if ":" in args.host else socket.AF_INET
    try:
        sock = socket.socket(family, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind((args.host, args.port))
    except (OSError, OverflowError) as exc:
        raise UsageError(f"cannot listen on {args.host}:{args.port} ({getattr(exc, 'strerror', None) or exc})") from None
    host = f"[{args.host}]" if family == socket.AF_INET6 else args.host
    port = sock.getsockname()[1]

    def ready():
        console.out(f"serving {root} at http://{host}:{port}/hapi (Ctrl-C stops)")
        sys.stdout.flush()

    serve(root, args.host, port, args.max_days, sock=sock, ready=ready)
    return 0
