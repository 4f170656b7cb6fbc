"""--report: what it costs a run, and whether a big one stays usable.

1. extract over 60 photos with --json, with and without --report,
   interleaved (wall time of the whole command, two rounds each).
2. The report writer alone, fed 100, 1,000 and 10,000 photos (240-pixel
   JPEG thumbnails, five colours each) in a child process: time, peak memory
   (ru_maxrss), and the size of the page and of its thumbnail folder.
3. Each page in headless Chromium: time to the load event, to the first
   screen's pictures, and to a sort of every card by its nearest colour
   (CIEDE2000 in the page); for 10,000, to a jump to the last card with its
   picture, and a screenshot of the first screen in
   out/report/bench-10000.png."""

import os
import pathlib
import subprocess
import sys
import tempfile
import time

import cv2

import velmora_huebit

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools"))
from browser import IMAGES_LOADED, Browser, find_chromium  # noqa: E402

COUNTS = (100, 1_000, 10_000)
PACKAGE_PARENT = pathlib.Path(velmora_huebit.__file__).resolve().parents[1]
DATA = ROOT / "tests" / "data"

WRITER = """
import resource, sys, time, cv2
from velmora_huebit.outputs.report import Report
from velmora_huebit.analysis.job import Job, Outcome
count, page, sample = int(sys.argv[1]), sys.argv[2], sys.argv[3]
image = cv2.imread(sample)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
colours = [{"color": (40 * i, 90, 200 - 30 * i), "percentage": p} for i, p in enumerate((40.0, 25.0, 20.0, 10.0, 5.0))]
# the workers make the thumbnails: here a few distinct ones go round
thumbs = [cv2.imencode(".jpg", cv2.resize(image[i:, 2 * i:], (240, 160), interpolation=cv2.INTER_AREA),
                       [cv2.IMWRITE_JPEG_QUALITY, 82])[1].tobytes() for i in range(40)]
start = time.perf_counter()
with Report(page, Job(command="extract"), {"n_colors": 5}) as report:
    for i in range(count):
        thumb = thumbs[i % len(thumbs)]
        report.emit(f"/photos/shoot {i // 500}/IMG_{i:05d}.jpg",
                    Outcome(result=colours, size=(240, 160), full_size=(4000, 2667), thumbnail=thumb))
        if i % 7 == 0:
            report.failure(f"/photos/broken {i}.jpg", "cannot read the image (not an image file, or a damaged one)")
print(time.perf_counter() - start, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before,
      resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""


# the sort by nearest colour, as a person picks it, then one frame drawn
SORT_BY_COLOUR = """new Promise(done => {
  const order = document.getElementById("order");
  document.getElementById("near").value = "#2040c0";
  order.value = "near";
  order.dispatchEvent(new Event("input"));
  requestAnimationFrame(() => done(true));
})"""


def make_photos(folder: pathlib.Path, count: int) -> None:
    samples = [cv2.imread(str(DATA / name)) for name in ("coffee.png", "chelsea.png")]
    for i in range(count):
        sample = samples[i % 2]
        h, w = sample.shape[:2]
        crop = sample[(i * 7) % (h // 3):, (i * 11) % (w // 3):]
        cv2.imwrite(str(folder / f"photo_{i:03d}.jpg"), cv2.flip(crop, i % 3 - 1))


def timed_cli(*args) -> float:
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_PARENT))
    start = time.perf_counter()
    subprocess.run([sys.executable, "-m", "velmora_huebit", *map(str, args)], env=env, cwd=PACKAGE_PARENT,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    return time.perf_counter() - start


def folder_size(path: pathlib.Path) -> tuple[int, int]:
    files = list(path.iterdir()) if path.is_dir() else []
    return len(files), sum(f.stat().st_size for f in files)


def main():
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        photos = tmp / "photos"
        photos.mkdir()
        make_photos(photos, 60)
        times = {"--json": [], "--json --report": []}
        for _ in range(2):
            times["--json"].append(timed_cli("extract", photos, "--json"))
            times["--json --report"].append(timed_cli("extract", photos, "--json", "--report", tmp / "run.html"))
        print("extract, 60 photos, wall time per round:")
        for label, values in times.items():
            print(f"  {label:18s} " + "  ".join(f"{v:.1f} s" for v in values))

        print("report writer alone (one failure per 7 photos):")
        env = dict(os.environ, PYTHONPATH=str(PACKAGE_PARENT))
        for count in COUNTS:
            page = tmp / f"big{count}.html"
            out = subprocess.run([sys.executable, "-c", WRITER, str(count), str(page), str(DATA / "coffee.png")],
                                 env=env, capture_output=True, text=True, check=True).stdout.split()
            seconds, grown, peak = float(out[0]), int(out[1]), int(out[2])
            files, size = folder_size(tmp / f"big{count}_files")
            print(f"  {count:6d} photos: {seconds:.1f} s, memory grew {grown / 1024:.0f} MB (peak {peak / 1024:.0f} MB), "
                  f"page {page.stat().st_size / 2**20:.1f} MB, {files} thumbnails {size / 2**20:.0f} MB")

        if find_chromium() is None:
            print("no Chromium: the page is not opened")
            return 0
        with Browser(width=1280, height=900, timeout=300) as browser:
            for count in COUNTS:
                start = time.perf_counter()
                browser.open(tmp / f"big{count}.html")
                loaded = time.perf_counter() - start
                browser.evaluate(IMAGES_LOADED)
                first = time.perf_counter() - start
                cards = browser.evaluate("document.querySelectorAll('article.photo').length")
                start = time.perf_counter()
                browser.evaluate(SORT_BY_COLOUR)
                sort = time.perf_counter() - start
                print(f"{count:,}-photo page in Chromium: {cards} cards, load event {loaded:.2f} s, first screen's "
                      f"pictures {first:.2f} s, sorted by nearest colour {sort:.2f} s")
            browser.evaluate("document.getElementById('order').value = 'run'; "
                             "document.getElementById('order').dispatchEvent(new Event('input'))")
            start = time.perf_counter()
            browser.evaluate("document.querySelector('article.photo:last-of-type').scrollIntoView()")
            last = browser.evaluate("""new Promise(done => { const i = document.querySelector('article.photo:last-of-type img');
                const wait = () => i.complete && i.naturalWidth ? done(i.naturalWidth) : setTimeout(wait, 20); wait(); })""")
            jump = time.perf_counter() - start
            browser.evaluate("scrollTo(0, 0)")
            shot = ROOT / "out" / "report" / "bench-10000.png"
            shot.parent.mkdir(parents=True, exist_ok=True)
            browser.screenshot(shot, full_page=False)
            print(f"  last card's picture ({last} px) {jump:.2f} s after the jump; "
                  f"errors: {browser.errors or 'none'}; screenshot {shot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
