"""extract_colors on a full-size photo, against the same library calls written
plainly in Python (tests/reference.py), in one process.

Runs alternate between the two (ABBA order, so drift in machine load hits both
alike); the report gives best and median of each and the ratio module/plain.
The module adds only the glue between the library calls, so the ratio should
stay within noise of 1 (goal: at most 1.02).

k-means dominates the time. Its OpenMP threads make run times swing widely
when other work shares the cores, so by default the native thread pools are
limited to one thread (both sides alike); --threads 0 leaves them alone.

    python bench/bench_pipeline.py [--repeat N] [--threads N] [--photo PATH]
"""

import argparse
import pathlib
import statistics
import sys
import time

import cv2
from threadpoolctl import threadpool_limits

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

from reference import Reference  # noqa: E402

from velmora_huebit.color_extractor_cy import ColorExtractor  # noqa: E402


def timed(fn, image):
    start = time.perf_counter()
    result = fn(image)
    return time.perf_counter() - start, result


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=12, help="timed runs of each (default 12)")
    parser.add_argument("--threads", type=int, default=1, help="native threads, 0: unlimited (default 1)")
    parser.add_argument("--photo", default=str(ROOT / "tests" / "data" / "coffee.png"))
    args = parser.parse_args(argv if argv is not None else [])

    image = cv2.imread(args.photo)
    if image is None:
        print(f"cannot read {args.photo}")
        return 1
    if args.threads:
        with threadpool_limits(limits=args.threads):
            return run(image, args)
    return run(image, args)


def run(image, args):
    module = ColorExtractor().extract_colors
    plain = Reference().extract_colors

    # warm-up run of each, which also checks that both give the same records
    _, got = timed(module, image)
    _, want = timed(plain, image)
    if got != want:
        print("results differ:\n  module:", got, "\n  plain: ", want)
        return 1

    times = {"module": [], "plain": []}
    for i in range(args.repeat):
        order = [("module", module), ("plain", plain)]
        if i % 2:
            order.reverse()
        for name, fn in order:
            seconds, result = timed(fn, image)
            if result != want:
                print(f"{name} result changed between runs: {result}")
                return 1
            times[name].append(seconds)

    h, w = image.shape[:2]
    threads = args.threads or "unlimited"
    print(f"extract_colors, {pathlib.Path(args.photo).name} {w}x{h}, {args.repeat} runs each, "
          f"threads {threads}, equal results")
    for name, values in times.items():
        print(f"  {name:6}  best {min(values):7.3f} s   median {statistics.median(values):7.3f} s")
    best = min(times["module"]) / min(times["plain"])
    median = statistics.median(times["module"]) / statistics.median(times["plain"])
    print(f"  ratio module/plain: best {best:.3f}, median {median:.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
