"""The palette service: the API's answers against palette() and match(),
its limits and its errors through Starlette's test client; a real uvicorn
server for what only a socket shows (health while analysing, clients that
hang up), and the drop-a-photo page clicked through in Chromium."""

import asyncio
import json
import pathlib
import shutil
import socket
import subprocess
import sys
import threading
import time
import warnings

import cv2
import numpy as np
import pytest

pytest.importorskip("starlette")
warnings.filterwarnings("ignore", "Using `httpx` with `starlette.testclient`")  # newer Starlette's note

import httpx  # noqa: E402
import uvicorn  # noqa: E402
from starlette.testclient import TestClient  # noqa: E402

import velmora_huebit  # noqa: E402
from velmora_huebit.analysis.job import Job, Outcome  # noqa: E402
from velmora_huebit.colour.space import hex_code  # noqa: E402
from velmora_huebit.outputs.exports import palette_file  # noqa: E402
from velmora_huebit.service import app as service_app  # noqa: E402
from velmora_huebit.service.app import create_app  # noqa: E402
from velmora_huebit.service.limits import Budget, Gate, Refused  # noqa: E402
from velmora_huebit.service.settings import Settings  # noqa: E402

LIMIT = 2 << 20  # bytes of a body in these tests


def _encoded(ext: str, image) -> bytes:
    ok, data = cv2.imencode(ext, image)
    assert ok
    return data.tobytes()


@pytest.fixture(scope="module")
def photos(data_dir):
    rng = np.random.default_rng(7)
    rgba = np.dstack([cv2.resize(rng.integers(0, 256, (4, 6, 3), np.uint8), (600, 400)),
                      np.where(np.arange(400)[:, None] < 150, 0, 255).astype(np.uint8).repeat(600, 1)])
    return {"coffee.png": (data_dir / "coffee.png").read_bytes(),
            "chelsea.jpg": _encoded(".jpg", cv2.imread(str(data_dir / "chelsea.png"))),
            "half-clear.png": _encoded(".png", rgba)}


@pytest.fixture(scope="module")
def client():
    # a long time limit: the first pixel match loads scikit-learn, slow on a busy machine
    with TestClient(create_app(Settings(max_body=LIMIT, queue=4, timeout=300))) as test_client:
        yield test_client


def _listed(records):
    return json.loads(json.dumps(records))


def _one_error(response, status):
    assert response.status_code == status, response.text
    assert response.headers["content-type"] == "application/json"
    assert "\n" not in response.text and set(response.json()) == {"error"}
    return response.json()["error"]


class TestAnswers:
    @pytest.mark.parametrize("query, kwargs", [
        ("", {}),
        ("?colors=8&names=xkcd", {"n_colors": 8, "names": "xkcd"}),
        ("?colors=3&max_side=0&names=none&keep_transparent=true",
         {"n_colors": 3, "max_side": 0, "names": None, "keep_transparent": True}),
    ])
    def test_records_are_palettes(self, client, photos, query, kwargs):
        for name, data in photos.items():
            expected = _listed(velmora_huebit.palette(data, **{"n_colors": 5, **kwargs}))
            raw = client.post("/v1/palette" + query, content=data)
            form = client.post("/v1/palette" + query, files={"image": (name, data, "image/png")})
            assert raw.status_code == form.status_code == 200
            assert raw.json()["colors"] == form.json()["colors"] == expected, name

    def test_designer_options_are_palettes_and_the_command_lines(self, client, data_dir):
        from test_cli import json_lines, run_cli

        path = data_dir / "coffee.png"
        [line] = json_lines(run_cli("extract", path, "-n", 8, "--roles", "--json"))
        answer = client.post("/v1/palette?colors=8&roles=true&oklch=true&contrast=true", content=path.read_bytes())
        assert answer.status_code == 200, answer.text
        colours = answer.json()["colors"]
        assert [{key: c[key] for key in ("color", "hex", "percentage", "name", "role") if key in c}
                for c in colours] == _listed(velmora_huebit.palette(path, 8, roles=True))
        assert [{key: c[key] for key in ("hex", "oklch", "text", "text_contrast")} for c in colours] == \
            [{key: c[key] for key in ("hex", "oklch", "text", "text_contrast")} for c in line["colors"]]
        assert answer.json()["readable_pairs"] == line["readable_pairs"]
        assert {c["role"]: c["hex"] for c in colours if "role" in c} == \
            {role: found["hex"] for role, found in line["roles"].items() if found}
        css = client.post("/v1/palette?colors=8&roles=true&format=css", content=path.read_bytes()).text
        assert all(f"--{role.replace('_', '-')}: {found['hex']};" in css for role, found in line["roles"].items() if found)

    def test_match_is_the_command_lines(self, client, photos):
        data = photos["coffee.png"]
        targets = {"cream": "#f0cfaf", "espresso": [51, 22, 18]}
        for query, kwargs in [("", {}), ("?tolerances=1,4,8&min_share=2", {"tolerances": (1, 4, 8), "min_share": 2}),
                              ("?threshold=30", {"threshold": 30}), ("?pixels=true", {"pixels": True})]:
            answer = client.post("/v1/match" + query, files={"image": ("c.png", data)},
                                 data={"targets": json.dumps(targets)})
            assert answer.status_code == 200, answer.text
            for name, record in velmora_huebit.match(data, targets, **kwargs).items():
                got = answer.json()["targets"][name]
                assert got == json.loads(json.dumps(record, default=lambda n: n.item())) | {"target": got["target"]}
        by_query = client.post("/v1/match?target=cream=%23f0cfaf&target=navy", content=data).json()
        assert list(by_query["targets"]) == ["cream", "navy"] and by_query["targets"]["navy"]["target"] == "#000080"

    def test_palette_files_by_format_or_accept(self, client, photos):
        data = photos["coffee.png"]
        records = velmora_huebit.palette(data)
        for fmt, accept in [("gpl", "text/x-gimp-palette"), ("ase", "application/x-adobe-ase"),
                            ("css", "text/css"), ("json", None)]:
            want = palette_file(f"p.{fmt}", Job(command="extract", names="css"),
                                Outcome(result=records, size=(256, 171)), "coffee.png")
            by_format = client.post(f"/v1/palette?format={fmt}&name=coffee.png", content=data)
            assert by_format.content == want
            assert by_format.headers["content-disposition"] == f'attachment; filename="coffee.{fmt}"'
            if accept:
                assert client.post("/v1/palette?name=coffee.png", content=data,
                                   headers={"Accept": accept}).content == want
        assert client.post("/v1/palette", content=data, headers={"Accept": "*/*"}).json()["colors"]


class TestRefusals:
    def test_bad_input_is_one_json_line(self, client, photos):
        good = photos["coffee.png"]
        # a PNG header claiming 20000 x 20000 pixels: refused before decoding
        bomb = good[:16] + (20000).to_bytes(4, "big") * 2 + good[24:64]
        for path, body, status, words in [
            ("/v1/palette", b"not an image at all", 422, "cannot read"),
            ("/v1/palette", b"", 422, "empty"),
            ("/v1/palette", good[: len(good) // 3], 422, "truncated"),
            ("/v1/palette", bomb, 413, "over the limit"),
            ("/v1/palette", b"x" * (LIMIT + 1), 413, "body"),
            ("/v1/palette?colors=0", good, 400, "colors"),
            ("/v1/palette?colors=99999999999999", good, 400, "colors"),
            ("/v1/palette?max_side=-1", good, 400, "max_side"),
            ("/v1/palette?format=exe", good, 400, "format"),
            ("/v1/palette?keep_transparent=maybe", good, 400, "keep_transparent"),
            ("/v1/match", good, 400, "targets"),
            ("/v1/match?targets=[1,2]", good, 400, "targets"),
            ("/v1/match?targets={", good, 400, "targets"),
            ("/v1/match?target=x=notacolour", good, 400, "x"),
            ("/v1/match?target=a=red&threshold=nan", good, 400, "threshold"),
            ("/v1/match?target=a=red&tolerances=5,2,9", good, 400, "rising order"),
            ("/v1/match?target=a=red&pixels=true&min_share=1", good, 400, "ΔE2000"),
        ]:
            assert words in _one_error(client.post(path, content=body), status), path
        assert "multipart" in _one_error(client.post("/v1/palette", content=b"--x\r\n",
                                                     headers={"Content-Type": "multipart/form-data; boundary=x"}),
                                         400)
        fields_only = b'--x\r\nContent-Disposition: form-data; name="a"\r\n\r\nb\r\n--x--\r\n'
        assert "one file" in _one_error(client.post("/v1/palette", content=fields_only, headers={
            "Content-Type": "multipart/form-data; boundary=x"}), 400)
        _one_error(client.get("/etc/passwd"), 404)
        _one_error(client.get("/docs/../../setup.py"), 404)
        _one_error(client.get("/v1/palette"), 405)

    def test_a_declared_length_over_the_limit_is_refused_unread(self, client):
        def endless():
            yield b"x" * LIMIT
            yield b"x"
        assert "body" in _one_error(client.post("/v1/palette", content=endless()), 413)  # chunked
        response = client.post("/v1/palette", content=b"x", headers={"Content-Length": str(LIMIT + 1)})
        assert response.status_code in (400, 413)  # the test client may balk at the lie itself

    def test_token_and_cors(self, photos):
        app = create_app(Settings(token="s3cret", cors=("https://shop.example",)))
        with TestClient(app) as guarded:
            assert _one_error(guarded.post("/v1/palette", content=photos["coffee.png"]), 401)
            assert guarded.post("/v1/palette", content=b"", headers={"Authorization": "Bearer wrong"}).status_code == 401
            ok = guarded.post("/v1/palette", content=photos["coffee.png"],
                              headers={"Authorization": "Bearer s3cret", "Origin": "https://shop.example"})
            assert ok.status_code == 200 and ok.headers["access-control-allow-origin"] == "https://shop.example"
            assert guarded.get("/healthz").status_code == 200  # health needs no token
            other = guarded.post("/v1/palette", content=b"", headers={"Origin": "https://evil.example"})
            assert "access-control-allow-origin" not in other.headers

    def test_cors_is_off_unless_configured(self, client):
        response = client.options("/v1/palette", headers={"Origin": "https://shop.example",
                                                          "Access-Control-Request-Method": "POST"})
        assert "access-control-allow-origin" not in response.headers

    def test_the_gate_bounds_running_and_waiting(self):
        async def scenario():
            gate = Gate(1, 1)
            await gate.enter()
            waiter = asyncio.ensure_future(gate.enter())
            await asyncio.sleep(0)
            with pytest.raises(Refused) as refused:
                await gate.enter()
            assert refused.value.status == 503 and refused.value.headers["Retry-After"] == "1"
            gate.leave()
            await waiter
            assert (gate.running, gate.waiting) == (1, 0)
        asyncio.run(scenario())
        budget = Budget(10)
        budget.take(6)
        with pytest.raises(Refused):
            budget.take(5)
        budget.give(6)
        budget.take(10)

    def test_time_limit_and_metrics(self, photos, monkeypatch):
        release = threading.Event()

        def stuck(*args):
            release.wait(10)
            raise AssertionError("analysed too late")

        monkeypatch.setattr(service_app, "palette_answer", stuck)
        with TestClient(create_app(Settings(timeout=0.2, threads=1))) as slow:
            response = slow.post("/v1/palette", content=photos["coffee.png"])
            assert "longer than 0.2 s" in _one_error(response, 503) and response.headers["retry-after"] == "1"
            metrics = slow.get("/metrics").text
            release.set()
        assert 'velmora_requests_total{route="/v1/palette",status="503"} 1.0' in metrics
        assert 'velmora_photos_refused_total{reason="timeout"} 1.0' in metrics
        assert "velmora_request_seconds_bucket" in metrics and "velmora_analyses_running 1.0" in metrics

    def test_nothing_is_a_500(self, client, monkeypatch):
        monkeypatch.setattr(service_app, "palette_answer", lambda *a: 1 / 0)
        assert _one_error(client.post("/v1/palette", content=b"x"), 500) == "internal error"

    def test_a_process_out_of_memory_fails_the_request_and_goes_on(self, photos, tmp_path):
        """In a process of its own, the ceiling its server sets: an analysis
        that allocates past it is a 503, and the next photo is analysed."""
        (tmp_path / "coffee.png").write_bytes(photos["coffee.png"])
        script = f"""if True:
            import json, os, resource, sys, warnings
            import numpy as np
            warnings.filterwarnings("ignore")
            from starlette.testclient import TestClient
            from velmora_huebit.service import app as service_app
            from velmora_huebit.service.settings import ENVIRONMENT, Settings
            os.environ[ENVIRONMENT] = Settings(threads=1).to_json()
            app = service_app.app_from_environment()
            ceiling = resource.getrlimit(resource.RLIMIT_DATA)[0]
            real = service_app.palette_answer
            service_app.palette_answer = lambda data, opts, pixels: (
                np.ones(ceiling, np.uint8) if opts.colors == 7 else real(data, opts, pixels))
            photo = open({str(tmp_path / "coffee.png")!r}, "rb").read()
            with TestClient(app) as client:
                answers = [client.post(f"/v1/palette?colors={{n}}", content=photo) for n in (7, 5)]
                metrics = client.get("/metrics").text
            print(json.dumps([ceiling, [(a.status_code, a.json()) for a in answers],
                              'reason="memory"}} 1.0' in metrics]))
        """
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stderr
        ceiling, [(status, refusal), (ok, answer)], counted = json.loads(done.stdout)
        # what it holds (about 100 MB), a decode and an analysis, four bodies of 32 MB, room
        assert 500 << 20 < ceiling < 1 << 30 and counted
        assert status == 503 and list(refusal) == ["error"] and refusal["error"].startswith(
            "out of memory: the photos analysed at once take more than the ")
        assert ok == 200 and answer["colors"] == _listed(velmora_huebit.palette(photos["coffee.png"]))

    def test_openapi_and_docs(self, client):
        description = client.get("/openapi.json").json()
        assert set(description["paths"]) >= {"/v1/palette", "/v1/match", "/healthz", "/metrics"}
        assert "SwaggerUIBundle" in client.get("/docs").text
        assert client.get("/docs/swagger-ui-bundle.js").status_code == 200


def test_serve_command_line(monkeypatch, capsys):
    from velmora_huebit.cli import main

    assert main(["serve", "--port", "70000"]) == 2
    assert "a port is 0 to 65535" in capsys.readouterr().err
    monkeypatch.setitem(sys.modules, "velmora_huebit.service.server", None)  # the extra not installed
    assert main(["serve"]) == 2
    assert capsys.readouterr().err.splitlines() == [
        "velmora-huebit serve: error: needs the service extra (velmora_huebit.service.server is missing): "
        "pip install 'velmora_huebit[service]'"]


# ---- a real server: what only a socket shows ---------------------------------------


def _free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.fixture(scope="module")
def server():
    """A uvicorn server on 127.0.0.1 in a thread, for the module."""
    from velmora_huebit.service.server import HEADERS_MAX, KEEP_ALIVE

    app = create_app(Settings(threads=1, timeout=5))
    port = _free_port()
    config = uvicorn.Config(app, host="127.0.0.1", port=port, log_level="error", timeout_keep_alive=KEEP_ALIVE,
                            h11_max_incomplete_event_size=HEADERS_MAX, http="h11")
    running = uvicorn.Server(config)
    thread = threading.Thread(target=running.run, daemon=True)
    thread.start()
    deadline = time.monotonic() + 20
    while not running.started and time.monotonic() < deadline:
        time.sleep(0.02)
    yield f"http://127.0.0.1:{port}"
    running.should_exit = True
    thread.join(10)


def test_health_answers_while_photos_are_analysed_and_clients_hang_up(server, photos, monkeypatch):
    url = server
    started, release = threading.Event(), threading.Event()
    real = service_app.palette_answer

    def slow(*args):
        started.set()
        release.wait(10)
        return real(*args)

    monkeypatch.setattr(service_app, "palette_answer", slow)
    pending = threading.Thread(target=httpx.post, args=(f"{url}/v1/palette",), kwargs={"content": photos["coffee.png"]})
    pending.start()
    assert started.wait(10)
    # a client that sends half its body and hangs up, one that never sends a byte
    host, port = url.removeprefix("http://").split(":")
    cut = socket.create_connection((host, int(port)))
    cut.sendall(b"POST /v1/palette HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\n" + b"x" * 500)
    cut.close()
    idle = socket.create_connection((host, int(port)))
    start = time.perf_counter()
    assert httpx.get(f"{url}/healthz").json() == {"status": "ok"}
    assert time.perf_counter() - start < 1.0  # the one thread is busy; the loop is not
    release.set()
    pending.join(10)
    idle.close()
    assert httpx.post(f"{url}/v1/palette", content=photos["coffee.png"]).status_code == 200


# ---- the page in Chromium --------------------------------------------------------------


@pytest.fixture(scope="module")
def chromium_page():
    """A Playwright page in Debian's Chromium (never a browser Playwright downloads)."""
    sync_api = pytest.importorskip("playwright.sync_api")
    executable = shutil.which("chromium")
    if executable is None:
        pytest.skip("no Chromium (make test installs Debian's chromium with apt-get where it can)")
    with sync_api.sync_playwright() as driver:
        browser = driver.chromium.launch(executable_path=executable, args=["--no-sandbox"])
        context = browser.new_context(accept_downloads=True)
        context.grant_permissions(["clipboard-read", "clipboard-write"])
        yield context.new_page()
        browser.close()


def test_the_page_shows_palettes_copies_and_downloads(server, chromium_page, photos, tmp_path):
    url = server
    page = chromium_page
    errors = []
    page.on("pageerror", lambda exc: errors.append(str(exc)))
    page.goto(url + "/")
    files = []
    for name in ("coffee.png", "chelsea.jpg"):
        (tmp_path / name).write_bytes(photos[name])
        files.append(str(tmp_path / name))
    (tmp_path / "broken.png").write_bytes(b"\x89PNG\r\n\x1a\n broken")
    page.set_input_files("#files", [*files, str(tmp_path / "broken.png")])
    from playwright.sync_api import expect

    expect(page.locator(".card.done, .card.failed")).to_have_count(3)
    card = page.locator(".card", has_text="coffee.png")
    shown = card.locator(".swatch").evaluate_all("nodes => nodes.map(n => n.dataset.hex)")
    assert shown == [hex_code(c["color"]) for c in velmora_huebit.palette(photos["coffee.png"])]
    card.locator(".swatch").first.click()
    expect(card.locator(".status")).to_have_text(f"Copied {shown[0]}")
    assert page.evaluate("navigator.clipboard.readText()") == shown[0]
    with page.expect_download() as download:
        card.locator("button[data-format=gpl]").click()
    assert download.value.suggested_filename == "coffee.gpl"
    assert pathlib.Path(download.value.path()).read_text().startswith("GIMP Palette")
    assert "cannot read" in page.locator(".card.failed").inner_text()
    assert not errors
