"""A bucket of a million photos, as the command line's client sees it: the
listing from a stub page source (S3's list_objects_v2 pages of 1000 keys,
made up in memory: no server holds a million objects here), the run's
tasks as the command line keeps them, and each task through the worker
pool with the photo's own work left out (a stub outcome), so that only the
run's bookkeeping is measured. In a child process per size: the client's
memory growth over its start (peak resident, listing and run), and tasks
per second through the pool, for 10,000 and 1,000,000 keys."""

from __future__ import annotations

import os
import resource
import subprocess
import sys
import time

SIZES = (10_000, 100_000, 1_000_000)


class StubBucket:
    """list_objects_v2 as S3 answers it, for `count` keys under photos/."""

    def __init__(self, count: int):
        self.count = count

    def call_s3(self, method: str, **request):
        assert method == "list_objects_v2"
        start = int(request.get("ContinuationToken", 0))
        end = min(start + request["MaxKeys"], self.count)
        page = {"Contents": [{"Key": f"photos/{i // 1000:04d}-{i:07d}.jpg", "Size": 1 << 20} for i in range(start, end)],
                "IsTruncated": end < self.count}
        if end < self.count:
            page["NextContinuationToken"] = str(end)
        return page


def _peak_mb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def measure(count: int) -> None:
    """Child: listing memory, run memory, tasks per second."""
    from velmora_huebit.analysis.engines import PaletteEngine
    from velmora_huebit.analysis.job import Job, Outcome
    from velmora_huebit.photos import objects
    from velmora_huebit.runs import runners
    from velmora_huebit.runs.tasks import Listing, PhotoTasks

    objects.filesystem = lambda url, options=None: (StubBucket(count), url.split("://", 1)[1])
    runners.run_one = lambda extractor, job, path, chart: Outcome(result=[], size=(1, 1), full_size=(1, 1))
    runners.fetch_ahead = lambda job, path: None
    import cv2  # noqa: F401  (what the command has loaded by then)

    base = _peak_mb()
    start = time.perf_counter()
    tasks = list(PhotoTasks(Listing(("s3://bench/photos/",), storage={}), set()))
    listed = time.perf_counter() - start
    after_listing = _peak_mb()
    job = Job("extract")
    pool = runners.PoolRunner(2, [])
    assert pool.context.get_start_method() == "fork"
    listed_tasks, task_of = runners.numbered(tasks)
    start = time.perf_counter()
    done = sum(1 for index, _ in pool.run(PaletteEngine(5), job, listed_tasks, lambda: None) if task_of(index))
    seconds = time.perf_counter() - start
    assert done == count
    print(len(tasks), listed, after_listing - base, _peak_mb() - base, done / seconds)


def main() -> int:
    print("a bucket listed from a stub page source, tasks through the pool with no photo work:")
    for count in SIZES:
        # one thread, as the command line's process (it sets this): the workers are forked, stubs and all
        env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
        out = subprocess.run([sys.executable, __file__, "--measure", str(count)], capture_output=True, text=True,
                             check=True, env=env).stdout.split()
        listed, seconds, listing, peak, rate = int(out[0]), *map(float, out[1:])
        print(f"  {listed:9,d} keys: listed in {seconds:5.1f} s, client +{listing:6.1f} MB after the listing, "
              f"+{peak:6.1f} MB at the peak of the run; {rate:8.0f} tasks/s through 2 workers", flush=True)
    return 0


if __name__ == "__main__":
    if len(sys.argv) > 2 and sys.argv[1] == "--measure":
        measure(int(sys.argv[2]))
    else:
        sys.exit(main())
