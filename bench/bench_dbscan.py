"""DBSCAN on camera-sized photos: time and peak memory of extract_colors.

Every measurement runs in a fresh process, so its peak resident memory
(ru_maxrss) is that of a whole process that reads the photo from a file and
extracts its colours. Times are of one extract_colors call on the photo's
path, after a first call on a 32 x 32 copy has set up OpenCV and
scikit-learn. The photos are the two samples enlarged with cv2.resize.

- 512 x 512: DBSCAN against k-means on the same photo, side by side, in both
  feature spaces (goals: at most 0.4 GB, at most 3 times k-means' time).
- 192 x 192: the native engine against the library path (a module global
  replaced by a plain subclass of DBSCAN makes the module call scikit-learn);
  both must give the same records (goal: at least 50 times faster). The
  library's processes are limited to 8 GB of address space.
- 4000 x 3000 (12 megapixels): goal at most 2 GB; --large adds 6000 x 4000.

    python bench/bench_dbscan.py [--repeat N] [--large]
"""

import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile

import cv2

import velmora_huebit

DATA = pathlib.Path(__file__).resolve().parents[1] / "tests" / "data"
# the children run the build this process imports (installed, or in place)
PACKAGE_PARENT = pathlib.Path(velmora_huebit.__file__).resolve().parents[1]
PHOTOS = ("coffee", "chelsea")

CHILD = """
import json, resource, sys, time
import cv2
settings = json.loads(sys.argv[1])
if settings["limit"]:
    resource.setrlimit(resource.RLIMIT_AS, (settings["limit"], settings["limit"]))
import velmora_huebit.color_extractor_cy as ce
if settings["library"]:
    ce.DBSCAN = type("DBSCAN", (ce.DBSCAN,), {})

class Timed(ce.ColorExtractor):
    # times the clustering step inside extract_colors
    def _cluster_colors_dbscan(self, pixels):
        start = time.perf_counter()
        result = super()._cluster_colors_dbscan(pixels)
        self.clustering = time.perf_counter() - start
        return result

extractor = Timed(algorithm=settings["algorithm"], lab_space=settings["lab_space"])
# first calls into OpenCV and scikit-learn set themselves up: not timed
extractor.extract_colors(cv2.resize(cv2.imread(settings["path"]), (32, 32)))
extractor.clustering = 0.0
start = time.perf_counter()
records = extractor.extract_colors(settings["path"])
seconds = time.perf_counter() - start
print(json.dumps({"seconds": seconds, "clustering": extractor.clustering, "records": records,
                  "kib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss}))
"""


def measure(path, algorithm="dbscan", lab_space=True, library=False, limit=0):
    settings = dict(path=str(path), algorithm=algorithm, lab_space=lab_space, library=library,
                    limit=limit)
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_PARENT))
    proc = subprocess.run([sys.executable, "-c", CHILD, json.dumps(settings)], capture_output=True,
                          text=True, env=env, cwd=PACKAGE_PARENT)
    if proc.returncode:
        raise RuntimeError(f"{algorithm} on {path.name} failed:\n{proc.stderr[-2000:]}")
    return json.loads(proc.stdout)


def enlarged(folder, name, width, height):
    path = folder / f"{name}_{width}x{height}.png"
    if not path.exists():
        image = cv2.imread(str(DATA / f"{name}.png"))
        cv2.imwrite(str(path), cv2.resize(image, (width, height), interpolation=cv2.INTER_CUBIC))
    return path


def gb(kib):
    return kib / (1 << 20)


def verdict(ok):
    return "goal met" if ok else "GOAL MISSED"


def against_kmeans(folder, repeat):
    print(f"512 x 512, extract_colors, median of {repeat} runs each (alternating), peak memory the largest")
    for name in PHOTOS:
        path = enlarged(folder, name, 512, 512)
        for lab_space in (True, False):
            runs = {"dbscan": [], "kmeans": []}
            for i in range(repeat):
                order = ["dbscan", "kmeans"] if i % 2 == 0 else ["kmeans", "dbscan"]
                for algorithm in order:
                    runs[algorithm].append(measure(path, algorithm, lab_space))
            dbscan = statistics.median(r["seconds"] for r in runs["dbscan"])
            kmeans = statistics.median(r["seconds"] for r in runs["kmeans"])
            peak = max(gb(r["kib"]) for r in runs["dbscan"])
            space = "L*a*b*" if lab_space else "RGB"
            print(f"  {name:8} {space:6} dbscan {dbscan:6.3f} s, {peak:5.2f} GB | kmeans {kmeans:6.3f} s"
                  f" | ratio {dbscan / kmeans:5.2f}  {verdict(peak <= 0.4 and dbscan <= 3 * kmeans)}")


def against_library(folder):
    print("192 x 192, extract_colors(algorithm='dbscan'): native engine against the library path")
    status = 0
    for name in PHOTOS:
        path = enlarged(folder, name, 192, 192)
        for lab_space in (True, False):
            engine = measure(path, lab_space=lab_space)
            library = measure(path, lab_space=lab_space, library=True, limit=8 << 30)
            same = engine["records"] == library["records"]
            status |= not same
            speedup = library["seconds"] / engine["seconds"]
            step = library["clustering"] / engine["clustering"]
            space = "L*a*b*" if lab_space else "RGB"
            print(f"  {name:8} {space:6} engine {engine['seconds']:6.3f} s, {gb(engine['kib']):5.2f} GB"
                  f" | library {library['seconds']:6.2f} s, {gb(library['kib']):5.2f} GB"
                  f" | {speedup:5.0f}x (clustering step {step:5.0f}x),"
                  f" {'same records' if same else 'RECORDS DIFFER'}  {verdict(same and speedup >= 50)}")
    return status


def large_photos(folder, sizes):
    for width, height in sizes:
        megapixels = width * height / 1e6
        goal = 2.0 if megapixels <= 12 else None
        print(f"{width} x {height} ({megapixels:.0f} megapixels), extract_colors(algorithm='dbscan')")
        for name in PHOTOS:
            path = enlarged(folder, name, width, height)
            for lab_space in (True, False):
                result = measure(path, lab_space=lab_space)
                peak = gb(result["kib"])
                space = "L*a*b*" if lab_space else "RGB"
                note = verdict(peak <= goal) if goal else "completes"
                print(f"  {name:8} {space:6} {result['seconds']:6.2f} s, {peak:5.2f} GB  {note}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3, help="runs of each at 512 x 512 (default 3)")
    parser.add_argument("--large", action="store_true", help="also 6000 x 4000 (24 megapixels)")
    args = parser.parse_args(argv if argv is not None else [])
    sizes = [(4000, 3000)] + ([(6000, 4000)] if args.large else [])
    with tempfile.TemporaryDirectory() as tmp:
        folder = pathlib.Path(tmp)
        against_kmeans(folder, args.repeat)
        status = against_library(folder)
        large_photos(folder, sizes)
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
