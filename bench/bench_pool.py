"""The command line's own machinery on a two-core machine: extract over
folders of small photos (0.2 to 0.5 megapixels, JPEG) with --jobs 1 against
the default (a worker per core) and --jobs 2, interleaved rounds, start-up
counted; photos per second (median), the CPU time of the whole process
tree, and whether every --jobs gives the same records. Then the start-up:
`extract` on one photo against a Python that only imports OpenCV, and what
a second process gains on this machine (the same decodes in two at once)."""

from __future__ import annotations

import os
import pathlib
import resource
import statistics
import subprocess
import sys
import tempfile
import time

import cv2
import numpy as np

import velmora_huebit

HERE = pathlib.Path(__file__).resolve().parent
DATA = HERE.parent / "tests" / "data"
PACKAGE_PARENT = pathlib.Path(velmora_huebit.__file__).resolve().parents[1]
# compiled modules cached as an installed package has them (a first run writes them)
ENV = {key: value for key, value in dict(os.environ, PYTHONPATH=str(PACKAGE_PARENT)).items()
       if key != "PYTHONDONTWRITEBYTECODE"}
SIZES = (4, 16, 40, 160)
ROUNDS = 5


def small_photos(folder: pathlib.Path, count: int) -> None:
    """count distinct JPEGs of 0.2 to 0.5 megapixels from the sample photos,
    resized, flipped and with a little noise."""
    sources = [cv2.imread(str(p)) for p in [DATA / "coffee.png", DATA / "chelsea.png", *sorted(HERE.glob("photos/*.*g"))]]
    rng = np.random.default_rng(count)
    folder.mkdir()
    for i in range(count):
        image = sources[i % len(sources)]
        height, width = image.shape[:2]
        pixels = rng.uniform(0.2, 0.5) * 1e6
        new_width = int((pixels * width / height) ** 0.5)
        image = cv2.resize(image, (new_width, int(pixels / new_width)), interpolation=cv2.INTER_AREA)
        image = cv2.flip(image, i % 3 - 1) if i % 4 else image
        image = np.clip(image.astype(np.int16) + rng.integers(-3, 4, image.shape), 0, 255).astype(np.uint8)
        cv2.imwrite(str(folder / f"p{i:04d}.jpg"), image, [cv2.IMWRITE_JPEG_QUALITY, 90])


def timed(command: list[str]) -> tuple[float, float, str]:
    """(wall seconds, CPU seconds of the process and its children, standard output)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    proc = subprocess.run(command, capture_output=True, text=True, env=ENV, cwd=PACKAGE_PARENT, check=True)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime, proc.stdout


def compare(commands: dict[str, list[str]], rounds: int) -> dict[str, tuple[float, float, set]]:
    """{label: (median wall, median CPU, outputs)}, the commands interleaved,
    each round in an order turned by one (a run right after a one-process
    run measured some 4 % slower here, whichever it was)."""
    walls: dict = {label: [] for label in commands}
    cpus: dict = {label: [] for label in commands}
    outputs: dict = {label: set() for label in commands}
    labels = list(commands)
    for round_ in range(rounds):
        for label in labels[round_ % len(labels):] + labels[:round_ % len(labels)]:
            wall, cpu, out = timed(commands[label])
            walls[label].append(wall)
            cpus[label].append(cpu)
            outputs[label].add(out)
    return {label: (statistics.median(walls[label]), statistics.median(cpus[label]), outputs[label])
            for label in commands}


def _decode_loop(data: bytes) -> float:
    """Seconds for 300 decodes of one small JPEG, on one thread."""
    cv2.setNumThreads(1)
    encoded = np.frombuffer(data, np.uint8)
    start = time.perf_counter()
    for _ in range(300):
        cv2.imdecode(encoded, cv2.IMREAD_COLOR)
    return time.perf_counter() - start


def machine_scaling(photo: pathlib.Path) -> float:
    """How much faster two processes decode than one, on this machine: the
    most a run of decoding photos can gain from a second worker."""
    import multiprocessing

    data = photo.read_bytes()
    alone = _decode_loop(data)
    with multiprocessing.get_context("fork").Pool(2) as pool:
        together = pool.map(_decode_loop, [data, data])
    return 2 * alone / max(together)


def main() -> int:
    status = 0
    extract = [sys.executable, "-m", "velmora_huebit", "extract", "--json"]
    with tempfile.TemporaryDirectory() as tmp:
        print(f"extract over small photos, {ROUNDS} interleaved rounds: photos/s (CPU of the process tree)")
        for count in SIZES:
            folder = pathlib.Path(tmp) / f"small{count}"
            small_photos(folder, count)
            found = compare({"--jobs 1": [*extract, str(folder), "--jobs", "1"],
                             "default": [*extract, str(folder)],
                             "--jobs 2": [*extract, str(folder), "--jobs", "2"]}, ROUNDS)
            one = found["--jobs 1"][0]
            print(f"  {count:4d} photos: " + ", ".join(
                f"{label} {count / wall:6.1f} ({cpu:.2f} s CPU, {one / wall:.2f}x)"
                for label, (wall, cpu, _) in found.items()), flush=True)
            if len(set.union(*(outputs for _, _, outputs in found.values()))) != 1:
                print("  the records differ between --jobs values")
                status = 1
        photo = next((pathlib.Path(tmp) / "small4").iterdir())
        found = compare({"import cv2": [sys.executable, "-c", "import cv2"],
                         "extract": [*extract, str(photo)]}, 3 * ROUNDS)
        (base, base_cpu, _), (ours, ours_cpu, _) = found["import cv2"], found["extract"]
        print(f"start-up: extract of one photo {ours * 1000:.0f} ms ({ours_cpu * 1000:.0f} ms CPU), python -c "
              f"'import cv2' {base * 1000:.0f} ms ({base_cpu * 1000:.0f} ms CPU): {ours / base:.2f}x "
              f"({ours_cpu / base_cpu:.2f}x CPU)")
        print(f"this machine: two processes decode {machine_scaling(photo):.2f}x as fast as one")
    return status


if __name__ == "__main__":
    sys.exit(main())
