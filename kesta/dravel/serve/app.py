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

Metadata comes from the product registry and the day files' names (`registry`), never from a
day file. Every answer of the archive has Last-Modified (`Archive.modified`), an
If-Modified-Since as new is answered 304, HEAD without a body; a client sending
Accept-Encoding: gzip gets its answer compressed, block by block as it streams. Each product
also has its availability dataset and its day files for download (`availability`).
"""

from __future__ import annotations

import asyncio
import datetime
import html
import inspect
import json
import logging
import os
from collections.abc import AsyncGenerator, AsyncIterable, Awaitable, Callable, Generator, Iterable, Mapping, Sequence
from email.utils import formatdate, parsedate_to_datetime
from typing import Any, TypeGuard
from urllib.parse import quote, urlencode

import anyio
from starlette.applications import Starlette
from starlette.concurrency import run_in_threadpool
from starlette.middleware.gzip import DEFAULT_EXCLUDED_CONTENT_TYPES, GZipMiddleware
from starlette.requests import Request
from starlette.responses import (
    FileResponse,
    HTMLResponse,
    JSONResponse,
    PlainTextResponse,
    RedirectResponse,
    Response,
    StreamingResponse,
)
from starlette.routing import Route
from starlette.types import ASGIApp, Receive, Scope, Send

from kesta.dravel.archive import mission
from kesta.dravel.archive.mission import CONFIG_FILE
from kesta.dravel.l1.errors import ConfigError
from kesta.dravel.l1.writers import DAY_FORMATS
from kesta.dravel.l1.writers import FORMATS as FILE_FORMATS

from . import availability, memory, stream, times
from .access import AccessLog
from .archive import Archive, Dataset, DayFile
from .dayfile import HELD_BYTES, Description, Descriptions, HeldDays, Parameter
from .registry import STAMPED, SURVEYS, Registry, cadence, title
from .stream import Block, Chunk, OutputFormat

log = logging.getLogger(__name__)

HAPI_VERSION = "3.3"
FORMATS: tuple[OutputFormat, ...] = ("csv", "binary", "json")
DEFAULT_MAX_DAYS = 366.0
# data requests streamed at once; the others wait their turn (what they hold meanwhile: their
# connection): the server's memory is at most this many requests' worth of records
DATA_STREAMS = 8
# seconds after the last data request ended that the memory freed is handed back
TRIM_AFTER = 0.2
DAY_NS = 86_400 * 10**9

# What each HAPI status says: a status of 1400 and more is "HAPI error <code>: <text>" in the
# message of the JSON status (followed by what the request got wrong) and in the HTTP reason
# phrase; a range without records is "HAPI 1201: ..." in the reason phrase of its HTTP 200.
MESSAGES: dict[int, str] = {
    1200: "OK",
    1201: "OK - no data for time range",
    1400: "user input error",
    1401: "unknown API parameter name",
    1402: "error in start time",
    1403: "error in stop time",
    1404: "start time equal to or after stop time",
    1405: "time outside valid range",
    1406: "unknown dataset id",
    1407: "unknown dataset parameter",
    1408: "too much time or data requested",
    1409: "unsupported output format",
    1410: "unsupported include value",
    1411: "out of order or duplicate parameters",
    1500: "internal server error",
}
HTTP_STATUS: dict[int, int] = {1200: 200, 1201: 200, 1406: 404, 1407: 404, 1500: 500}
HEADERS: dict[str, str] = {
    "Access-Control-Allow-Origin": "*",
    "Access-Control-Allow-Methods": "GET, HEAD",
    "Access-Control-Allow-Headers": "Content-Type",
}
# gzip level of the responses sent compressed: zlib's default (level 9 costs three times the
# time for a few per cent less)
GZIP_LEVEL = 6
FILE_MEDIA = tuple(FILE_FORMATS[name].media_type for name in DAY_FORMATS)  # day files: sent as they are
MEDIA: dict[OutputFormat, str] = {"csv": "text/csv", "binary": "application/octet-stream", "json": "application/json"}
# The response header carrying a response's HTTP reason phrase to the server's HTTP protocol
# (`protocol.HapiH11Protocol`), which writes it in the status line and drops the header; ASGI
# has no field for a reason phrase.
REASON = "x-hapi-reason"

ALLOWED: dict[str, set[str]] = {
    "about": set(),
    "capabilities": set(),
    "catalog": set(),
    "info": {"dataset", "id", "parameters"},
    "data": {"dataset", "id", "start", "stop", "time.min", "time.max", "parameters", "format", "include"},
}

# An endpoint: the ASGI application answering a request (a Response, or one holding a data
# request's turn)
Handler = Callable[[Request], Awaitable[ASGIApp]]
# What a data request gets once its first block is read: the info of its header, the encoded
# blocks, the first of them (None: no records)
Planned = tuple[dict[str, Any], Generator[Chunk, None, None], Chunk | None]


def is_output_format(name: str) -> TypeGuard[OutputFormat]:
    """Whether `name` is one of the data stream's formats (FORMATS)."""
    return name in FORMATS


class HapiError(Exception):
    def __init__(self, code: int, detail: str = "") -> None:
        super().__init__(detail)
        self.code = code
        self.detail = detail


def reason(code: int) -> str | None:
    """The HTTP reason phrase of a HAPI status (None: the HTTP status's own)."""
    if code >= 1400:
        return f"HAPI error {code}: {MESSAGES[code]}"
    if code == 1201:
        return f"HAPI 1201: {MESSAGES[code]}"
    return None


def status(code: int, detail: str = "") -> dict[str, int | str]:
    message = reason(code) or MESSAGES[code]
    return {"code": code, "message": message + (f": {detail}" if detail else "")}


def headers(code: int = 1200, modified: float | None = None) -> dict[str, str]:
    """The headers of a response of HAPI status `code` that depends on what changed last at
    `modified` (seconds; None: nothing of the archive)."""
    out = dict(HEADERS)
    if modified:
        out["Last-Modified"] = formatdate(modified, usegmt=True)
    phrase = reason(code)
    if phrase:
        out[REASON] = phrase
    return out


def hapi_response(
    body: Mapping[str, Any], code: int = 1200, detail: str = "", modified: float | None = None
) -> JSONResponse:
    content = {"HAPI": HAPI_VERSION, "status": status(code, detail), **body}
    return JSONResponse(content, status_code=HTTP_STATUS.get(code, 400), headers=headers(code, modified))


def error_response(exc: HapiError) -> JSONResponse:
    return hapi_response({}, exc.code, exc.detail)


def unchanged_since(request: Request, modified: float | None) -> bool:
    """True when the request's If-Modified-Since is no older than `modified` (to the second,
    as HTTP dates go)."""
    since = request.headers.get("if-modified-since")
    if not since or not modified:
        return False
    try:
        when = parsedate_to_datetime(since)
    except (TypeError, ValueError, IndexError):
        return False
    if when.tzinfo is None:
        return False
    return int(modified) <= when.timestamp()


def not_modified(modified: float) -> Response:
    return Response(status_code=304, headers={**HEADERS, "Last-Modified": formatdate(modified, usegmt=True)})


def iso_time(seconds: float) -> str:
    """A modification time as a HAPI time, to the second."""
    return datetime.datetime.fromtimestamp(int(seconds), datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


class Server:
    """The endpoints over the archive at `root`; `max_days`: the longest range a `data` request
    may ask for (1408 beyond), counted within the dataset's days; `held_bytes`: what the server
    keeps of small day files' records between requests (HeldDays)."""

    def __init__(
        self, root: str | os.PathLike[str], max_days: float = DEFAULT_MAX_DAYS, held_bytes: int = HELD_BYTES
    ) -> None:
        self.archive = Archive(root)
        # (the mission file's version, Registry)
        self._registry: tuple[tuple[int, int, int] | None, Registry | None] = (None, None)
        self.describe = Descriptions()
        self.days = HeldDays(held_bytes)
        self.max_days = float(max_days)

    @property
    def registry(self) -> Registry:
        """The Registry of the archive's mission attributes as its file now holds them (made
        again when the file changes)."""
        path = os.path.join(self.archive.root, CONFIG_FILE)
        try:
            st = os.stat(path)
            key: tuple[int, int, int] | None = (st.st_ino, st.st_size, st.st_mtime_ns)
        except OSError:
            key = None
        known, registry = self._registry
        if registry is None or known != key:
            registry = Registry(mission_attributes(self.archive.root))
            self._registry = (key, registry)
        return registry

    # ---- what the requests name ----

    def check_names(self, request: Request, endpoint: str) -> None:
        unknown = sorted(set(request.query_params) - ALLOWED[endpoint])
        if unknown:
            raise HapiError(1401, ", ".join(unknown))

    def dataset(self, request: Request) -> Dataset:
        q = request.query_params
        did = q.get("dataset", q.get("id"))
        if not did:
            raise HapiError(1400, "dataset missing")
        found = self.archive.dataset(did)
        if found is None:
            raise HapiError(1406, did)
        return found

    def availability_of(self, request: Request) -> Dataset | None:
        """The dataset (the newest version of each day) whose availability dataset a request
        names, or None for another id."""
        q = request.query_params
        product = availability.product_of(q.get("dataset", q.get("id")))
        found = self.archive.dataset(product) if product is not None else None
        return found if found is not None and found.version is None else None

    def availability_modified(self, dataset: Dataset) -> float:
        state = availability.state_path(self.archive.root)
        return self.archive.modified(products=[dataset.product], files=dataset.files, also=[state, state + "-wal"])

    def availability_info(
        self, dataset: Dataset, base: str, names: str | None, modified: float | None = None
    ) -> tuple[dict[str, Any], list[int], int]:
        try:
            columns = availability.chosen(names)
        except ValueError as exc:
            raise HapiError(*exc.args) from None
        every = availability.parameters(dataset, base)
        out: dict[str, Any] = {
            "startDate": times.day_text(dataset.first_day),
            "stopDate": times.day_text(dataset.last_day, after=True),
            "parameters": [every[i] for i in columns],
            "title": f"Day files of {dataset.product}"[:40],
            "description": f"The day files of {dataset.id} (the newest data version of each day): "
            "the start and stop of each one's UTC day, its records, its data version "
            "and the URL the server sends it at.",
            "timeStampLocation": "begin",
            "cadence": "P1D",
        }
        if modified:
            out["modificationDate"] = iso_time(modified)
        return out, columns, every[-1]["length"]

    def day_file(self, product: str, name: str) -> DayFile | None:
        """The DayFile of a product named `name` among those found, or None."""
        if product not in self.archive.products():
            return None
        return next((f for f in self.archive.day_files(product) if os.path.basename(f.path) == name), None)

    def info(
        self, dataset: Dataset, description: Description, names: str | None, modified: float | None = None
    ) -> dict[str, Any]:
        """The info of a dataset; `modified`: when what it depends on last changed."""
        chosen = self.parameters(description, names)
        present = {p.name: p for p in chosen}
        parameters = [time_parameter(description)] + [p.hapi(present) for p in chosen]
        out: dict[str, Any] = {
            "startDate": times.day_text(dataset.first_day),
            "stopDate": times.day_text(dataset.last_day, after=True),
            "parameters": parameters,
            "title": dataset_title(dataset),
            "description": dataset_description(description, dataset.product),
            "timeStampLocation": STAMPED.get(dataset.product, "begin"),
        }
        known = availability.state_days(self.archive.root) if dataset.product in SURVEYS else {}
        counts = [
            n
            for (p, _, v), (n, _, _) in known.items()
            if p == dataset.product and (dataset.version is None or v == dataset.version)
        ]
        every = cadence(dataset.product, counts)
        if every:
            out["cadence"] = every
        if modified:
            out["modificationDate"] = iso_time(modified)
        out.update(self.mission_fields(dataset=True))
        out["x_dataVersion"] = dataset.version or "newest of each day"
        return out

    def mission_fields(self, dataset: bool = False) -> dict[str, str]:
        """contact and citation from the archive's mission attributes, where it sets them."""
        out: dict[str, str] = {}
        g = self.registry.mission
        contact = ", ".join(v.strip() for v in (g.get("PI_name", ""), g.get("PI_affiliation", "")) if v.strip())
        if contact:
            out["contact"] = contact
        if g.get("Acknowledgement", "").strip():
            out["datasetCitation" if dataset else "citation"] = g["Acknowledgement"].strip()
        return out

    def modified(self, dataset: Dataset | None = None, files: Iterable[DayFile] | None = None) -> float:
        """When what a response depends on last changed: the whole archive, or a dataset's
        product folders and day files (those of `files`, default all)."""
        if dataset is None:
            return self.archive.modified(products=self.archive.products())
        return self.archive.modified(products=[dataset.product], files=dataset.files if files is None else files)

    def parameters(self, description: Description, names: str | None) -> list[Parameter]:
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

    def description(self, dataset: Dataset) -> Description:
        """What the dataset holds: from the product registry (no day file opened), or read from
        its newest day file for a product the registry does not describe."""
        found = self.registry(dataset.product, dataset.newest().kind)
        return found if found is not None else self.describe(dataset.newest())

    def times(self, request: Request, dataset: Dataset) -> tuple[int, int]:
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
            raise HapiError(1405, f"{dataset.id} has days from {times.text(first)[:10]}Z to {times.text(last)[:10]}Z")
        span = min(stop, last) - max(start, first)
        if span > self.max_days * DAY_NS:
            raise HapiError(1408, f"at most {self.max_days:g} day(s) of records a request")
        return start, stop


def dataset_title(dataset: Dataset) -> str:
    """At most 40 characters, one per dataset: the product's title, and its data version for
    the dataset of one version."""
    base = title(dataset.product)
    if dataset.version:
        suffix = f" (v{dataset.version})"
        return base[: 40 - len(suffix)] + suffix
    return base


def dataset_description(description: Description, product: str) -> str:
    """The long text of a dataset: its day files' Logical_source_description and TEXT."""
    g = description.attributes
    parts = [g.get("Logical_source_description", "").strip(), g.get("TEXT", "").strip()]
    text = ". ".join(p.rstrip(".") for p in parts if p)
    return text + "." if text else product


def mission_attributes(root: str) -> dict[str, str]:
    """The archive's mission attributes ({} when its file cannot be used: logged)."""
    try:
        found: dict[str, str] = mission.mission_attributes(root)
        return found
    except ConfigError as exc:
        log.warning("%s", exc)
        return {}


def time_parameter(description: Description) -> dict[str, Any]:
    return {
        "name": description.time,
        "type": "isotime",
        "units": "UTC",
        "fill": None,
        "length": times.TIME_LENGTH,
        "description": description.time_description,
    }


class Streams:
    """The data requests streamed at once: at most `limit`, each holding its turn until its
    response ends however it ends; once the last ends, the memory freed is handed back to the
    system (`memory.trim`)."""

    def __init__(self, limit: int = DATA_STREAMS) -> None:
        self.limit = limit
        self.under_way = 0
        self._turns: anyio.Semaphore | None = None

    async def turn(self) -> Callable[[], None]:
        """Waits for a turn; returns its release() (once-only)."""
        if self._turns is None:
            self._turns = anyio.Semaphore(self.limit)
        turns = self._turns
        await turns.acquire()
        self.under_way += 1
        done: list[bool] = []

        def release() -> None:
            if done:
                return
            done.append(True)
            self.under_way -= 1
            turns.release()
            if not self.under_way:
                asyncio.get_running_loop().call_later(TRIM_AFTER, self._trim)

        return release

    def _trim(self) -> None:
        # in a thread of its own, no response kept waiting; once what the last response's
        # sending held (its last block, in the socket's buffer) is freed too
        if not self.under_way:
            asyncio.get_running_loop().run_in_executor(None, memory.trim)


class _Holding:
    """A response (an ASGI application) holding a data request's turn until it is sent or given
    up; `chunks`, the blocks it reads, closed then if it never got to them."""

    def __init__(
        self, response: ASGIApp, release: Callable[[], None], chunks: Generator[Chunk, None, None] | None = None
    ) -> None:
        self.response, self.release, self.chunks = response, release, chunks

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        try:
            await self.response(scope, receive, send)
        finally:
            with anyio.CancelScope(shield=True):
                if self.chunks is not None and inspect.getgeneratorstate(self.chunks) != inspect.GEN_CLOSED:
                    await run_in_threadpool(self.chunks.close)
                self.release()


def create_app(
    root: str | os.PathLike[str],
    max_days: float = DEFAULT_MAX_DAYS,
    held_bytes: int = HELD_BYTES,
    access_log: Callable[[str], object] | None = None,
    streams: int = DATA_STREAMS,
) -> ASGIApp:
    """The ASGI application serving the archive at `root` under /hapi; `access_log`: called
    with one line (common log format) per request answered; `streams`: the data requests
    streamed at once (others wait)."""
    server = Server(root, max_days, held_bytes)
    turns = Streams(streams)

    def endpoint(name: str) -> Callable[[Handler], Handler]:
        def decorate(handler: Handler) -> Handler:
            async def run(request: Request) -> ASGIApp:
                try:
                    server.check_names(request, name)
                    return await handler(request)
                except HapiError as exc:
                    return error_response(exc)

            return run

        return decorate

    def conditional(request: Request, modified: float, answer: Callable[[], Response]) -> Response:
        """304 when the client's copy is as new as `modified`, else answer()."""
        if unchanged_since(request, modified):
            return not_modified(modified)
        return answer()

    @endpoint("about")
    async def about(request: Request) -> Response:
        modified = server.archive.modified()
        return conditional(
            request,
            modified,
            lambda: hapi_response(
                {
                    "id": "dravel",
                    "title": "Zelk L1 archive",
                    "contact": "the archive's operator",
                    "description": "Level-1 records of the Zelk radio and plasma waves instrument, "
                    "one dataset per product, served from the archive's day files.",
                    **server.mission_fields(),
                },
                modified=modified,
            ),
        )

    @endpoint("capabilities")
    async def capabilities(request: Request) -> Response:
        modified = server.archive.modified()
        return conditional(
            request, modified, lambda: hapi_response({"outputFormats": list(FORMATS)}, modified=modified)
        )

    def catalog_entries() -> list[dict[str, str]]:
        entries = []
        datasets = server.archive.datasets()
        for did, dataset in datasets.items():
            entries.append({"id": did, "title": dataset_title(dataset)})
        for did, dataset in datasets.items():
            if dataset.version is None:
                entries.append({"id": did + availability.SUFFIX, "title": f"Day files of {did}"[:40]})
        return entries

    @endpoint("catalog")
    async def catalog(request: Request) -> Response:
        def work() -> Response:
            modified = server.modified()
            return conditional(
                request, modified, lambda: hapi_response({"catalog": catalog_entries()}, modified=modified)
            )

        return await run_in_threadpool(work)

    @endpoint("info")
    async def info(request: Request) -> Response:
        def work() -> Response:
            files_of = server.availability_of(request)
            if files_of is not None:
                modified = server.availability_modified(files_of)
                return conditional(
                    request,
                    modified,
                    lambda: hapi_response(
                        server.availability_info(
                            files_of, str(request.base_url), request.query_params.get("parameters"), modified
                        )[0],
                        modified=modified,
                    ),
                )
            dataset = server.dataset(request)
            modified = server.modified(dataset)

            def answer() -> JSONResponse:
                description = server.description(dataset)
                return hapi_response(
                    server.info(dataset, description, request.query_params.get("parameters"), modified),
                    modified=modified,
                )

            return conditional(request, modified, answer)

        return await run_in_threadpool(work)

    @endpoint("data")
    async def data(request: Request) -> ASGIApp:
        q = request.query_params
        fmt = q.get("format") or "csv"
        if not is_output_format(fmt):
            raise HapiError(1409, fmt)
        include = q.get("include", "")
        if include not in ("", "header"):
            raise HapiError(1410, include)

        def plan() -> tuple[float, Planned | None]:
            files_of = server.availability_of(request)
            if files_of is not None:
                return availability_plan(files_of)
            dataset = server.dataset(request)
            description = server.description(dataset)
            parameters = server.parameters(description, q.get("parameters"))
            start, stop = server.times(request, dataset)
            files = in_range(dataset, start, stop)
            modified = server.modified(dataset, files)
            if unchanged_since(request, modified):
                return modified, None
            info = server.info(dataset, description, q.get("parameters"), server.modified(dataset))
            blocks = stream.blocks(dataset, description, parameters, start, stop, server.days)
            chunks = stream.encoded(blocks, encoder(parameters, fmt))
            return modified, (info, chunks, next(chunks, None))

        def availability_plan(dataset: Dataset) -> tuple[float, Planned | None]:
            modified = server.availability_modified(dataset)
            base = str(request.base_url)
            info, columns, width = server.availability_info(dataset, base, q.get("parameters"), modified)
            start, stop = server.times(request, dataset)
            if unchanged_since(request, modified):
                return modified, None
            found = availability.rows(dataset, server.archive.root, base, start, stop)

            def encoded() -> Generator[Chunk, None, None]:
                if found:
                    yield availability.encode(found, columns, fmt, width)

            chunks = encoded()
            return modified, (info, chunks, next(chunks, None))

        release = await turns.turn()
        try:
            if await request.is_disconnected():  # gone while waiting its turn
                release()
                return Response(b"", status_code=499)
            modified, planned = await run_in_threadpool(plan)
        except BaseException:
            release()
            raise
        if planned is None:
            release()
            return not_modified(modified)
        info, chunks, first = planned
        response = data_response(info, chunks, first, fmt, include == "header", modified)
        if request.method == "HEAD":  # the status and headers, no records read past the first block
            await run_in_threadpool(chunks.close)
            release()
            response = Response(
                b"",
                status_code=response.status_code,
                headers={k: v for k, v in response.headers.items() if k != "content-length"},
            )
            del response.headers["content-length"]  # not known before the records are read
            return response
        return _Holding(response, release, chunks)

    async def landing(request: Request) -> Response:
        def work() -> Response:
            modified = server.modified()
            return conditional(
                request, modified, lambda: HTMLResponse(landing_page(server), headers=headers(modified=modified))
            )

        return await run_in_threadpool(work)

    async def files(request: Request) -> Response:
        def work() -> Response:
            day = server.day_file(request.path_params["product"], request.path_params["name"])
            if day is None:
                return PlainTextResponse("no such day file\n", status_code=404, headers=HEADERS)
            try:
                modified = os.stat(day.path).st_mtime
            except FileNotFoundError:
                return PlainTextResponse("no such day file\n", status_code=404, headers=HEADERS)
            if unchanged_since(request, modified):
                return not_modified(modified)
            # Last-Modified, HEAD and Range (206) as Starlette's file responses have them
            return FileResponse(day.path, media_type=FILE_FORMATS[day.kind].media_type, headers=HEADERS)

        return await run_in_threadpool(work)

    async def unknown(request: Request) -> Response:
        return hapi_response({}, 1400, f"no endpoint {request.path_params['rest']!r}")

    async def failed(request: Request, exc: Exception) -> Response:
        log.error("%s failed", request.url.path, exc_info=exc)
        return hapi_response({}, 1500)

    routes = [
        Route("/", lambda request: RedirectResponse("/hapi")),
        Route("/hapi", landing),
        Route("/hapi/", landing),
        Route("/hapi/about", about),
        Route("/hapi/capabilities", capabilities),
        Route("/hapi/catalog", catalog),
        Route("/hapi/info", info),
        Route("/hapi/data", data),
        Route("/hapi/files/{product}/{name}", files),
        Route("/hapi/{rest:path}", unknown),
    ]
    app: ASGIApp = Starlette(routes=routes, exception_handlers={Exception: failed})
    # gzip for the clients that ask for it, block by block as a response streams
    app = GZipMiddleware(
        app,
        minimum_size=500,
        compresslevel=GZIP_LEVEL,
        exclude_content_types=DEFAULT_EXCLUDED_CONTENT_TYPES + FILE_MEDIA,
    )
    if access_log is not None:
        app = AccessLog(app, access_log)
    return app


def in_range(dataset: Dataset, start: int, stop: int) -> list[DayFile]:
    """The day files of a dataset holding records of [start, stop) (TT2000)."""
    out = []
    for day in dataset.files:
        first = times.day_start(day.date)
        if first is not None and first < stop and first + DAY_NS > start:
            out.append(day)
    return out


def encoder(parameters: Sequence[Parameter], fmt: OutputFormat) -> Callable[[Block, int], Chunk]:
    """encode(block, i): the bytes of the i-th block of records (0 first) in a format."""
    if fmt == "json":
        encode_json = stream.encode_json(parameters)
        return lambda block, i: encode_json(block, i == 0)
    encode: Callable[[Block], Chunk] = (
        stream.encode_binary(parameters) if fmt == "binary" else stream.encode_csv(parameters)
    )
    return lambda block, i: encode(block)


def data_response(
    info: Mapping[str, Any],
    chunks: Generator[Chunk, None, None],
    first: Chunk | None,
    fmt: OutputFormat,
    with_header: bool,
    modified: float | None = None,
) -> Response:
    code = 1200 if first is not None else 1201
    head = {"HAPI": HAPI_VERSION, "status": status(code), **info, "format": fmt}
    sent = headers(code, modified)
    if fmt == "json":
        text = json.dumps(head)[:-1] + ', "data": [\n'
        return StreamingResponse(
            _framed(text.encode(), _chunks(chunks, first), b"\n]}\n"), media_type=MEDIA[fmt], headers=sent
        )
    opening = stream.hashed(head) if with_header else b""
    if first is None:
        chunks.close()
        return Response(opening, media_type=MEDIA[fmt], headers=sent)
    return StreamingResponse(_framed(opening, _chunks(chunks, first), b""), media_type=MEDIA[fmt], headers=sent)


def _chunks(chunks: Generator[Chunk, None, None], first: Chunk | None) -> AsyncGenerator[Chunk, None]:
    """The encoded blocks (the first already read and encoded), each next one read and encoded
    in a worker thread; the generator is closed however the response ends (its day file with
    it)."""

    async def run() -> AsyncGenerator[Chunk, None]:
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
            if inspect.getgeneratorstate(chunks) != inspect.GEN_CLOSED:  # not run to its end
                with anyio.CancelScope(shield=True):
                    await run_in_threadpool(chunks.close)

    return run()


async def _framed(opening: bytes, chunks: AsyncIterable[Chunk], closing: bytes) -> AsyncGenerator[Chunk, None]:
    if opening:
        yield opening
    async for chunk in chunks:
        yield chunk
    if closing:
        yield closing


def landing_page(server: Server) -> str:
    rows = []
    for did, dataset in server.archive.datasets().items():
        title = dataset_title(dataset)
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
        rows.append(
            f"<tr><td>{html.escape(did)}</td><td>{html.escape(title)}</td>"
            f"<td>{html.escape(dataset.first_day)} to {html.escape(dataset.last_day)}</td>"
            f"<td>{cells}</td></tr>"
        )
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
"""  # noqa: E501 - the page as it is sent
