"""The palette service's memory under its worst case, against 127.0.0.1 only:
large photos (49 megapixels) posted at once, two of them, and four with
the body budget full (each padded to 31.5 MB, just under --max-body), at
the default max_side and at full size (max_side=0). Each run is made
against `velmora-huebit serve` (its defaults: a memory ceiling per process)
and against the same application in uvicorn without the ceiling; the
server's peak RSS is sampled every 10 ms.

Goals: with the ceiling, every answer is 200 or a 503 (out of memory, with
Retry-After), the process answers /healthz and a small photo afterwards,
and its peak stays under its ceiling.

    python bench/bench_service_memory.py
"""

import concurrent.futures
import json
import pathlib
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

ROOT = pathlib.Path(__file__).resolve().parents[1]
SIDE = 7000  # 49 megapixels, just under the default pixel limit
PADDED = 33_000_000  # bytes of a padded upload (the default --max-body is 32 MB)
WITHOUT_CEILING = ("import uvicorn; from velmora_huebit.service.app import create_app; "
                   "uvicorn.run(create_app(), host='127.0.0.1', port={port}, log_level='warning')")


def photos(folder: pathlib.Path) -> dict:
    """A smooth 49-megapixel PNG (a few MB) and a noisy JPEG (12 MB)."""
    import cv2
    import numpy as np

    y, x = np.mgrid[0:SIDE, 0:SIDE].astype(np.float32)
    image = np.dstack([x / SIDE * 255, y / SIDE * 255, (x + y) / (2 * SIDE) * 255])
    smooth = image.astype(np.uint8)
    smooth[::7] = (40, 160, 90)
    noisy = np.clip(image + np.random.default_rng(2).normal(0, 12, image.shape), 0, 255).astype(np.uint8)
    made = {"png": folder / "smooth.png", "jpg": folder / "noisy.jpg"}
    cv2.imwrite(str(made["png"]), smooth)
    cv2.imwrite(str(made["jpg"]), noisy, [cv2.IMWRITE_JPEG_QUALITY, 85])
    return made


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def status_field(pid: int, key: str) -> int:
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    return 0


def post(url: str, body: bytes) -> tuple[int, bytes]:
    request = urllib.request.Request(url, data=body, method="POST")
    try:
        with urllib.request.urlopen(request, timeout=300) as answer:
            return answer.status, answer.read()
    except urllib.error.HTTPError as exc:
        return exc.code, exc.read()


def run(ceiling: bool, body: bytes, count: int, query: str) -> dict:
    port = free_port()
    command = ([sys.executable, "-m", "velmora_huebit", "serve", "--port", str(port)] if ceiling else
               [sys.executable, "-c", WITHOUT_CEILING.format(port=port)])
    server = subprocess.Popen(command, stderr=subprocess.DEVNULL, cwd=ROOT)
    base = f"http://127.0.0.1:{port}"
    try:
        deadline = time.monotonic() + 60
        while True:
            try:
                urllib.request.urlopen(base + "/healthz", timeout=1).read()
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)
        with open(f"/proc/{server.pid}/limits") as limits:
            limit = next(line for line in limits if line.startswith("Max data size")).split()[3]
        peak, done = [0], threading.Event()

        def sample():
            while not done.is_set():
                peak[0] = max(peak[0], status_field(server.pid, "VmRSS"))
                time.sleep(0.01)

        sampler = threading.Thread(target=sample)
        sampler.start()
        with concurrent.futures.ThreadPoolExecutor(count) as pool:
            answers = list(pool.map(lambda _: post(base + "/v1/palette" + query, body), range(count)))
        done.set()
        sampler.join()
        small = post(base + "/v1/palette", (ROOT / "tests/data/coffee.png").read_bytes())[0]
        healthy = urllib.request.urlopen(base + "/healthz", timeout=5).status == 200
        return {"ceiling": None if limit == "unlimited" else int(limit), "peak": peak[0],
                "statuses": sorted(status for status, _ in answers), "after": small == 200 and healthy,
                "errors": sorted({json.loads(text)["error"][:60] for status, text in answers if status != 200})}
    finally:
        server.terminate()
        server.wait(30)


def main() -> int:
    failed = []
    with tempfile.TemporaryDirectory() as folder:
        made = photos(pathlib.Path(folder))
        cases = [("2 x 49 MP PNG", made["png"], 2, "", 0), ("2 x 49 MP PNG, full size", made["png"], 2, "?max_side=0", 0),
                 ("2 x 49 MP JPEG, full size", made["jpg"], 2, "?max_side=0", 0),
                 ("4 x 49 MP PNG, bodies 31.5 MB", made["png"], 4, "", PADDED),
                 ("4 x 49 MP JPEG, bodies 31.5 MB", made["jpg"], 4, "", PADDED),
                 ("4 x 49 MP JPEG, bodies 31.5 MB, full size", made["jpg"], 4, "?max_side=0", PADDED)]
        print(f"{'photos at once':<42} {'no ceiling: MB, answers':<28} {'ceiling: MB (of MB), answers'}")
        for title, path, count, query, pad in cases:
            body = path.read_bytes()
            body += bytes(max(0, pad - len(body)))
            before, after = run(False, body, count, query), run(True, body, count, query)
            shown = [f"{r['peak'] / 2**20:.0f}" + (f" ({r['ceiling'] / 2**20:.0f})" if r["ceiling"] else "")
                     + " " + ",".join(map(str, r["statuses"])) for r in (before, after)]
            print(f"{title:<42} {shown[0]:<28} {shown[1]}", flush=True)
            if not after["after"] or set(after["statuses"]) - {200, 503} or not after["ceiling"] \
                    or after["peak"] > after["ceiling"]:
                failed.append(f"{title}: {after}")
    for line in failed:
        print("FAILED", line)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
