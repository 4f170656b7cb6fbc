"""The palette service: an HTTP API and a drop-a-photo page over the same
layers as the command line (``velmora-huebit serve``; needs the service
extra). A door like cli: the library never imports it.

    POST /v1/palette   an image (raw body or multipart) -> palette() records, or a palette file
    POST /v1/match     an image and targets -> the command line's match answer
    GET  /healthz, /metrics (Prometheus), /openapi.json, /docs, / (the page)

Stateless: every answer depends on the request alone, so it scales by
running more processes behind any load balancer.

- settings: what a server is configured with (limits, token, CORS)
- limits: the body read under its size limit and the budget of bytes held
  by all requests, the gate that bounds the analyses at once and those
  waiting, the process's memory ceiling, the refusals
- work: one photo's analysis, run in the thread pool (off the event loop)
- metrics: the Prometheus counters, gauges and histogram, and the
  middleware that feeds them
- openapi: the API's description and its docs page
- app: the Starlette application (routes, errors as one JSON line)
- server: uvicorn with the connection limits
- page.html: the drop-a-photo page, self-contained
"""
