"""The palette engine's speed and memory, against the floor of reading.

- clustering: velmora_huebit._engine.find_palette alone on each photo as the
  command line analyses it (256 pixels on the longer side), one thread:
  median of the CPU time over repeats;
- full size (--max-side 0) on camera photos of 12 and 24 megapixels:
  clustering time and the memory it takes beyond the decoded image (peak
  resident memory, measured in a fresh process);
- one photo in process: the command line's whole work for a photo (read,
  decode, shrink, cluster, records) against the decode floor (the reduced
  JPEG decode and the shrink to 256 alone), in interleaved rounds;
- start-up: `velmora-huebit extract PHOTO --json` for one photo, against
  decoding that photo in the same process.

The camera photos are made in a temporary folder (see camera_photos): the
benchmark photos enlarged with a little noise, as a sensor adds it, and
saved as JPEG.

    python bench/bench_engine.py [--rounds 5]
"""

import argparse
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

import cv2
import numpy as np

import velmora_huebit
from velmora_huebit import _engine
from velmora_huebit.analysis.engines import PaletteEngine
from velmora_huebit.runs.work import Job, load_inputs, run_one

ROOT = pathlib.Path(__file__).resolve().parents[1]
PHOTOS = sorted(ROOT.glob("tests/data/*.png")) + sorted(ROOT.glob("bench/photos/*.[jp][pn]g"))
PACKAGE_PARENT = pathlib.Path(velmora_huebit.__file__).resolve().parents[1]
CAMERA = [("astronaut.png", 6000, 4000), ("rocket.jpg", 6000, 4000), ("retina.jpg", 4240, 2832),
          ("chelsea.png", 4240, 2832)]


def camera_photos(folder: pathlib.Path) -> list[pathlib.Path]:
    """Four camera-size JPEGs (two of 24 and two of 12 megapixels): sample
    photos enlarged (cubic), with Gaussian noise of 3 levels, quality 92."""
    made = []
    rng = np.random.default_rng(2024)
    for name, width, height in CAMERA:
        source = next(p for p in PHOTOS if p.name == name)
        big = cv2.resize(cv2.imread(str(source)), (width, height), interpolation=cv2.INTER_CUBIC)
        for top in range(0, height, 512):  # in strips: a few MB at a time
            strip = big[top:top + 512].astype(np.int16) + rng.normal(0, 3, big[top:top + 512].shape).round().astype(np.int16)
            big[top:top + 512] = np.clip(strip, 0, 255)
        path = folder / f"camera_{source.stem}_{width * height // 1_000_000}mp.jpg"
        cv2.imwrite(str(path), big, [cv2.IMWRITE_JPEG_QUALITY, 92])
        made.append(path)
    return made


def cpu_ms(call, repeats: int) -> float:
    times = []
    for _ in range(repeats):
        start = time.process_time()
        call()
        times.append(time.process_time() - start)
    return statistics.median(times) * 1000


def clustering(photos) -> None:
    print("clustering at 256 px, one thread (median CPU ms):")
    for path in photos:
        image, mask, *_ = load_inputs(str(path), Job("extract", max_side=256))
        distinct = len(np.unique(image.reshape(-1, 3), axis=0))
        ms = cpu_ms(lambda: _engine.find_palette(image, 5, mask), 15)
        print(f"  {path.name:32} {image.shape[1]:4}x{image.shape[0]:<4} {distinct:6} colours {ms:6.2f} ms", flush=True)


FULL_SIZE = """
import sys, time
import cv2
from velmora_huebit import _engine

def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(key)) / 1024

image = cv2.imread(sys.argv[1])
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the peak resident memory starts again from here
before = status("VmRSS")
wall, cpu = time.perf_counter(), time.process_time()
_engine.find_palette(image, 5)
wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
print(image.shape[1], image.shape[0], wall, cpu, status("VmHWM") - before)
"""


def full_size(photos) -> None:
    print("--max-side 0, clustering the whole photo (fresh process each):")
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_PARENT))
    for path in photos:
        out = subprocess.run([sys.executable, "-c", FULL_SIZE, str(path)], capture_output=True, text=True,
                             env=env, check=True).stdout.split()
        width, height, wall, cpu, extra = int(out[0]), int(out[1]), *map(float, out[2:])
        print(f"  {path.name:32} {width * height / 1e6:4.1f} MP: {cpu * 1000:5.0f} ms CPU ({wall * 1000:5.0f} ms wall), "
              f"{extra:5.1f} MB beyond the decoded image", flush=True)


def reduction(path: pathlib.Path) -> int:
    """The decode flag of the floor: a JPEG at 1/2, 1/4 or 1/8 of its size
    when that leaves at least 256 pixels."""
    height, width = cv2.imread(str(path)).shape[:2]
    if path.suffix.lower() in (".jpg", ".jpeg"):
        for factor, flag in ((8, cv2.IMREAD_REDUCED_COLOR_8), (4, cv2.IMREAD_REDUCED_COLOR_4),
                             (2, cv2.IMREAD_REDUCED_COLOR_2)):
            if max(height, width) // factor >= 256:
                return flag
    return cv2.IMREAD_COLOR


def floor(path: pathlib.Path, flag: int) -> None:
    """Reading, the reduced decode and the shrink to 256: what any tool pays."""
    with open(path, "rb") as file:
        image = cv2.imdecode(np.frombuffer(file.read(), np.uint8), flag)
    scale = 256 / max(image.shape[:2])
    if scale < 1:
        cv2.resize(image, (max(1, round(image.shape[1] * scale)), max(1, round(image.shape[0] * scale))),
                   interpolation=cv2.INTER_AREA)


def in_process(photos, rounds: int) -> None:
    print(f"one photo in process, against the decode floor ({rounds} interleaved rounds, median wall ms):")
    engine, job = PaletteEngine(5), Job("extract", max_side=256)
    flags = {path: reduction(path) for path in photos}
    ours = {p: [] for p in photos}
    base = {p: [] for p in photos}
    for _ in range(rounds):
        for path in photos:
            start = time.perf_counter()
            floor(path, flags[path])
            base[path].append(time.perf_counter() - start)
            start = time.perf_counter()
            outcome = run_one(engine, job, str(path), None)
            ours[path].append(time.perf_counter() - start)
            assert outcome.error is None, outcome.error
    ratios = []
    for path in photos:
        mine, least = statistics.median(ours[path]) * 1000, statistics.median(base[path]) * 1000
        ratios.append(mine / least)
        print(f"  {path.name:32} {mine:7.1f} ms, floor {least:7.1f} ms: {mine / least:4.2f}x", flush=True)
    total_ours = sum(statistics.median(v) for v in ours.values())
    total_base = sum(statistics.median(v) for v in base.values())
    print(f"  all photos: {total_ours * 1000:.0f} ms against a floor of {total_base * 1000:.0f} ms: "
          f"{total_ours / total_base:.2f}x (per photo {min(ratios):.2f}x to {max(ratios):.2f}x)")


DECODE_ONLY = """
import sys, time
import cv2, numpy as np
from velmora_huebit.photos.reading import decode, read_file
start = time.perf_counter()
photo = decode(read_file(sys.argv[1]), with_alpha=True, max_side=256)
print(time.perf_counter() - start)
"""


def _child(command: list[str], env: dict) -> tuple[float, float, str]:
    """(wall s, CPU s of the process, standard output)."""
    import resource

    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    out = subprocess.run(command, capture_output=True, text=True, env=env, check=True, cwd=PACKAGE_PARENT).stdout
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime, out


def start_up(photo: pathlib.Path, rounds: int) -> None:
    print(f"start-up: extract one photo ({photo.name}), {rounds} interleaved rounds, medians:")
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_PARENT))
    ours, bare, decoded = [], [], []
    for _ in range(rounds):
        ours.append(_child([sys.executable, "-m", "velmora_huebit", "extract", str(photo), "--json"], env)[:2])
        wall, cpu, out = _child([sys.executable, "-c", DECODE_ONLY, str(photo)], env)
        bare.append((wall, cpu))
        decoded.append(float(out))
    (wall, cpu), (bare_wall, bare_cpu) = [tuple(statistics.median(x) for x in zip(*runs)) for runs in (ours, bare)]
    decoding = statistics.median(decoded)
    print(f"  velmora-huebit extract: {wall:.2f} s wall, {cpu:.2f} s CPU; a python process that imports "
          f"OpenCV and decodes it: {bare_wall:.2f} s wall, {bare_cpu:.2f} s CPU, of which the decode "
          f"{decoding:.3f} s; the command beyond decoding: {wall - decoding:.2f} s wall, "
          f"{cpu - bare_cpu:+.2f} s CPU beyond that process")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args(argv if argv is not None else [])
    from velmora_huebit.photos.limits import keep_heap

    keep_heap()  # as the command line's process does
    with tempfile.TemporaryDirectory() as tmp:
        cameras = camera_photos(pathlib.Path(tmp))
        clustering(PHOTOS + cameras)
        full_size(cameras)
        in_process(PHOTOS + cameras, args.rounds)
        start_up(cameras[0], args.rounds)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
