"""Uvicorn's HTTP/1.1 protocol (h11), writing each response's own reason phrase and bounding what
a connection may hold on to.

ASGI's `http.response.start` has no reason phrase, and uvicorn writes the HTTP status's standard
one. A response of the application may carry its reason phrase in the header `app.REASON`: this
protocol writes that phrase in the status line and drops the header.

What a client may keep (uvicorn bounds none of the first three):
- a connection waits at most `header_timeout` seconds for a whole request head, from when it
  opens or its last response ended (an idle keep-alive, a client sending its headers a byte at
  a time): then it is closed, with 408 when part of a request came;
- a response whose client takes nothing for `send_timeout` seconds (the socket's buffer full) is
  given up, the connection aborted (its stream stops reading at the block under way);
- at most `max_connections` connections are open: one more closes the connection that has been
  waiting longest for a request, or is refused (503) when every one is being answered;
- a request with both Content-Length and Transfer-Encoding is refused (400, connection closed):
  the two disagree on where its body ends, and whatever is pipelined behind it is never read.
"""

from __future__ import annotations

import asyncio
from typing import Any, cast

import h11
from uvicorn.protocols.http.h11_impl import H11Protocol

from .app import REASON

_REASON = REASON.encode()
_TIMED_OUT = (
    b"HTTP/1.1 408 Request Timeout\r\ncontent-type: text/plain; charset=utf-8\r\n"
    b"content-length: 16\r\nconnection: close\r\n\r\nrequest timeout\n"
)
_UNAVAILABLE = (
    b"HTTP/1.1 503 Service Unavailable\r\ncontent-type: text/plain; charset=utf-8\r\n"
    b"content-length: 20\r\nconnection: close\r\n\r\nserver too crowded\r\n"
)

HEADER_TIMEOUT = 5.0
SEND_TIMEOUT = 60.0
MAX_CONNECTIONS = 256


class _Connection:
    """An h11 connection whose responses take their reason phrase from the REASON header, and
    which tells its protocol when a request's head is complete."""

    def __init__(self, conn: h11.Connection, protocol: HapiH11Protocol) -> None:
        self._conn = conn
        self._protocol = protocol

    def __getattr__(self, name: str) -> Any:
        return getattr(self._conn, name)

    def next_event(self) -> h11.Event | type[h11.NEED_DATA] | type[h11.PAUSED]:
        event = self._conn.next_event()
        if isinstance(event, h11.Request):
            self._protocol._request_came()
            names = {name.lower() for name, _ in event.headers}
            if b"content-length" in names and b"transfer-encoding" in names:
                # uvicorn answers 400 and closes the connection
                raise h11.RemoteProtocolError("both Content-Length and Transfer-Encoding")
        return event

    def send(self, event: h11.Event) -> bytes | None:
        if isinstance(event, h11.Response):
            phrase = next((value for name, value in event.headers if name == _REASON), None)
            if phrase is not None:
                event = h11.Response(
                    status_code=event.status_code,
                    reason=phrase,
                    http_version=event.http_version,
                    headers=[(n, v) for n, v in event.headers if n != _REASON],
                )
        return self._conn.send(event)


class HapiH11Protocol(H11Protocol):
    header_timeout = HEADER_TIMEOUT
    send_timeout = SEND_TIMEOUT
    max_connections = MAX_CONNECTIONS

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        # h11's connection as uvicorn uses it, wrapped
        self.conn = cast(h11.Connection, _Connection(self.conn, self))
        self._waiting_since: float | None = None  # loop time since when a request's head is awaited
        self._heard = False  # part of that request came
        self._request_timer: asyncio.TimerHandle | None = None
        self._send_timer: asyncio.TimerHandle | None = None

    # ---- waiting for a request ----

    def _await_request(self) -> None:
        self._cancel_request_timer()
        self._waiting_since = self.loop.time()
        self._heard = False
        self._request_timer = self.loop.call_later(self.header_timeout, self._request_timed_out)

    def _cancel_request_timer(self) -> None:
        if self._request_timer is not None:
            self._request_timer.cancel()
            self._request_timer = None

    def _request_came(self) -> None:
        self._cancel_request_timer()
        self._waiting_since = None

    def _request_timed_out(self) -> None:
        self._request_timer = None
        if self.transport.is_closing():
            return
        if self._heard:
            self.transport.write(_TIMED_OUT)
        self.transport.close()

    # ---- the protocol's events ----

    # a socket's transport, as uvicorn's own override narrows it
    def connection_made(self, transport: asyncio.Transport) -> None:  # type: ignore[override]
        super().connection_made(transport)
        self._await_request()
        live = [c for c in self.connections if not c.transport.is_closing()]
        if len(live) <= self.max_connections:
            return
        waiting = [
            (c._waiting_since, c)
            for c in live
            if c is not self and isinstance(c, HapiH11Protocol) and c._waiting_since is not None
        ]
        if waiting:
            min(waiting, key=lambda w: w[0])[1].transport.close()
        else:
            self._cancel_request_timer()
            transport.write(_UNAVAILABLE)
            transport.close()

    def data_received(self, data: bytes) -> None:
        if self._waiting_since is not None and data:
            self._heard = True
        super().data_received(data)

    def on_response_complete(self) -> None:
        # from now the next request is awaited (one pipelined already here cancels it at once)
        if not self.transport.is_closing():
            self._await_request()
        super().on_response_complete()

    def connection_lost(self, exc: Exception | None) -> None:
        self._cancel_request_timer()
        self._cancel_send_timer()
        super().connection_lost(exc)

    # ---- a client not taking what is sent ----

    def pause_writing(self) -> None:
        super().pause_writing()
        if self._send_timer is None:
            self._send_timer = self.loop.call_later(self.send_timeout, self._send_timed_out)

    def resume_writing(self) -> None:
        self._cancel_send_timer()
        super().resume_writing()

    def _cancel_send_timer(self) -> None:
        if self._send_timer is not None:
            self._send_timer.cancel()
            self._send_timer = None

    def _send_timed_out(self) -> None:
        self._send_timer = None
        if self.flow.write_paused:  # still nothing taken (a closing one too: close would wait)
            self.transport.abort()


def protocol(
    header_timeout: float = HEADER_TIMEOUT, send_timeout: float = SEND_TIMEOUT, max_connections: int = MAX_CONNECTIONS
) -> type[HapiH11Protocol]:
    """The protocol class of a server with these bounds."""
    made: type[HapiH11Protocol] = type(
        "HapiH11Protocol",
        (HapiH11Protocol,),
        {
            "header_timeout": float(header_timeout),
            "send_timeout": float(send_timeout),
            "max_connections": int(max_connections),
        },
    )
    return made
