"""velmora-huebit extract against Pylette's command line, the tool people
would pick instead, over one folder of ordinary and camera photos.

The folder: the six benchmark photos, six phone-size JPEGs (the same photos
enlarged to 2000 pixels, with a little noise) and four camera JPEGs of 12
and 24 megapixels (bench_engine.camera_photos). In each of the interleaved
rounds: `velmora-huebit extract FOLDER --json` with --jobs 1 and with the
default (a worker per core), then `pylette PHOTOS... --mode KMeans
--palette-size 5` (its defaults: 256 x 256, a thread per core), each the
whole command from start to end. Then the fidelity of each tool's palettes
(bench_fidelity.measure, over every pixel at full size), and whether our
records are the same on every run, with --jobs 1 and 2, and with --dask.

Pylette lives in an environment of its own, never the project's: give its
command with --pylette or $PYLETTE (default /work/wt/peers-venv/bin/pylette,
made with `python3.12 -m venv DIR && DIR/bin/pip install pylette`); without
it the comparison is skipped.

    python bench/bench_peers.py [--rounds 3] [--pylette PATH] [--no-dask]
"""

import argparse
import json
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import cv2
import numpy as np

import velmora_huebit

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from bench_engine import PHOTOS, camera_photos  # noqa: E402
from bench_fidelity import measure  # noqa: E402

PACKAGE_PARENT = pathlib.Path(velmora_huebit.__file__).resolve().parents[1]
DEFAULT_PYLETTE = "/work/wt/peers-venv/bin/pylette"


def phone_photos(folder: pathlib.Path) -> list[pathlib.Path]:
    made = []
    rng = np.random.default_rng(7)
    for source in PHOTOS:
        image = cv2.imread(str(source))
        scale = 2000 / max(image.shape[:2])
        big = cv2.resize(image, (round(image.shape[1] * scale), round(image.shape[0] * scale)),
                         interpolation=cv2.INTER_CUBIC)
        big = np.clip(big + rng.normal(0, 2, big.shape).round(), 0, 255).astype(np.uint8)
        path = folder / f"phone_{source.stem}.jpg"
        cv2.imwrite(str(path), big, [cv2.IMWRITE_JPEG_QUALITY, 90])
        made.append(path)
    return made


def timed(command: list[str]) -> tuple[float, str]:
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_PARENT))
    start = time.perf_counter()
    proc = subprocess.run(command, capture_output=True, text=True, env=env, cwd=PACKAGE_PARENT)
    elapsed = time.perf_counter() - start
    if proc.returncode != 0:
        raise RuntimeError(f"{command[0]} failed: {proc.stderr[-2000:]}")
    return elapsed, proc.stdout


def ours_fidelity(output: str) -> tuple[float, float]:
    fidelities, errors = [], []
    for line in output.splitlines():
        record = json.loads(line)
        colors = [{"color": tuple(c["rgb"]), "percentage": c["percentage"]} for c in record["colors"]]
        value, share_errors = measure(cv2.imread(record["file"]), colors)
        fidelities.append(value)
        errors.extend(share_errors)
    return float(np.mean(fidelities)), float(np.mean(errors))


def pylette_fidelity(path: pathlib.Path) -> tuple[float, float]:
    fidelities, errors = [], []
    for found in json.loads(path.read_text())["palettes"]:
        colors = [{"color": tuple(c["rgb"]), "percentage": c["frequency"] * 100} for c in found["colors"]]
        value, share_errors = measure(cv2.imread(found["metadata"]["image_source"]), colors)
        fidelities.append(value)
        errors.extend(share_errors)
    return float(np.mean(fidelities)), float(np.mean(errors))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--pylette", default=os.environ.get("PYLETTE", DEFAULT_PYLETTE))
    parser.add_argument("--no-dask", action="store_true", help="skip the --dask run")
    args = parser.parse_args(argv if argv is not None else [])
    pylette = shutil.which(args.pylette)
    status = 0
    with tempfile.TemporaryDirectory() as tmp:
        folder = pathlib.Path(tmp) / "photos"
        folder.mkdir()
        for source in PHOTOS:
            shutil.copy(source, folder / source.name)
        photos = sorted(folder.iterdir()) + phone_photos(folder) + camera_photos(folder)
        ours = [sys.executable, "-m", "velmora_huebit", "extract", str(folder), "--json"]
        theirs = [pylette, *map(str, sorted(photos)), "--mode", "KMeans", "--palette-size", "5", "--no-stdout",
                  "--export-json", "--output", str(pathlib.Path(tmp) / "pylette.json")] if pylette else None
        print(f"extract over {len(photos)} photos (6 ordinary, 6 phone-size, 4 of 12-24 MP), "
              f"{args.rounds} interleaved rounds, median wall s:")
        times: dict[str, list[float]] = {"--jobs 1": [], "default jobs": [], "pylette": []}
        outputs = set()
        for _ in range(args.rounds):
            seconds, out = timed(ours + ["--jobs", "1"])
            times["--jobs 1"].append(seconds)
            outputs.add(out)
            seconds, out = timed(ours)
            times["default jobs"].append(seconds)
            outputs.add(out)
            if theirs:
                times["pylette"].append(timed(theirs)[0])
        one, default = statistics.median(times["--jobs 1"]), statistics.median(times["default jobs"])
        print(f"  velmora-huebit --jobs 1 {one:6.2f} s, default {default:6.2f} s", flush=True)
        if theirs:
            peer = statistics.median(times["pylette"])
            print(f"  pylette                {peer:6.2f} s: {peer / one:.1f}x as long as --jobs 1, "
                  f"{peer / default:.1f}x as long as the default")
        else:
            print(f"  pylette: not found at {args.pylette} (give --pylette or $PYLETTE); skipped")
        if not args.no_dask:
            outputs.add(timed(ours + ["--dask", "--jobs", "2"])[1])
        same = len(outputs) == 1
        print(f"  records identical over {args.rounds} runs each of --jobs 1 and 2"
              f"{'' if args.no_dask else ' and --dask'}: {'yes' if same else 'NO'}")
        status |= 0 if same else 1
        fidelity, share = ours_fidelity(next(iter(outputs)))
        print(f"  fidelity: velmora-huebit delta E {fidelity:.2f}, share error {share:.2f}", end="")
        if theirs:
            fidelity, share = pylette_fidelity(pathlib.Path(tmp) / "pylette.json")
            print(f"; pylette delta E {fidelity:.2f}, share error {share:.2f}", end="")
        print()
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
