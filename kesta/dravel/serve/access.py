"""The access log of the HAPI server: one line per request answered, in the common log format
(host ident authuser [date] "request line" status bytes), the bytes those of the body as sent
(compressed when it was)."""

from __future__ import annotations

import time
from collections.abc import Callable

from starlette.types import ASGIApp, Message, Receive, Scope, Send


def _quoted(text: str) -> str:
    return text.replace("\\", "\\\\").replace('"', '\\"')


class AccessLog:
    """ASGI middleware calling `write(line)` once a response is sent (or given up: a client that
    went away mid-stream is logged with what it got)."""

    def __init__(self, app: ASGIApp, write: Callable[[str], object]) -> None:
        self.app = app
        self.write = write

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        state = {"status": 0, "bytes": 0}

        async def counting(message: Message) -> None:
            if message["type"] == "http.response.start":
                state["status"] = message["status"]
            elif message["type"] == "http.response.body" and scope.get("method") != "HEAD":
                state["bytes"] += len(message.get("body", b""))
            await send(message)

        try:
            await self.app(scope, receive, counting)
        finally:
            self.write(line(scope, state["status"] or 500, state["bytes"]))


def line(scope: Scope, status: int, sent: int, now: float | None = None) -> str:
    client = scope.get("client") or ("-", 0)
    target = scope.get("raw_path") or scope.get("path", "").encode()
    if isinstance(target, bytes):
        target = target.decode("latin-1")
    if scope.get("query_string"):
        target += "?" + scope["query_string"].decode("latin-1")
    request = f"{scope.get('method', '-')} {target} HTTP/{scope.get('http_version', '1.1')}"
    when = time.strftime("%d/%b/%Y:%H:%M:%S %z", time.localtime(now))
    return f'{client[0]} - - [{when}] "{_quoted(request)}" {status} {sent if sent else "-"}'
