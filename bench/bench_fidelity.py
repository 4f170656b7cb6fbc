"""Palette fidelity of the command line's extraction, by engine and settings.

For each photo: the palette the command line reports (its own reading,
shrinking and settings), then, over every pixel of the photo at full size,
- fidelity: the mean CIE L*a*b* distance (delta E 1976) from each pixel to
  its nearest palette colour (lower is better);
- share error: |reported share - share of pixels nearest that colour|, in
  percentage points, per palette colour (mean and worst over all photos).
The reference line is the optimum: k-means in CIE L*a*b* over all the
full-size pixels (scikit-learn, 20 restarts). Also the time per photo
(reading, shrinking, extraction; one thread, as the command line runs it),
the palette engine's clustering alone (CPU time), and the colour found for
a red logo #e1062b drawn on white.

    python bench/bench_fidelity.py                      # the table
    python bench/bench_fidelity.py --engine library --max-side 0 --preprocess   # one row
    python bench/bench_fidelity.py --large     # shares at the default size, large photos

--large compares, on large photos (bench/large_photos.py), the shares
counted on the shrunk image with those counted as analysis.shares counts
them (a large JPEG: on its own pixels at full size, read with the pass of
the decoder that gives the photo at 1/8), timed in turns, photo by photo.
"""

import argparse
import pathlib
import sys
import time

import cv2
import numpy as np
from threadpoolctl import threadpool_limits

from velmora_huebit.analysis.palette import dominant_colors
from velmora_huebit.cli.arguments import DEFAULT_MAX_SIDE
from velmora_huebit.analysis.engines import make_extractor
from velmora_huebit.runs.work import Job, analyse, load_inputs

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


def optimum(path: pathlib.Path) -> list[dict]:
    """The records of k-means in CIE L*a*b* over every pixel at full size:
    the distinct colours weighted by their pixel counts (the same clusters),
    20 restarts, the centres rounded to 8-bit sRGB."""
    from sklearn.cluster import KMeans

    flat = cv2.imread(str(path)).reshape(-1, 3)
    keys = flat[:, 2].astype(np.uint32) << 16 | flat[:, 1].astype(np.uint32) << 8 | flat[:, 0]
    distinct, counts = np.unique(keys, return_counts=True)
    bgr = np.stack([distinct & 255, distinct >> 8 & 255, distinct >> 16], axis=1).astype(np.uint8)
    fitted = KMeans(5, n_init=20, random_state=0).fit(true_lab(bgr).astype(np.float64), sample_weight=counts)
    pixels = np.bincount(fitted.labels_, weights=counts, minlength=5)
    centres = fitted.cluster_centers_.astype(np.float32).reshape(-1, 1, 3)
    rgb = np.clip(np.round(cv2.cvtColor(centres, cv2.COLOR_LAB2RGB).reshape(-1, 3) * 255), 0, 255)
    return [{"color": tuple(int(v) for v in c), "percentage": round(float(p), 2)}
            for c, p in zip(rgb, pixels / pixels.sum() * 100)]


def reference() -> dict:
    fidelities, errors, start = [], [], time.perf_counter()
    for path in PHOTOS:
        fidelity, share_errors = measure(cv2.imread(str(path)), optimum(path))
        fidelities.append(fidelity)
        errors.extend(share_errors)
    return dict(fidelity=np.mean(fidelities), share_mean=np.mean(errors), share_worst=max(errors),
                per_photo=(time.perf_counter() - start) / len(PHOTOS), cluster=None, logo="-")


def evaluate(engine: str, max_side: int, preprocess: bool, folder: pathlib.Path) -> dict:
    job = Job(command="extract", max_side=max_side, engine=engine)
    extractor = make_extractor(job, dict(n_colors=5, algorithm="kmeans", preprocessing=preprocess,
                                         lab_space=True))
    fidelities, errors, seconds, cluster = [], [], 0.0, 0.0
    with threadpool_limits(1):
        for path in PHOTOS:
            start = time.perf_counter()
            image, mask, _, _, counted = load_inputs(str(path), job)
            colors = analyse(extractor, job, image, mask, counted)
            seconds += time.perf_counter() - start
            if engine == "palette":
                start = time.process_time()
                dominant_colors(image, mask, 5)
                cluster += time.process_time() - start
            fidelity, share_errors = measure(cv2.imread(str(path)), colors)
            fidelities.append(fidelity)
            errors.extend(share_errors)
        logo_path = folder / "logo.png"
        cv2.imwrite(str(logo_path), logo())
        image, mask, _, _, counted = load_inputs(str(logo_path), job)
        red = analyse(extractor, job, image, mask, counted)
    reds = [c["color"] for c in red if c["color"][0] > 150 and c["color"][1] < 100]
    return dict(fidelity=np.mean(fidelities), share_mean=np.mean(errors), share_worst=max(errors),
                per_photo=seconds / len(PHOTOS), cluster=cluster / len(PHOTOS) if engine == "palette" else None,
                logo="#%02x%02x%02x" % reds[0] if reds else "-")


def report(label, max_side, preprocess, row, best=None) -> None:
    side = "-" if max_side is None else "full" if max_side == 0 else str(max_side)
    off = f"{(row['fidelity'] / best - 1) * 100:+5.1f}%" if best else "      "
    cluster = f"{row['cluster'] * 1000:7.2f}" if row["cluster"] is not None else "      -"
    print(f"{label:>9} {side:>5} {'on' if preprocess else 'off':>10} {row['fidelity']:8.3f} {off} "
          f"{row['share_mean']:6.2f} {row['share_worst']:6.2f} {row['per_photo']:8.3f} {cluster}   {row['logo']}",
          flush=True)


def _one_photo(path, job, extractor):
    image, mask, _, _, counted = load_inputs(str(path), job)
    return analyse(extractor, job, image, mask, counted)


def large(rounds: int = 5) -> None:
    """Share error and time per photo on the large photos, with shares counted
    on the shrunk image (COUNT_SIDE 0) and on a larger decode, in turns."""
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
    from large_photos import large_photos

    from velmora_huebit.analysis import shares

    photos = large_photos()
    job = Job(command="extract", max_side=DEFAULT_MAX_SIDE)
    extractor = make_extractor(job, dict(n_colors=5, algorithm="kmeans", preprocessing=False, lab_space=True))
    sides = (0, shares.COUNT_SIDE)
    errors = {side: [] for side in sides}
    seconds = {side: 0.0 for side in sides}
    print(f"{len(photos)} large photos ({photos[0].parent}), {rounds} turns each")
    with threadpool_limits(1):
        cv2.setNumThreads(1)
        for path in photos:
            times = {side: [] for side in sides}
            for _ in range(rounds):
                for side in sides:
                    shares.COUNT_SIDE = side
                    start = time.perf_counter()
                    colors = _one_photo(path, job, extractor)
                    times[side].append(time.perf_counter() - start)
            full = cv2.imread(str(path))
            for side in sides:
                shares.COUNT_SIDE = side
                errors[side].extend(measure(full, _one_photo(path, job, extractor))[1])
                seconds[side] += float(np.median(times[side]))
    shares.COUNT_SIDE = sides[1]
    print(f"{'shares counted on':>26} {'share':>6} {'worst':>6} {'s/photo':>8}")
    for side, label in zip(sides, ("the shrunk image", "the photo's own pixels")):
        print(f"{label:>26} {np.mean(errors[side]):6.2f} {max(errors[side]):6.2f} {seconds[side] / len(photos):8.4f}")
    print(f"time ratio {seconds[sides[1]] / seconds[0]:.3f}")


def main(argv=None):
    import tempfile

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--engine", choices=("palette", "library"), help="one row: this engine")
    parser.add_argument("--max-side", type=int, help="one row: this longer side (0: full size)")
    parser.add_argument("--preprocess", action="store_true", help="one row: lighting normalisation on")
    parser.add_argument("--large", action="store_true", help="shares at the default size on large photos")
    args = parser.parse_args(argv if argv is not None else [])
    if args.large:
        large()
        return 0
    if args.engine or args.max_side is not None or args.preprocess:
        side = DEFAULT_MAX_SIDE if args.max_side is None else args.max_side
        grid = [(args.engine or "palette", side, args.preprocess)]
    else:
        grid = ([("palette", side, False) for side in (128, DEFAULT_MAX_SIDE, 512, 0)]
                + [("library", DEFAULT_MAX_SIDE, False), ("library", 0, False), ("library", DEFAULT_MAX_SIDE, True)])
    print(f"{len(PHOTOS)} photos: {', '.join(p.name for p in PHOTOS)}")
    print(f"{'engine':>9} {'side':>5} {'preprocess':>10} {'delta E':>8} {'vs opt':>6} {'share':>6} {'worst':>6} "
          f"{'s/photo':>8} {'ms/clus':>7}   logo #e1062b")
    optimal = reference()
    report("optimum", None, False, optimal)
    best = optimal["fidelity"]
    with tempfile.TemporaryDirectory() as tmp:
        for engine, max_side, preprocess in grid:
            report(engine, max_side, preprocess, evaluate(engine, max_side, preprocess, pathlib.Path(tmp)), best)
    if not (args.engine or args.max_side is not None or args.preprocess):
        large()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
