"""The server: uvicorn in front of the application, in one process or
several (each with its own thread pool, its share of the cores), on
uvloop's event loop where it is installed (the service extra brings it). The
connections are bounded (past max_connections a new request gets 503 from
uvicorn itself) and the process may hold that many open files; an idle
keep-alive connection is closed after a few seconds, and h11 refuses
headers beyond 16 KB, so slow or idle clients cost a file descriptor and a
little memory, never a thread."""

from __future__ import annotations

import os
import resource

from velmora_huebit.service.settings import ENVIRONMENT, Settings

KEEP_ALIVE = 5  # seconds an idle keep-alive connection is kept
HEADERS_MAX = 16 * 1024  # bytes of a request's head


def raise_open_files(wanted: int) -> None:
    """Let the process hold `wanted` open files (and some to spare), as far
    as the hard limit allows."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    target = wanted + 256 if hard == resource.RLIM_INFINITY else min(hard, wanted + 256)
    if soft != resource.RLIM_INFINITY and soft < target:
        resource.setrlimit(resource.RLIMIT_NOFILE, (target, hard))


def serve(settings: Settings, host: str, port: int, processes: int, max_connections: int,
          log_level: str = "warning") -> None:
    import uvicorn

    raise_open_files(max_connections)
    # the worker processes make the application from it (app_from_environment)
    os.environ[ENVIRONMENT] = settings.to_json()
    uvicorn.run("velmora_huebit.service.app:app_from_environment", factory=True, host=host, port=port,
                workers=processes if processes > 1 else None, limit_concurrency=max_connections,
                timeout_keep_alive=KEEP_ALIVE, h11_max_incomplete_event_size=HEADERS_MAX, http="h11",
                access_log=False, log_level=log_level, server_header=False, proxy_headers=False)
