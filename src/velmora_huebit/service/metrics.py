"""/metrics in Prometheus's text format, per process: requests by route and
status, their latency, the requests in flight, the analyses running and
waiting, and the photos refused by reason. Each application has its own
registry (tests make several)."""

from __future__ import annotations

import time

from prometheus_client import CollectorRegistry, Counter, Gauge, Histogram, disable_created_metrics, generate_latest

# a route's label: the paths the service has, every other one as "other" (the
# labels stay few whatever clients ask for)
ROUTES = ("/v1/palette", "/v1/match", "/healthz", "/metrics", "/", "/openapi.json", "/docs")
_BUCKETS = (0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0, 10.0, 30.0)


class Metrics:
    def __init__(self, gate):
        disable_created_metrics()  # a _created series per counter only doubles the text
        self.registry = CollectorRegistry(auto_describe=True)
        self.requests = Counter("velmora_requests", "HTTP requests answered, by route and status",
                                ["route", "status"], registry=self.registry)
        self.latency = Histogram("velmora_request_seconds", "Time from a request's start to its answer",
                                 ["route"], buckets=_BUCKETS, registry=self.registry)
        self.in_flight = Gauge("velmora_requests_in_flight", "Requests being served", registry=self.registry)
        self.refused = Counter("velmora_photos_refused", "Photos refused, by reason (body, pixels, "
                               "unreadable, busy, timeout, memory)", ["reason"], registry=self.registry)
        running = Gauge("velmora_analyses_running", "Photos being analysed", registry=self.registry)
        waiting = Gauge("velmora_analyses_waiting", "Photos waiting for a thread", registry=self.registry)
        running.set_function(lambda: gate.running)
        waiting.set_function(lambda: gate.waiting)

    def text(self) -> bytes:
        return generate_latest(self.registry)


class Measured:
    """ASGI middleware: every HTTP request counted, timed and held in flight."""

    def __init__(self, app, metrics: Metrics):
        self.app = app
        self.metrics = metrics

    async def __call__(self, scope, receive, send):
        if scope["type"] != "http":
            return await self.app(scope, receive, send)
        route = scope["path"] if scope["path"] in ROUTES else "other"
        status = 500  # unless a response starts
        start = time.perf_counter()

        async def sending(message):
            nonlocal status
            if message["type"] == "http.response.start":
                status = message["status"]
            await send(message)

        self.metrics.in_flight.inc()
        try:
            await self.app(scope, receive, sending)
        finally:
            self.metrics.in_flight.dec()
            self.metrics.requests.labels(route, str(status)).inc()
            self.metrics.latency.labels(route).observe(time.perf_counter() - start)
