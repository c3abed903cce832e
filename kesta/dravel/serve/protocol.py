"""Uvicorn's HTTP/1.1 protocol (h11), writing each response's own reason phrase.

ASGI's `http.response.start` has no reason phrase, and uvicorn writes the HTTP status's standard
one. A response of the application may carry its reason phrase in the header `app.REASON`: this
protocol writes that phrase in the status line and drops the header.
"""
from __future__ import annotations

import h11
from uvicorn.protocols.http.h11_impl import H11Protocol

from .app import REASON

_REASON = REASON.encode()


class _Connection:
    """An h11 connection whose responses take their reason phrase from the REASON header."""

    def __init__(self, conn):
        self._conn = conn

    def __getattr__(self, name):
        return getattr(self._conn, name)

    def send(self, event):
        if isinstance(event, h11.Response):
            phrase = next((value for name, value in event.headers if name == _REASON), None)
            if phrase is not None:
                event = h11.Response(status_code=event.status_code, reason=phrase,
                                     http_version=event.http_version,
                                     headers=[(n, v) for n, v in event.headers if n != _REASON])
        return self._conn.send(event)


class HapiH11Protocol(H11Protocol):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.conn = _Connection(self.conn)
