"""Palette fidelity of the command line's extraction, by settings.

For each photo: the palette the command line reports (its own reading,
shrinking and settings), then, over every pixel of the photo at full size,
- fidelity: the mean CIE L*a*b* distance (delta E 1976) from each pixel to
  its nearest palette colour (lower is better);
- share error: |reported share - share of pixels nearest that colour|, in
  percentage points, per palette colour (mean and worst over all photos).
Also the time per photo (reading, shrinking, extraction; k-means on one
thread, as the command line runs it) and the colour found for a red logo
#e1062b drawn on white.

    python bench/bench_fidelity.py                     # the table of settings
    python bench/bench_fidelity.py --max-side 0 --preprocess   # one setting
"""

import argparse
import pathlib
import sys
import time

import cv2
import numpy as np
from threadpoolctl import threadpool_limits

from velmora_huebit import ColorExtractor
from velmora_huebit.cli.arguments import DEFAULT_MAX_SIDE
from velmora_huebit.cli.work import Job, analyse, load_inputs

ROOT = pathlib.Path(__file__).resolve().parents[1]
PHOTOS = sorted(ROOT.glob("tests/data/*.png")) + sorted(ROOT.glob("bench/photos/*.[jp][pn]g"))


def true_lab(bgr):
    """CIE L*a*b* (L 0-100) of 8-bit BGR pixels, as float32 rows."""
    return cv2.cvtColor(bgr.reshape(-1, 1, 3).astype(np.float32) / 255, cv2.COLOR_BGR2LAB).reshape(-1, 3)


def measure(image, colors) -> tuple[float, list[float]]:
    """(mean delta E to the nearest palette colour, share error per colour)."""
    pixels = true_lab(image)
    palette = true_lab(np.array([c["color"][::-1] for c in colors], np.uint8))
    nearest = np.empty(len(pixels), np.intp)
    best = np.empty(len(pixels), np.float32)
    for start in range(0, len(pixels), 1 << 20):  # in slices: full-size photos are large
        chunk = pixels[start:start + (1 << 20)]
        distances = np.linalg.norm(chunk[:, None, :] - palette[None, :, :], axis=2)
        nearest[start:start + len(chunk)] = distances.argmin(axis=1)
        best[start:start + len(chunk)] = distances.min(axis=1)
    shares = np.bincount(nearest, minlength=len(colors)) / len(pixels) * 100
    return float(best.mean()), [abs(c["percentage"] - s) for c, s in zip(colors, shares)]


def logo() -> np.ndarray:
    image = np.full((400, 600, 3), 255, np.uint8)
    red = (0x2b, 0x06, 0xe1)
    cv2.circle(image, (300, 200), 120, red, -1, cv2.LINE_AA)
    cv2.putText(image, "VH", (60, 360), cv2.FONT_HERSHEY_SIMPLEX, 4, red, 20, cv2.LINE_AA)
    return image


def evaluate(max_side: int, preprocess: bool, folder: pathlib.Path) -> dict:
    extractor = ColorExtractor(preprocessing=preprocess)
    job = Job(command="extract", max_side=max_side)
    fidelities, errors, seconds = [], [], 0.0
    with threadpool_limits(1, user_api="openmp"):
        for path in PHOTOS:
            start = time.perf_counter()
            image, mask, _, _ = load_inputs(str(path), job)
            colors = analyse(extractor, job, image, mask)
            seconds += time.perf_counter() - start
            fidelity, share_errors = measure(cv2.imread(str(path)), colors)
            fidelities.append(fidelity)
            errors.extend(share_errors)
        logo_path = folder / "logo.png"
        cv2.imwrite(str(logo_path), logo())
        image, mask, _, _ = load_inputs(str(logo_path), job)
        red = analyse(extractor, job, image, mask)
    reds = [c["color"] for c in red if c["color"][0] > 150 and c["color"][1] < 100]
    return dict(fidelity=np.mean(fidelities), share_mean=np.mean(errors), share_worst=max(errors),
                per_photo=seconds / len(PHOTOS), logo="#%02x%02x%02x" % reds[0] if reds else "-")


def report(max_side, preprocess, row) -> None:
    side = "full" if max_side == 0 else str(max_side)
    print(f"{side:>6} {'on' if preprocess else 'off':>10} {row['fidelity']:9.2f} "
          f"{row['share_mean']:8.2f} {row['share_worst']:8.2f} {row['per_photo']:9.3f}   {row['logo']}",
          flush=True)


def main(argv=None):
    import tempfile

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--max-side", type=int, help="one setting: this longer side (0: full size)")
    parser.add_argument("--preprocess", action="store_true", help="one setting: lighting normalisation on")
    args = parser.parse_args(argv if argv is not None else [])
    if args.max_side is not None:
        grid = [(args.max_side, args.preprocess)]
    else:
        grid = [(0, True), (0, False)] + [(side, False) for side in (128, 192, DEFAULT_MAX_SIDE, 384, 512)
                                          if side != 0] + [(DEFAULT_MAX_SIDE, True)]
        grid = list(dict.fromkeys(grid))
    print(f"{len(PHOTOS)} photos: {', '.join(p.name for p in PHOTOS)}")
    print(f"{'side':>6} {'preprocess':>10} {'delta E':>9} {'share':>8} {'worst':>8} {'s/photo':>9}   logo #e1062b")
    with tempfile.TemporaryDirectory() as tmp:
        for max_side, preprocess in grid:
            report(max_side, preprocess, evaluate(max_side, preprocess, pathlib.Path(tmp)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
