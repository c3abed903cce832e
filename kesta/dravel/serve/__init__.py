"""`dravel serve`: a HAPI server over an archive made by `dravel archive`, so that the field's
clients (hapiclient, pyspedas.hapi, ...) read its products by time range.

    from kesta.dravel.serve import create_app, serve
    app = create_app("ARCHIVE")                       # an ASGI application (Starlette)
    serve("ARCHIVE", host="127.0.0.1", port=8787)     # runs it with Uvicorn until stopped

One dataset per product (the newest data version of each day; each version too when there are
several), its parameters the day files' data and support-data variables under their own names.
"""

from __future__ import annotations

import os
import socket
from collections.abc import Callable

import uvicorn

from . import protocol
from .app import DEFAULT_MAX_DAYS, create_app
from .memory import give_back_freed_memory

try:
    import resource
except ImportError:  # Unix only
    resource = None  # type: ignore[assignment]

__all__ = ["create_app", "serve", "DEFAULT_MAX_DAYS"]


# file descriptors kept for what is not a connection: day files being read (one per worker
# thread), the archive's state, logs
_RESERVED_FILES = 64
# Connections accepted in one turn of the event loop (asyncio takes its listen backlog for it):
# those closed to stay within the limit give their descriptors back only at the next turn, so a
# flood accepted at once would exhaust them (and stop accepting for a second). The kernel's queue
# of connections waiting is set back to LISTEN_BACKLOG once listening.
_ACCEPT_BATCH = 16
LISTEN_BACKLOG = 2048


class _Server(uvicorn.Server):
    """Uvicorn's server, listening on `sock` with the kernel's queue of LISTEN_BACKLOG once
    started, then calling `ready` (when not None)."""

    def __init__(self, config: uvicorn.Config, sock: socket.socket, ready: Callable[[], object] | None) -> None:
        super().__init__(config)
        self._listening = sock
        self._ready = ready

    async def startup(self, sockets: list[socket.socket] | None = None) -> None:
        await super().startup(sockets=sockets)
        if self.started:
            self._listening.listen(LISTEN_BACKLOG)
            if self._ready is not None:
                self._ready()


def serve(
    root: str | os.PathLike[str],
    host: str = "127.0.0.1",
    port: int = 8787,
    max_days: float = DEFAULT_MAX_DAYS,
    sock: socket.socket | None = None,
    ready: Callable[[], object] | None = None,
    access_log: Callable[[str], object] | None = None,
    header_timeout: float | None = None,
    send_timeout: float | None = None,
    max_connections: int | None = None,
) -> None:
    """Serves the archive at `root` until interrupted. `sock`: a socket already bound (what
    `host` and `port` name is then only shown); `ready`: called once the server listens;
    `access_log`: called with each request's line of the access log (common log format).
    `header_timeout`, `send_timeout`, `max_connections`: the bounds of `protocol` (its defaults
    when None; the connections also at most what the process's open-file limit leaves)."""
    give_back_freed_memory()
    header_timeout = protocol.HEADER_TIMEOUT if header_timeout is None else header_timeout
    limit = connection_limit(protocol.MAX_CONNECTIONS if max_connections is None else max_connections)
    http = protocol.protocol(header_timeout, protocol.SEND_TIMEOUT if send_timeout is None else send_timeout, limit)
    config = uvicorn.Config(
        create_app(root, max_days, access_log=access_log),
        host=host,
        port=port,
        log_level="warning",
        access_log=False,
        lifespan="off",
        http=http,
        # seconds, used as a float (loop.call_later) though annotated int
        timeout_keep_alive=header_timeout,  # type: ignore[arg-type]
        server_header=False,
        backlog=_ACCEPT_BATCH,
    )
    if sock is None:
        sock = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind((host, port))
    _Server(config, sock, ready).run(sockets=[sock])


def connection_limit(wanted: int) -> int:
    """At most `wanted` connections, and what the open-file limit leaves (raised to its hard
    limit first): a server out of descriptors can accept no one."""
    if resource is None:
        return wanted
    try:
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        if hard != resource.RLIM_INFINITY and soft < hard:
            resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
        soft = resource.getrlimit(resource.RLIMIT_NOFILE)[0]
    except (ValueError, OSError):
        return wanted
    if soft == resource.RLIM_INFINITY:
        return wanted
    return max(8, min(wanted, soft - _RESERVED_FILES))
