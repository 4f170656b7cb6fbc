"""The limits a request meets before its photo is analysed: the body read
under the size limit (a declared Content-Length over it is refused before
a byte is read), and the gate that lets a bounded number of analyses run at
once and a bounded number wait; beyond that the request is turned away at
once, with Retry-After, rather than piling up memory and latency. Under
them, a ceiling on the process's memory (bound_memory)."""

from __future__ import annotations

import asyncio
from typing import AsyncIterator

from starlette.requests import ClientDisconnect, Request


class Refused(Exception):
    """A request answered with an error status and one line of words."""

    def __init__(self, status: int, message: str, reason: str | None = None, headers: dict | None = None):
        super().__init__(message)
        self.status = status
        self.reason = reason  # for the photos-refused counter, or None
        self.headers = headers or {}


class Gone(Exception):
    """The client went away before its body was in: nobody to answer."""


def _megabytes(count: int) -> str:
    return f"{count / (1 << 20):.1f}".removesuffix(".0") + " MB"


# on a refusal before the body is in: the connection is closed after the
# answer, rather than the rest of the body taken in just to be dropped
CLOSE = {"Connection": "close"}


def too_large(limit: int) -> Refused:
    return Refused(413, f"the request body is over the limit of {_megabytes(limit)}", "body", CLOSE)


class Budget:
    """The bytes of bodies held at once by a process's requests (read,
    waiting or analysed): past it a request is Busy, so many large uploads
    at once cost a bounded memory."""

    def __init__(self, limit: int):
        self.limit = limit
        self.held = 0

    def take(self, count: int) -> None:
        if self.held + count > self.limit:
            raise busy()
        self.held += count

    def give(self, count: int) -> None:
        self.held -= count


async def read_body(request: Request, limit: int, budget: Budget, held: list[int]) -> bytes:
    """The whole body; what it holds of the budget is added up in held[0]
    (for the caller to give back however the request ends)."""
    declared = request.headers.get("content-length")
    if declared is not None:
        if not declared.isdigit():
            raise Refused(400, "Content-Length is not a number")
        if int(declared) > limit:
            raise too_large(limit)
    chunks, size = [], 0
    try:
        async for chunk in request.stream():
            size += len(chunk)
            if size > limit:
                raise too_large(limit)
            budget.take(len(chunk))
            held[0] += len(chunk)
            chunks.append(chunk)
    except ClientDisconnect:
        raise Gone() from None
    return b"".join(chunks)


async def once(data: bytes) -> AsyncIterator[bytes]:
    yield data


def busy() -> Refused:
    return Refused(503, "the service is busy; try again shortly", "busy", {"Retry-After": "1", **CLOSE})


class Gate:
    """At most `slots` analyses at once, and at most `queue` more waiting
    for one; the next is Busy. A slot is handed back when its analysis ends,
    even one whose request has given up waiting for it (the thread cannot be
    stopped, and its core is busy until then)."""

    def __init__(self, slots: int, queue: int):
        self.slots = slots
        self.queue = queue
        self.free = asyncio.Semaphore(slots)
        self.waiting = 0
        self.running = 0

    def check(self) -> None:
        """Busy when every slot is taken and the queue is full."""
        if self.free.locked() and self.waiting >= self.queue:
            raise busy()

    async def enter(self) -> bool:
        """Takes a slot; whether it had to wait for one."""
        self.check()
        waited = self.free.locked()
        self.waiting += 1
        try:
            await self.free.acquire()
        finally:
            self.waiting -= 1
        self.running += 1
        return waited

    def leave(self, *_) -> None:
        self.running -= 1
        self.free.release()


def bound_memory(settings) -> int:
    """The ceiling on this server process's memory (RLIMIT_DATA, as the
    command line's workers get one), once its libraries are loaded: what it
    holds then, for each of its threads a decode at the pixel limit and an
    analysis at the default max_side, all the bodies its budget lets it hold,
    and room for the runtime. An analysis that breaches it (several photos
    at full size at once) fails as MemoryError, answered 503, and the
    process goes on. The ceiling set (bytes), or 0 for none."""
    import cv2
    import numpy as np

    from velmora_huebit.analysis.palette import DEFAULT_MAX_SIDE
    from velmora_huebit.photos.limits import limit_memory
    from velmora_huebit.service.work import Options, palette_answer

    # the decoders, the engine and the names loaded, and their first allocations made
    photo = cv2.imencode(".png", np.zeros((8, 8, 3), np.uint8))[1].tobytes()
    palette_answer(photo, Options(), settings.max_pixels)
    return limit_memory(settings.max_pixels, DEFAULT_MAX_SIDE, photos=settings.thread_count,
                        more=settings.held_limit)


def no_memory(ceiling: int) -> Refused:
    held = f" than the {_megabytes(ceiling)} this process may hold" if ceiling else ""
    return Refused(503, f"out of memory: the photos analysed at once take more{held}; try again shortly, "
                        "or with a smaller max_side", "memory", {"Retry-After": "1"})
