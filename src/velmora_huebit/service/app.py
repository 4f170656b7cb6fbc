"""The Starlette application. A photo's request: the token checked, the
body read under its limits, the options checked, a place at the gate, then
the analysis in the thread pool (the engine and the decoders release the
GIL, so the event loop keeps answering /healthz meanwhile). Every failure
is a status and one line of JSON; nothing of the server's disk is reachable
(the page and the docs' files are named, not looked up by path), and no URL
given by a client is fetched."""

from __future__ import annotations

import asyncio
import concurrent.futures
import contextlib
import hmac
import importlib.resources
import logging
import os
import threading

from starlette.applications import Starlette
from starlette.datastructures import UploadFile
from starlette.exceptions import HTTPException
from starlette.formparsers import MultiPartException, MultiPartParser
from starlette.middleware import Middleware
from starlette.requests import Request
from starlette.responses import HTMLResponse, JSONResponse, Response
from starlette.routing import Route

from velmora_huebit.photos.limits import ceiling, out_of_memory
from velmora_huebit.service.limits import (CLOSE, Budget, Gate, Gone, Refused, bound_memory, busy, no_memory, once,
                                           read_body)
from velmora_huebit.service.metrics import Measured, Metrics
from velmora_huebit.service.openapi import ASSETS, DESCRIPTION, DOCS_PAGE, asset
from velmora_huebit.service.settings import Settings
from velmora_huebit.service.work import match_answer, options, palette_answer

log = logging.getLogger("velmora_huebit.service")

# the niceness of an analysis thread (Linux sets it per thread)
ANALYSIS_NICENESS = 5

# the page's own script and style are inline; it talks to this server alone
_PAGE_POLICY = ("default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                "img-src blob: data:; connect-src 'self'; form-action 'none'; base-uri 'none'")


def _error(status: int, message: str, headers: dict | None = None) -> JSONResponse:
    return JSONResponse({"error": message}, status, headers=headers)


async def _photo(request: Request, limit: int, budget: Budget,
                 held: list[int]) -> tuple[bytes, str | None, str | None]:
    """(the image's bytes, the form's targets field, the uploaded file's name)."""
    body = await read_body(request, limit, budget, held)
    if not request.headers.get("content-type", "").lower().startswith("multipart/form-data"):
        return body, None, None
    # a field (targets) holds at most 1 MB; the file, the body's limit
    parser = MultiPartParser(request.headers, once(body), max_files=1, max_fields=8)
    try:
        form = await parser.parse()
    except MultiPartException as exc:
        raise Refused(400, f"multipart body: {exc.message}") from None
    try:
        files = [value for value in form.values() if isinstance(value, UploadFile)]
        if len(files) != 1:
            raise Refused(400, "a multipart body holds the image as one file field (image)")
        targets = form.get("targets")
        return await files[0].read(), targets if isinstance(targets, str) else None, files[0].filename
    finally:
        await form.close()


def _yield_to_the_loop() -> None:
    """An analysis thread a little below the event loop's priority: when the
    cores are short, accepting, refusing and /healthz go first."""
    with contextlib.suppress(OSError, AttributeError):
        os.setpriority(os.PRIO_PROCESS, threading.get_native_id(), ANALYSIS_NICENESS)


class Service:
    def __init__(self, settings: Settings):
        self.settings = settings
        threads = settings.thread_count
        self.pool = concurrent.futures.ThreadPoolExecutor(threads, thread_name_prefix="palette",
                                                          initializer=_yield_to_the_loop)
        self.gate = Gate(threads, settings.queue)
        self.budget = Budget(settings.held_limit)
        self.metrics = Metrics(self.gate)
        self._token = settings.token.encode() if settings.token else None

    def _authorised(self, request: Request) -> bool:
        if self._token is None:
            return True
        scheme, _, given = request.headers.get("authorization", "").partition(" ")
        return scheme.lower() == "bearer" and hmac.compare_digest(given.strip().encode(), self._token)

    async def analyse(self, request: Request, matching: bool) -> Response:
        held = [0]
        try:
            return await self._analyse(request, matching, held)
        except Refused as exc:
            return self._refused(exc)
        except Gone:
            return _error(400, "the request body ended before it was whole")
        except Exception as exc:  # a fault of ours: logged here, one line for the client
            if out_of_memory(exc):  # the ceiling (bound_memory) reached: this request fails, not the process
                return self._refused(no_memory(ceiling()))
            log.exception("unexpected failure on %s", request.url.path)
            return _error(500, "internal error")
        finally:
            self.budget.give(held[0])

    def _refused(self, exc: Refused) -> Response:
        if exc.reason:
            self.metrics.refused.labels(exc.reason).inc()
        return _error(exc.status, str(exc), exc.headers)

    async def _analyse(self, request: Request, matching: bool, held: list[int]) -> Response:
        if not self._authorised(request):
            raise Refused(401, "a bearer token is needed (Authorization: Bearer TOKEN)", None,
                          {"WWW-Authenticate": "Bearer", **CLOSE})
        settings, gate = self.settings, self.gate
        gate.check()  # before the upload, too
        loop = asyncio.get_running_loop()
        deadline = loop.time() + settings.timeout
        try:
            async with asyncio.timeout_at(deadline):
                data, targets, filename = await _photo(request, settings.max_body, self.budget, held)
        except TimeoutError:
            raise Refused(408, f"the upload took longer than {settings.timeout:g} s", "timeout", CLOSE) from None
        opts = options(request.query_params, request.headers.get("accept", ""), targets, filename, matching)
        try:
            async with asyncio.timeout_at(deadline):
                waited = await gate.enter()
        except TimeoutError:
            raise busy() from None
        if waited and await request.is_disconnected():  # gone while it waited: nobody wants the answer
            gate.leave()
            raise Gone()
        work = loop.run_in_executor(self.pool, match_answer if matching else palette_answer,
                                    data, opts, settings.max_pixels)
        work.add_done_callback(gate.leave)
        try:
            async with asyncio.timeout_at(deadline):
                answer = await asyncio.shield(work)
        except TimeoutError:
            raise Refused(503, f"the analysis took longer than {settings.timeout:g} s", "timeout",
                          {"Retry-After": "1"}) from None
        if matching:
            return JSONResponse(answer)
        answer, media = answer
        if isinstance(answer, bytes):
            # a plain ASCII name in the header, whatever the photo was called
            stem = "".join(c if c.isascii() and (c.isalnum() or c in "-_.") else "_"
                           for c in opts.name.rsplit(".", 1)[0])[:80]
            return Response(answer, media_type=media, headers={
                "Content-Disposition": f'attachment; filename="{stem or "palette"}.{opts.format}"'})
        return JSONResponse(answer)


def create_app(settings: Settings | None = None) -> Starlette:
    service = Service(settings or Settings())
    page = importlib.resources.files("velmora_huebit.service").joinpath("page.html").read_text("utf-8")

    async def palette(request: Request) -> Response:
        return await service.analyse(request, matching=False)

    async def match(request: Request) -> Response:
        return await service.analyse(request, matching=True)

    async def health(request: Request) -> Response:
        return JSONResponse({"status": "ok"})

    async def metrics(request: Request) -> Response:
        return Response(service.metrics.text(), media_type="text/plain; version=0.0.4; charset=utf-8")

    async def index(request: Request) -> Response:
        return HTMLResponse(page, headers={"Content-Security-Policy": _PAGE_POLICY})

    async def openapi(request: Request) -> Response:
        return JSONResponse(DESCRIPTION)

    async def docs(request: Request) -> Response:
        return HTMLResponse(DOCS_PAGE)

    async def docs_asset(request: Request) -> Response:
        name = request.path_params["name"]
        data = asset(name)
        if data is None:
            return _error(404, "not found")
        return Response(data, media_type=ASSETS[name], headers={"Cache-Control": "public, max-age=86400"})

    async def http_error(request: Request, exc: Exception) -> Response:
        assert isinstance(exc, HTTPException)
        return _error(exc.status_code, str(exc.detail).lower(), getattr(exc, "headers", None))

    async def server_error(request: Request, exc: Exception) -> Response:
        log.exception("unexpected failure on %s", request.url.path)
        return _error(500, "internal error")

    @contextlib.asynccontextmanager
    async def lifespan(app):
        yield
        service.pool.shutdown(wait=False, cancel_futures=True)

    middleware = [Middleware(Measured, metrics=service.metrics)]
    if service.settings.cors:
        from starlette.middleware.cors import CORSMiddleware

        middleware.append(Middleware(CORSMiddleware, allow_origins=list(service.settings.cors),
                                     allow_methods=["GET", "POST"], allow_headers=["Authorization", "Content-Type"]))
    routes = [
        Route("/v1/palette", palette, methods=["POST"]),
        Route("/v1/match", match, methods=["POST"]),
        Route("/healthz", health, methods=["GET"]),
        Route("/metrics", metrics, methods=["GET"]),
        Route("/", index, methods=["GET"]),
        Route("/openapi.json", openapi, methods=["GET"]),
        Route("/docs", docs, methods=["GET"]),
        Route("/docs/{name}", docs_asset, methods=["GET"]),
    ]
    app = Starlette(routes=routes, middleware=middleware, lifespan=lifespan,
                    exception_handlers={HTTPException: http_error, Exception: server_error})
    app.state.service = service
    return app


def app_from_environment() -> Starlette:
    """The application of a uvicorn worker process (see server), its memory
    bounded once it is made."""
    app = create_app(Settings.from_environment())
    bound_memory(app.state.service.settings)
    return app
