"""The HAPI server's web application (Starlette): the landing page and the endpoints `about`,
`capabilities`, `catalog`, `info` and `data` of the HAPI specification (3.3), over an archive.

Every request a client gets wrong is answered with its HAPI status (a JSON header with the code
and a message, and the matching HTTP status), never a traceback: 1400 (a missing request
parameter, an unknown endpoint), 1401 (an unknown request parameter), 1402/1403 (a start or stop
time that is not a HAPI time), 1404 (start not before stop), 1405 (a range outside the
dataset's days), 1406 (an unknown dataset id), 1407 (an unknown parameter), 1408 (a range longer
than the server's limit), 1409/1410 (an unknown format or include value), 1411 (parameters out
of order or twice). A range of the dataset's days without records is 1201 (HTTP 200, no
records). Anything else is 1500, logged on the server.

`data` streams: the first block of records is read before the response starts (so a range
without records is answered 1201), the others as the client takes them; a client that goes away
stops the reading, and the day file open for it is closed.
"""
from __future__ import annotations

import html
import json
import logging
from urllib.parse import quote, urlencode

import anyio
from starlette.applications import Starlette
from starlette.concurrency import run_in_threadpool
from starlette.responses import HTMLResponse, JSONResponse, RedirectResponse, Response, StreamingResponse
from starlette.routing import Route

from . import stream, times
from .archive import Archive
from .dayfile import HELD_BYTES, Descriptions, HeldDays
from .registry import Registry

log = logging.getLogger(__name__)

HAPI_VERSION = "3.3"
FORMATS = ("csv", "binary", "json")
DEFAULT_MAX_DAYS = 366.0
DAY_NS = 86_400 * 10**9

MESSAGES = {
    1200: "OK",
    1201: "OK - no data for time range",
    1400: "Bad request - user input error",
    1401: "Bad request - unknown API parameter name",
    1402: "Bad request - syntax error in start time",
    1403: "Bad request - syntax error in stop time",
    1404: "Bad request - start equal to or after stop",
    1405: "Bad request - start < startDate and/or stop > stopDate",
    1406: "Bad request - unknown dataset id",
    1407: "Bad request - unknown dataset parameter",
    1408: "Bad request - too much time or data requested",
    1409: "Bad request - unsupported output format",
    1410: "Bad request - unsupported include value",
    1411: "Bad request - out-of-order or duplicate parameters",
    1500: "Internal server error",
}
HTTP_STATUS = {1200: 200, 1201: 200, 1406: 404, 1407: 404, 1500: 500}
HEADERS = {"Access-Control-Allow-Origin": "*", "Access-Control-Allow-Methods": "GET",
           "Access-Control-Allow-Headers": "Content-Type"}
MEDIA = {"csv": "text/csv", "binary": "application/octet-stream", "json": "application/json"}

ALLOWED = {
    "about": set(), "capabilities": set(), "catalog": set(),
    "info": {"dataset", "id", "parameters"},
    "data": {"dataset", "id", "start", "stop", "time.min", "time.max", "parameters", "format", "include"},
}


class HapiError(Exception):
    def __init__(self, code, detail=""):
        super().__init__(detail)
        self.code = code
        self.detail = detail


def status(code, detail=""):
    message = MESSAGES[code] + (f": {detail}" if detail else "")
    return {"code": code, "message": message}


def hapi_response(body, code=1200, detail=""):
    content = {"HAPI": HAPI_VERSION, "status": status(code, detail), **body}
    return JSONResponse(content, status_code=HTTP_STATUS.get(code, 400), headers=HEADERS)


def error_response(exc):
    return hapi_response({}, exc.code, exc.detail)


class Server:
    """The endpoints over the archive at `root`; `max_days`: the longest range a `data` request
    may ask for (1408 beyond), counted within the dataset's days; `held_bytes`: what the server
    keeps of small day files' records between requests (HeldDays)."""

    def __init__(self, root, max_days=DEFAULT_MAX_DAYS, held_bytes=HELD_BYTES):
        self.archive = Archive(root)
        self.registry = Registry(mission_attributes(self.archive.root))
        self.describe = Descriptions()
        self.days = HeldDays(held_bytes)
        self.max_days = float(max_days)

    # ---- what the requests name ----

    def check_names(self, request, endpoint):
        unknown = sorted(set(request.query_params) - ALLOWED[endpoint])
        if unknown:
            raise HapiError(1401, ", ".join(unknown))

    def dataset(self, request):
        q = request.query_params
        did = q.get("dataset", q.get("id"))
        if not did:
            raise HapiError(1400, "dataset missing")
        found = self.archive.dataset(did)
        if found is None:
            raise HapiError(1406, did)
        return found

    def info(self, dataset, description, names):
        chosen = self.parameters(description, names)
        present = {p.name: p for p in chosen}
        parameters = [time_parameter(description)] + [p.hapi(present) for p in chosen]
        out = {
            "startDate": day_text(dataset.first_day),
            "stopDate": day_text(dataset.last_day, after=True),
            "parameters": parameters,
            "description": dataset_description(description, dataset.product),
            "x_dataVersion": dataset.version or "newest of each day",
        }
        return out

    def parameters(self, description, names):
        """The Parameters a request's `parameters` names (all of them when it names none), in
        the dataset's order."""
        if names is None or names.strip() == "":
            return list(description.parameters)
        wanted = [n.strip() for n in names.split(",")]
        order = {p.name: i for i, p in enumerate(description.parameters)}
        order[description.time] = -1
        unknown = [n for n in wanted if n not in order]
        if unknown:
            raise HapiError(1407, ", ".join(unknown))
        positions = [order[n] for n in wanted]
        if positions != sorted(positions) or len(set(positions)) != len(positions):
            raise HapiError(1411, ",".join(wanted))
        return [description.parameters[i] for i in positions if i >= 0]

    def description(self, dataset):
        """What the dataset holds: from the product registry (no day file opened), or read from
        its newest day file for a product the registry does not describe."""
        found = self.registry(dataset.product, dataset.newest().kind)
        return found if found is not None else self.describe(dataset.newest())

    def times(self, request, dataset):
        q = request.query_params
        start_text, stop_text = q.get("start", q.get("time.min")), q.get("stop", q.get("time.max"))
        if start_text is None:
            raise HapiError(1402, "start missing")
        if stop_text is None:
            raise HapiError(1403, "stop missing")
        start, stop = times.parse(start_text), times.parse(stop_text)
        if start is None:
            raise HapiError(1402, start_text)
        if stop is None:
            raise HapiError(1403, stop_text)
        if start >= stop:
            raise HapiError(1404)
        first = times.day_start(dataset.first_day)
        last = times.day_start(dataset.last_day) + DAY_NS
        if stop <= first or start >= last:
            raise HapiError(1405, f"{dataset.id} has days from {times.text(first)[:10]}Z "
                                  f"to {times.text(last)[:10]}Z")
        span = min(stop, last) - max(start, first)
        if span > self.max_days * DAY_NS:
            raise HapiError(1408, f"at most {self.max_days:g} day(s) of records a request")
        return start, stop


def dataset_description(description, product):
    """The long text of a dataset: its day files' Logical_source_description and TEXT."""
    g = description.attributes
    parts = [g.get("Logical_source_description", "").strip(), g.get("TEXT", "").strip()]
    text = ". ".join(p.rstrip(".") for p in parts if p)
    return text + "." if text else product


def mission_attributes(root):
    """The archive's mission attributes ({} when its file cannot be used: logged)."""
    from kesta.dravel.l1.errors import UsageError
    from kesta.dravel.l1.metadata import mission_attributes as read

    try:
        return read(root)
    except UsageError as exc:
        log.warning("%s", exc)
        return {}


def day_text(date, after=False):
    """00:00 UTC of a "YYYYMMDD" day (of the day after, `after`) as a HAPI time, to the second."""
    import datetime

    day = datetime.date(int(date[:4]), int(date[4:6]), int(date[6:8])) + datetime.timedelta(days=int(after))
    return f"{day.isoformat()}T00:00:00Z"


def time_parameter(description):
    return {"name": description.time, "type": "isotime", "units": "UTC", "fill": None,
            "length": times.TIME_LENGTH, "description": description.time_description}


def create_app(root, max_days=DEFAULT_MAX_DAYS, held_bytes=HELD_BYTES):
    """The ASGI application serving the archive at `root` under /hapi."""
    server = Server(root, max_days, held_bytes)

    def endpoint(name):
        def decorate(handler):
            async def run(request):
                try:
                    server.check_names(request, name)
                    return await handler(request)
                except HapiError as exc:
                    return error_response(exc)
            return run
        return decorate

    @endpoint("about")
    async def about(request):
        return hapi_response({"id": "dravel", "title": "Zelk L1 archive",
                              "contact": "the archive's operator",
                              "description": "Level-1 records of the Zelk radio and plasma waves instrument, "
                                             "one dataset per product, served from the archive's day files."})

    @endpoint("capabilities")
    async def capabilities(request):
        return hapi_response({"outputFormats": list(FORMATS)})

    def catalog_entries():
        entries = []
        for did, dataset in server.archive.datasets().items():
            try:
                title = server.description(dataset).attributes.get("Logical_source_description") or did
            except (OSError, ValueError) as exc:
                log.warning("%s: %s", dataset.newest().path, exc)
                continue
            if dataset.version:
                title += f" (data version {dataset.version})"
            entries.append({"id": did, "title": title})
        return entries

    @endpoint("catalog")
    async def catalog(request):
        return hapi_response({"catalog": await run_in_threadpool(catalog_entries)})

    @endpoint("info")
    async def info(request):
        def work():
            dataset = server.dataset(request)
            description = server.description(dataset)
            return server.info(dataset, description, request.query_params.get("parameters"))
        return hapi_response(await run_in_threadpool(work))

    @endpoint("data")
    async def data(request):
        q = request.query_params
        fmt = q.get("format") or "csv"
        if fmt not in FORMATS:
            raise HapiError(1409, fmt)
        include = q.get("include", "")
        if include not in ("", "header"):
            raise HapiError(1410, include)

        def plan():
            dataset = server.dataset(request)
            description = server.description(dataset)
            info = server.info(dataset, description, q.get("parameters"))
            parameters = server.parameters(description, q.get("parameters"))
            start, stop = server.times(request, dataset)
            blocks = stream.blocks(dataset, description, parameters, start, stop, server.days)
            chunks = stream.encoded(blocks, encoder(parameters, fmt))
            return info, chunks, next(chunks, None)

        info, chunks, first = await run_in_threadpool(plan)
        return data_response(info, chunks, first, fmt, include == "header")

    async def landing(request):
        return HTMLResponse(await run_in_threadpool(landing_page, server), headers=HEADERS)

    async def unknown(request):
        return hapi_response({}, 1400, f"no endpoint {request.path_params['rest']!r}")

    async def failed(request, exc):
        log.error("%s failed", request.url.path, exc_info=exc)
        return hapi_response({}, 1500)

    routes = [
        Route("/", lambda request: RedirectResponse("/hapi")),
        Route("/hapi", landing), Route("/hapi/", landing),
        Route("/hapi/about", about), Route("/hapi/capabilities", capabilities),
        Route("/hapi/catalog", catalog), Route("/hapi/info", info), Route("/hapi/data", data),
        Route("/hapi/{rest:path}", unknown),
    ]
    return Starlette(routes=routes, exception_handlers={Exception: failed})


def encoder(parameters, fmt):
    """encode(block, i): the bytes of the i-th block of records (0 first) in a format."""
    if fmt == "json":
        encode = stream.encode_json(parameters)
        return lambda block, i: encode(block, i == 0)
    encode = stream.encode_binary(parameters) if fmt == "binary" else stream.encode_csv(parameters)
    return lambda block, i: encode(block)


def data_response(info, chunks, first, fmt, with_header):
    code = 1200 if first is not None else 1201
    head = {"HAPI": HAPI_VERSION, "status": status(code), **info, "format": fmt}
    if fmt == "json":
        opening = json.dumps(head)[:-1] + ', "data": [\n'
        return StreamingResponse(_framed(opening.encode(), _chunks(chunks, first), b"\n]}\n"),
                                 media_type=MEDIA[fmt], headers=HEADERS)
    opening = stream.hashed(head) if with_header else b""
    if first is None:
        chunks.close()
        return Response(opening, media_type=MEDIA[fmt], headers=HEADERS)
    return StreamingResponse(_framed(opening, _chunks(chunks, first), b""), media_type=MEDIA[fmt], headers=HEADERS)


def _chunks(chunks, first):
    """The encoded blocks (the first already read and encoded), each next one read and encoded
    in a worker thread; the generator is closed however the response ends (its day file with
    it)."""
    async def run():
        try:
            if first is None:
                return
            yield first
            while True:
                # a cancelled request waits for the block under way, then stops here
                chunk = await run_in_threadpool(next, chunks, None)
                if chunk is None:
                    return
                yield chunk
        finally:
            if chunks.gi_frame is not None:       # not run to its end
                with anyio.CancelScope(shield=True):
                    await run_in_threadpool(chunks.close)
    return run()


async def _framed(opening, chunks, closing):
    if opening:
        yield opening
    async for chunk in chunks:
        yield chunk
    if closing:
        yield closing


def landing_page(server):
    rows = []
    for did, dataset in server.archive.datasets().items():
        try:
            description = server.description(dataset)
        except (OSError, ValueError) as exc:
            log.warning("%s: %s", dataset.newest().path, exc)
            continue
        title = description.attributes.get("Logical_source_description", did)
        day = dataset.first_day
        start = f"{day[:4]}-{day[4:6]}-{day[6:]}T00:00:00Z"
        stop = f"{day[:4]}-{day[4:6]}-{day[6:]}T01:00:00Z"
        links = [("info", "info?" + urlencode({"dataset": did}))]
        for fmt in FORMATS:
            query = {"dataset": did, "start": start, "stop": stop, "format": fmt}
            if fmt == "csv":
                query["include"] = "header"
            links.append((f"data ({fmt})", "data?" + urlencode(query, quote_via=quote)))
        cells = " ".join(f'<a href="hapi/{html.escape(href)}">{html.escape(label)}</a>' for label, href in links)
        rows.append(f"<tr><td>{html.escape(did)}</td><td>{html.escape(title)}</td>"
                    f"<td>{html.escape(dataset.first_day)} to {html.escape(dataset.last_day)}</td>"
                    f"<td>{cells}</td></tr>")
    return f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>HAPI server: Zelk L1 archive</title>
<base href="/">
<style>body {{ font: 14px/1.45 system-ui, sans-serif; margin: 1.5em; }}
td, th {{ border: 1px solid #ddd; padding: 0.2em 0.6em; text-align: left; }} table {{ border-collapse: collapse; }}</style>
</head><body>
<h1>Zelk L1 archive: HAPI server</h1>
<p>A HAPI {HAPI_VERSION} server: <a href="hapi/about">about</a>, <a href="hapi/capabilities">capabilities</a>,
<a href="hapi/catalog">catalog</a>. Read it with hapiclient, pyspedas.hapi or any HAPI client.</p>
<table><tr><th>dataset</th><th>title</th><th>days</th><th>examples</th></tr>
{chr(10).join(rows)}
</table></body></html>
"""
