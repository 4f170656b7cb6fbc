"""velmora_huebit.distributed on a local Dask cluster: photos per second on
40 photos with one and with two worker processes (cluster start-up not
counted), and the client's peak memory while 10,000 and 100,000 paths go
through the bounded window. Those paths name no files, so their tasks fail
at once: the figure is the client's cost per path, which must not grow. A
local cluster's scheduler runs in the client's process, so its bookkeeping
(bounded logs and caches, filled over the first 100,000 tasks or so) counts
here too."""

import pathlib
import resource
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from bench_cli import make_photos  # noqa: E402


def cluster(workers):
    from distributed import Client

    from velmora_huebit.runs.dask_runner import local_cluster

    local = local_cluster(workers)
    return local, Client(local)


def throughput(paths, workers):
    from velmora_huebit import ColorExtractor
    from velmora_huebit.distributed import analyse_photos

    local, client = cluster(workers)
    with local, client:
        start = time.perf_counter()
        results = dict(analyse_photos(paths, ColorExtractor(), client))
        return len(paths) / (time.perf_counter() - start), results


def listing(count):
    """In a child process: the peak memory of a client taking `count` paths."""
    from velmora_huebit import ColorExtractor
    from velmora_huebit.distributed import analyse_photos

    local, client = cluster(2)
    with local, client:
        started = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        paths = (f"/no/such/folder/{i:07d}.png" for i in range(count))
        done = sum(1 for _ in analyse_photos(paths, ColorExtractor(), client, return_exceptions=True))
        assert done == count
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(started // 1024, peak // 1024)


def main():
    with tempfile.TemporaryDirectory() as tmp:
        folder = pathlib.Path(tmp)
        for half in ("a", "b"):
            (folder / half).mkdir()
            make_photos(folder / half)
        paths = sorted(str(path) for path in folder.glob("*/*.png"))
        one, results_one = throughput(paths, 1)
        two, results_two = throughput(paths, 2)
    print(f"analyse_photos, {len(paths)} photos, 1 worker:  {one:5.2f} photos/s")
    print(f"analyse_photos, {len(paths)} photos, 2 workers: {two:5.2f} photos/s  ({two / one:.2f}x)")
    if results_one != results_two:
        print("results of 1 and 2 workers differ")
        return 1
    for count in (10_000, 100_000):
        child = subprocess.run([sys.executable, __file__, "--listing", str(count)], check=True,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        started, peak = child.stdout.split()
        print(f"client memory, {count:7,d} paths: {started} MB with the cluster started, peak {peak} MB")
    return 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["--listing"]:
        listing(int(sys.argv[2]))
    else:
        sys.exit(main())
