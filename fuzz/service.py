"""Hostile requests for the palette service's API, through Starlette's test
client (no socket: every request reaches the application).

    python fuzz/service.py [--seeds 0,1,2] [--examples 500]

Each request gets a method and path, query parameters of every kind (good
values, odd ones, repeated ones), a body (a photo, a damaged one, a PNG
whose header claims a vast size, random bytes, a multipart body built right
or wrong) and headers (Content-Type, Accept, Authorization). A fine answer
is a 2xx whose JSON or palette file parses, or a 4xx/503 whose body is one
line of JSON {"error": ...}; a 500, another status, a body of another shape,
an exception or a request that takes longer than a minute is a failure.
Exits 0 when nothing failed.
"""

import argparse
import faulthandler
import json
import sys
import warnings

import cv2
import numpy as np
from hypothesis import HealthCheck, Phase, given, seed, settings
from hypothesis import strategies as st

warnings.filterwarnings("ignore", "Using `httpx` with `starlette.testclient`")
from starlette.testclient import TestClient  # noqa: E402

from velmora_huebit.service.app import create_app  # noqa: E402
from velmora_huebit.service.settings import Settings  # noqa: E402

HANG_SECONDS = 60
LIMIT = 1 << 20
TOKEN = "t0ken"


def bodies() -> list[bytes]:
    rng = np.random.default_rng(0)
    image = cv2.resize(rng.integers(0, 256, (5, 7, 3), np.uint8), (70, 50))
    rgba = np.dstack([image, np.where(rng.random((50, 70)) > 0.5, 255, 0).astype(np.uint8)])
    found = [cv2.imencode(ext, data)[1].tobytes() for ext, data in
             [(".png", image), (".jpg", image), (".png", rgba), (".webp", image), (".gif", image)]
             if cv2.haveImageWriter("x" + ext)]
    png = found[0]
    found += [png[:16] + (30000).to_bytes(4, "big") * 2 + png[24:],  # a vast size claimed
              png[: len(png) // 2], b"", b"GIF89a", b"\x89PNG\r\n\x1a\n"]
    return found


ODD = st.one_of(st.text(max_size=12), st.sampled_from(["-1", "0", "1e9", "nan", "true", "01", " 5", "\x00",
                                                       "99999999999999999999", "[1,2]", "{", "{}"]))
GOOD = {
    "colors": st.integers(1, 12).map(str), "max_side": st.integers(0, 300).map(str),
    "names": st.sampled_from(["css", "xkcd", "none"]), "keep_transparent": st.sampled_from(["true", "false"]),
    "format": st.sampled_from(["json", "gpl", "ase", "css", "hex", "png", "svg"]),
    "name": st.text(max_size=20), "threshold": st.floats(0, 100).map(str), "pixels": st.sampled_from(["0", "1"]),
    "targets": st.dictionaries(st.text(max_size=5), st.sampled_from(["#fff", "navy", "1,2,3", "x"]),
                               max_size=3).map(json.dumps),
    "target": st.sampled_from(["cream=#f0cfaf", "navy", "=red", "a=", "bad=1,2"]),
}


def _multipart(draw, data: bytes) -> tuple[bytes, str]:
    boundary = draw(st.sampled_from(["b0undary", "x", ""]))
    parts = []
    for _ in range(draw(st.integers(0, 3))):
        if draw(st.booleans()):
            parts.append(f'Content-Disposition: form-data; name="image"; filename="{draw(st.text(max_size=6))}"'
                         .encode("utf-8", "replace") + b"\r\n\r\n" + data)
        else:
            parts.append(b'Content-Disposition: form-data; name="targets"\r\n\r\n' + draw(GOOD["targets"]).encode())
    body = b"".join(b"--" + boundary.encode() + b"\r\n" + part + b"\r\n" for part in parts)
    if draw(st.booleans()):
        body += b"--" + boundary.encode() + b"--\r\n"
    return body, f"multipart/form-data; boundary={boundary}"


@st.composite
def requests(draw, samples: list[bytes]):
    method, path = draw(st.sampled_from([("POST", "/v1/palette")] * 4 + [("POST", "/v1/match")] * 3 + [
        ("GET", "/v1/palette"), ("GET", "/healthz"), ("GET", "/metrics"), ("GET", "/docs/x.js"),
        ("POST", "/v1/palette/../../etc/passwd"), ("PUT", "/v1/match")]))
    query = []
    for key, good in GOOD.items():
        for _ in range(draw(st.integers(0, 2)) if draw(st.booleans()) else 0):
            query.append((key, draw(ODD if draw(st.integers(0, 5)) == 0 else good)))
    data = draw(st.sampled_from(samples)) if draw(st.integers(0, 4)) else draw(st.binary(max_size=300))
    headers = {}
    if draw(st.integers(0, 3)) == 0:
        data, headers["Content-Type"] = _multipart(draw, data)
    if draw(st.booleans()):
        headers["Accept"] = draw(st.sampled_from(["*/*", "text/css", "image/png, text/x-gimp-palette;q=0.5",
                                                  "application/json", ",,;", "text/x-hex-palette"]))
    if draw(st.integers(0, 5)) == 0:
        headers["Authorization"] = draw(st.sampled_from([f"Bearer {TOKEN}", "Bearer nope", "Basic x", "Bearer"]))
    return method, path, query, data, headers


def fine(response) -> str | None:
    """What is wrong with an answer, or None."""
    status, kind = response.status_code, response.headers.get("content-type", "")
    if status >= 400:
        if status >= 500 and status != 503:
            return f"status {status}"
        if "\n" in response.text.strip() or set(json.loads(response.text)) != {"error"}:
            return "an error that is not one line of JSON"
        return None
    if kind.startswith("application/json"):
        json.loads(response.text)
    elif kind.startswith("image/png"):
        cv2.imdecode(np.frombuffer(response.content, np.uint8), cv2.IMREAD_COLOR).shape  # noqa: B018
    elif not response.content:
        return "an empty answer"
    return None


def run(seeds: list[int], examples: int) -> int:
    failures = 0
    samples = bodies()
    open_client = TestClient(create_app(Settings(max_body=LIMIT, timeout=20)), raise_server_exceptions=False)
    guarded = TestClient(create_app(Settings(max_body=LIMIT, token=TOKEN)), raise_server_exceptions=False)

    @settings(max_examples=examples, deadline=None, database=None, phases=[Phase.generate],
              suppress_health_check=list(HealthCheck))
    @given(requests(samples), st.booleans())
    def check(request, with_token):
        nonlocal failures
        method, path, query, data, headers = request
        faulthandler.dump_traceback_later(HANG_SECONDS, exit=True)
        try:
            client = guarded if with_token else open_client
            response = client.request(method, path, params=query, content=data, headers=headers)
            problem = fine(response)
        except Exception as exc:
            problem = f"{type(exc).__name__}: {exc}"
        finally:
            faulthandler.cancel_dump_traceback_later()
        if problem:
            failures += 1
            print(f"FAILED: {method} {path} {query!r} {headers!r} body {data[:40]!r}...: {problem}")

    with open_client, guarded:
        for number in seeds:
            seed(number)(check)()
    return failures


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", default="0,1,2")
    parser.add_argument("--examples", type=int, default=500)
    args = parser.parse_args()
    failures = run([int(s) for s in args.seeds.split(",")], args.examples)
    print(f"{failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
