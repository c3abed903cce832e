"""`dravel serve`: a HAPI server over an archive made by `dravel archive`, so that the field's
clients (hapiclient, pyspedas.hapi, ...) read its products by time range.

    from kesta.dravel.serve import create_app, serve
    app = create_app("ARCHIVE")                       # an ASGI application (Starlette)
    serve("ARCHIVE", host="127.0.0.1", port=8787)     # runs it with Uvicorn until stopped

One dataset per product (the newest data version of each day; each version too when there are
several), its parameters the day files' data and support-data variables under their own names.
"""
from .app import DEFAULT_MAX_DAYS, create_app

__all__ = ["create_app", "serve", "DEFAULT_MAX_DAYS"]


def serve(root, host="127.0.0.1", port=8787, max_days=DEFAULT_MAX_DAYS, sock=None, ready=None,
          access_log=None):
    """Serves the archive at `root` until interrupted. `sock`: a socket already bound (what
    `host` and `port` name is then only shown); `ready`: called once the server listens;
    `access_log`: called with each request's line of the access log (common log format)."""
    import uvicorn

    from .protocol import HapiH11Protocol

    config = uvicorn.Config(create_app(root, max_days, access_log=access_log), host=host, port=port,
                            log_level="warning", access_log=False, lifespan="off", http=HapiH11Protocol)
    server = uvicorn.Server(config)
    if ready is not None:
        started = server.startup

        async def startup(sockets=None):
            await started(sockets=sockets)
            if server.started:
                ready()
        server.startup = startup
    server.run(sockets=[sock] if sock is not None else None)
