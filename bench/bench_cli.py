"""velmora-huebit extract over a folder of 20 photos, with one and two worker
processes (wall time of the whole command, start-up included)."""

import os
import pathlib
import subprocess
import sys
import tempfile
import time

import cv2

ROOT = pathlib.Path(__file__).resolve().parents[1]
DATA = ROOT / "tests" / "data"


def make_photos(folder: pathlib.Path) -> int:
    """20 distinct photos cut and flipped from the two samples, 200 to 300
    pixels on the longer side, so that the whole benchmark stays short."""
    samples = [cv2.imread(str(DATA / name)) for name in ("coffee.png", "chelsea.png")]
    count = 0
    for sample in samples:
        h, w = sample.shape[:2]
        for i in range(10):
            top, left = (i * 13) % (h // 3), (i * 29) % (w // 3)
            crop = sample[top:top + h // 2 + 20 * (i % 3), left:left + w // 2 + 15 * (i % 4)]
            if i % 2:
                crop = cv2.flip(crop, i % 3 - 1)
            cv2.imwrite(str(folder / f"photo_{count:02d}.png"), crop)
            count += 1
    return count


def run(folder, jobs) -> tuple[float, str]:
    env = dict(os.environ, PYTHONPATH=str(ROOT) + os.pathsep + os.environ.get("PYTHONPATH", ""))
    command = [sys.executable, "-m", "velmora_huebit", "extract", str(folder), "--json", "--jobs", str(jobs)]
    start = time.perf_counter()
    proc = subprocess.run(command, capture_output=True, text=True, env=env, check=True)
    return time.perf_counter() - start, proc.stdout


def main():
    with tempfile.TemporaryDirectory() as tmp:
        folder = pathlib.Path(tmp)
        count = make_photos(folder)
        one, out1 = run(folder, 1)
        two, out2 = run(folder, 2)
        print(f"extract, {count} photos, --jobs 1: {one:6.2f} s")
        print(f"extract, {count} photos, --jobs 2: {two:6.2f} s  ({one / two:.2f}x)")
        if out1 != out2:
            print("results of --jobs 1 and --jobs 2 differ")
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
