"""velmora-huebit extract over a folder of 20 photos, with one and two worker
processes (wall time of the whole command, start-up included)."""

import os
import pathlib
import subprocess
import sys
import tempfile
import time

import cv2

import velmora_huebit

DATA = pathlib.Path(__file__).resolve().parents[1] / "tests" / "data"
# the command runs the build this process imports (installed, or in place)
PACKAGE_PARENT = pathlib.Path(velmora_huebit.__file__).resolve().parents[1]


def make_photos(folder: pathlib.Path) -> int:
    """20 distinct photos from the two samples: each at full size in four
    orientations, and six crops of each flipped one way or another."""
    count = 0
    for name in ("coffee.png", "chelsea.png"):
        sample = cv2.imread(str(DATA / name))
        h, w = sample.shape[:2]
        variants = [sample, cv2.flip(sample, 0), cv2.flip(sample, 1), cv2.flip(sample, -1)]
        for i in range(6):
            top, left = (i * 17) % (h // 3), (i * 31) % (w // 3)
            crop = sample[top:top + h // 2 + 25 * i, left:left + w // 2 + 20 * i]
            variants.append(cv2.flip(crop, i % 3 - 1))
        for image in variants:
            cv2.imwrite(str(folder / f"photo_{count:02d}.png"), image)
            count += 1
    return count


def run(folder, jobs) -> tuple[float, str]:
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_PARENT))
    command = [sys.executable, "-m", "velmora_huebit", "extract", str(folder), "--json", "--jobs", str(jobs)]
    start = time.perf_counter()
    proc = subprocess.run(command, capture_output=True, text=True, env=env, cwd=PACKAGE_PARENT, check=True)
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
