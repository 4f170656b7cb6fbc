"""velmora-huebit extract over a folder of 20 photos, two of them 12-megapixel
camera-size JPEGs: the default settings against full resolution (--max-side
0), each with one and two worker processes. Wall time of the whole command,
start-up included, and the palette fidelity of the results (see
bench_fidelity.py: mean delta E to the nearest palette colour, and the share
error, over every pixel of each photo at full size)."""

import json
import os
import pathlib
import subprocess
import sys
import tempfile
import time

import cv2
import numpy as np

import velmora_huebit

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from bench_fidelity import measure  # noqa: E402

DATA = pathlib.Path(__file__).resolve().parents[1] / "tests" / "data"
# the command runs the build this process imports (installed, or in place)
PACKAGE_PARENT = pathlib.Path(velmora_huebit.__file__).resolve().parents[1]


def make_photos(folder: pathlib.Path) -> int:
    """20 distinct photos from the two samples: each at full size in four
    orientations, six crops of each flipped one way or another, and two of
    the crops enlarged to 4240 x 2832 (12 megapixels) and saved as JPEG."""
    count = 0
    for name in ("coffee.png", "chelsea.png"):
        sample = cv2.imread(str(DATA / name))
        h, w = sample.shape[:2]
        variants = [sample, cv2.flip(sample, 0), cv2.flip(sample, 1), cv2.flip(sample, -1)]
        for i in range(6):
            top, left = (i * 17) % (h // 3), (i * 31) % (w // 3)
            crop = sample[top:top + h // 2 + 25 * i, left:left + w // 2 + 20 * i]
            variants.append(cv2.flip(crop, i % 3 - 1))
        for i, image in enumerate(variants):
            if i == 9:
                image = cv2.resize(image, (4240, 2832), interpolation=cv2.INTER_CUBIC)
                cv2.imwrite(str(folder / f"photo_{count:02d}.jpg"), image, [cv2.IMWRITE_JPEG_QUALITY, 92])
            else:
                cv2.imwrite(str(folder / f"photo_{count:02d}.png"), image)
            count += 1
    return count


def run(folder, *options) -> tuple[float, str]:
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_PARENT))
    command = [sys.executable, "-m", "velmora_huebit", "extract", str(folder), "--json", *options]
    start = time.perf_counter()
    proc = subprocess.run(command, capture_output=True, text=True, env=env, cwd=PACKAGE_PARENT, check=True)
    return time.perf_counter() - start, proc.stdout


def fidelity(output: str) -> tuple[float, float, float]:
    fidelities, errors = [], []
    for line in output.splitlines():
        record = json.loads(line)
        colors = [{"color": tuple(c["rgb"]), "percentage": c["percentage"]} for c in record["colors"]]
        value, share_errors = measure(cv2.imread(record["file"]), colors)
        fidelities.append(value)
        errors.extend(share_errors)
    return float(np.mean(fidelities)), float(np.mean(errors)), max(errors)


def main():
    status = 0
    with tempfile.TemporaryDirectory() as tmp:
        folder = pathlib.Path(tmp)
        count = make_photos(folder)
        print(f"extract, {count} photos (2 of 12 MP); fidelity: delta E, share error mean/worst")
        for label, options in (("default", ()), ("--max-side 0", ("--max-side", "0"))):
            one, out1 = run(folder, "--jobs", "1", *options)
            two, out2 = run(folder, "--jobs", "2", *options)
            value, share, worst = fidelity(out1)
            print(f"{label:>13}: --jobs 1 {one:6.2f} s, --jobs 2 {two:6.2f} s ({one / two:.2f}x); "
                  f"fidelity {value:.2f}, share error {share:.2f} / {worst:.2f}", flush=True)
            if out1 != out2:
                print("results of --jobs 1 and --jobs 2 differ")
                status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
