"""Photos in a bucket, on moto's S3 server on this machine (its own process):

- photos per second read from the bucket against the same 20 photos on disk
  (bench_cli's, two of them 12-megapixel JPEGs), through analyse_photos and
  velmora_huebit.palette on a local Dask cluster of 1 and 2 workers (cluster
  start-up not counted), disk and bucket interleaved, the best of two
  rounds; then the command line, extract --jobs 1 and 2, start-up counted,
  on those 20 and on 320 photos (with the CPU time the command and the
  server spend), medians of three interleaved rounds;
- the client's memory while 10,000 and 100,000 objects are listed as the
  command line lists them (a page at a time), against s3fs's find(), which
  holds the listing; each in a child process limited to 4 GB of address
  space, its peak resident memory above what it had after the first page;
- a 12-megapixel HEIC photo decoded (bytes per pixel at the peak, time),
  the figure heif.py's pixel limit counts with.

The server is local, so the bucket's figures are a floor on what a real
store costs (no network latency); moto answers a listing page in about
0.7 s, so listing 100,000 objects takes over a minute here. Its server
answers HTTP/1.0 and closes the connection after each answer, where a real
store keeps it open: every GET here pays for a new connection."""

from __future__ import annotations

import io
import os
import pathlib
import resource
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests"))

from bench_cli import make_photos  # noqa: E402

KEYS = ("testing", "testing")
LIMIT = 4 << 30  # address space of each measuring child


def serve(count: int) -> None:
    """Child: moto's server with a bucket of `count` empty objects (put
    straight into its store: a hundred thousand PUTs would take minutes),
    on a free port printed on standard output, until standard input closes."""
    import logging

    from moto.core import DEFAULT_ACCOUNT_ID
    from moto.s3.models import s3_backends
    from moto.server import ThreadedMotoServer

    logging.disable(logging.CRITICAL)
    backend = s3_backends[DEFAULT_ACCOUNT_ID]["global"]
    backend.create_bucket("listing", "us-east-1")
    for i in range(count):
        backend.put_object("listing", f"photos/{i // 1000:03d}/{i:06d}.jpg", b"")
    server = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    print(server.get_host_and_port()[1], flush=True)
    sys.stdin.read()
    server.stop()


def _peak() -> int:
    """Peak resident memory of this process in bytes (VmHWM: unlike
    ru_maxrss, not what the parent had when it forked us)."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmHWM")


def listing(endpoint: str, url: str, how: str) -> None:
    """Child: lists url lazily (as the command line does) or with find();
    prints the objects, the seconds, and the peak memory above the first page."""
    from velmora_huebit.photos.sources import IMAGE_SUFFIXES, iter_photos
    from velmora_huebit.photos.storage import filesystem

    options = {"key": KEYS[0], "secret": KEYS[1], "endpoint_url": endpoint}
    start = time.perf_counter()
    if how == "lazy":
        names = iter_photos([url], True, lambda name, message: print(message, file=sys.stderr), options)
        next(names)
        base = _peak()
        count = 1 + sum(1 for _ in names)
    else:
        fs, path = filesystem(url, options)
        fs.ls("listing", detail=False)  # a page, to start from the same point
        base = _peak()
        found = [name for name in fs.find(path) if os.path.splitext(name)[1] in IMAGE_SUFFIXES]
        count = len(found)
    peak = _peak()
    print(count, time.perf_counter() - start, (peak - base) / 2**20)


def heif_decode(path: str) -> None:
    """Child: decodes a HEIC file; prints the peak bytes per pixel and the seconds."""
    from velmora_huebit.photos import heif

    data = pathlib.Path(path).read_bytes()
    heif._library("HEIF")
    base = _peak()
    start = time.perf_counter()
    decoded = heif.decode(data, with_alpha=True, max_pixels=0)
    seconds = time.perf_counter() - start
    peak = _peak()
    height, width = decoded.image.shape[:2]
    print((peak - base) / (width * height), seconds)


def _limited():
    resource.setrlimit(resource.RLIMIT_AS, (LIMIT, LIMIT))


def child(*args) -> list[str]:
    proc = subprocess.run([sys.executable, __file__, *map(str, args)], check=True, stdout=subprocess.PIPE,
                          text=True, preexec_fn=_limited)
    return proc.stdout.split()


def throughput(paths: dict, workers: int, options: dict) -> tuple[dict, dict]:
    """{source: [photos per second, ...]} and {source: results} of
    analyse_photos over each list of paths in turn, twice."""
    from distributed import Client

    from velmora_huebit import palette
    from velmora_huebit.runs.dask_runner import local_cluster
    from velmora_huebit.distributed import analyse_photos

    rates: dict = {name: [] for name in paths}
    results: dict = {}
    with local_cluster(workers) as cluster, Client(cluster) as client:
        for _ in range(2):
            for name, items in paths.items():
                start = time.perf_counter()
                got = dict(analyse_photos(items, palette, client, storage_options=options if name == "bucket" else None))
                rates[name].append(len(items) / (time.perf_counter() - start))
                results[name] = [got[item] for item in items]
    return rates, results


def cli_rate(argument: str, jobs: int, env: dict) -> tuple[float, float]:
    """(photos per second, CPU seconds of the command's processes)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    proc = subprocess.run([sys.executable, "-m", "velmora_huebit", "extract", argument, "--json", "--jobs", str(jobs)],
                          capture_output=True, text=True, env=env)
    seconds = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if proc.returncode != 0:
        raise RuntimeError(proc.stderr)
    cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
    return len(proc.stdout.splitlines()) / seconds, cpu


MANY = 320  # photos of the longer run
ROUNDS = 3


def cli_rates(folder: str, url: str, jobs: int, env: dict) -> tuple[tuple, tuple]:
    """((photos/s, CPU s) on disk, the same from the bucket): medians of
    ROUNDS interleaved runs."""
    import statistics

    runs = [(cli_rate(folder, jobs, env), cli_rate(url, jobs, env)) for _ in range(ROUNDS)]
    return tuple(tuple(statistics.median(run[side][i] for run in runs) for i in (0, 1)) for side in (0, 1))


def main() -> int:
    import numpy as np
    import psutil
    from PIL import Image

    server = subprocess.Popen([sys.executable, __file__, "--serve", "100000"], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    endpoint = f"http://127.0.0.1:{server.stdout.readline().strip()}"
    options = {"key": KEYS[0], "secret": KEYS[1], "endpoint_url": endpoint}
    try:
        with tempfile.TemporaryDirectory() as tmp:
            folder = pathlib.Path(tmp) / "photos"
            folder.mkdir()
            make_photos(folder)
            from velmora_huebit.photos.storage import filesystem

            fs, _ = filesystem("s3://photos/", options)
            fs.mkdir("photos")
            local = sorted(str(path) for path in folder.iterdir())
            for path in local:
                fs.put_file(path, f"photos/bench/{os.path.basename(path)}")
            urls = [f"s3://photos/bench/{os.path.basename(path)}" for path in local]

            status = 0
            for workers in (1, 2):
                rates, results = throughput({"disk": local, "bucket": urls}, workers, options)
                disk, bucket = max(rates["disk"]), max(rates["bucket"])
                print(f"analyse_photos, {len(local)} photos, {workers} worker{'s' if workers > 1 else ' '}: "
                      f"disk {disk:5.2f} photos/s, bucket {bucket:5.2f} photos/s ({bucket / disk:.2f}x)", flush=True)
                if results["disk"] != results["bucket"]:
                    print("the bucket's results differ from the disk's")
                    status = 1

            # compiled modules cached, as an installed package has them
            env = {**{k: v for k, v in os.environ.items() if k != "PYTHONDONTWRITEBYTECODE"},
                   "AWS_ACCESS_KEY_ID": KEYS[0], "AWS_SECRET_ACCESS_KEY": KEYS[1],
                   "AWS_ENDPOINT_URL": endpoint, "AWS_EC2_METADATA_DISABLED": "true"}
            for jobs in (1, 2):
                disk, bucket = cli_rates(str(folder), "s3://photos/bench/", jobs, env)
                print(f"extract --jobs {jobs}, {len(local)} photos, start-up counted: disk {disk[0]:5.2f} photos/s, "
                      f"bucket {bucket[0]:5.2f} photos/s ({bucket[0] / disk[0]:.2f}x)", flush=True)
            # a longer run: the per-photo costs, and the CPU each side spends
            many = pathlib.Path(tmp) / "many"
            many.mkdir()
            for copy in range(MANY // len(local)):
                for path in local:
                    name = f"{copy}-{os.path.basename(path)}"
                    (many / name).write_bytes(pathlib.Path(path).read_bytes())
                    fs.put_file(str(many / name), f"photos/many/{name}")
            server_cpu = psutil.Process(server.pid)
            for jobs in (1, 2):
                before = sum(server_cpu.cpu_times()[:2])
                disk, bucket = cli_rates(str(many), "s3://photos/many/", jobs, env)
                served = (sum(server_cpu.cpu_times()[:2]) - before) / ROUNDS
                print(f"extract --jobs {jobs}, {MANY} photos: disk {disk[0]:5.1f} photos/s ({disk[1]:.2f} s CPU), "
                      f"bucket {bucket[0]:5.1f} photos/s ({bucket[0] / disk[0]:.2f}x; {bucket[1]:.2f} s CPU, "
                      f"the server {served:.2f} s)", flush=True)

            for url, how in [("s3://listing/photos/00?", "lazy"), ("s3://listing/photos/", "lazy"),
                             ("s3://listing/photos/", "find")]:
                count, seconds, grown = child("--list", endpoint, url, how)
                what = "a page at a time" if how == "lazy" else "s3fs find()     "
                print(f"listing {int(count):7,d} objects {what}: {float(seconds):6.1f} s, "
                      f"client memory +{float(grown):6.1f} MB over the first page", flush=True)

            rgb = np.asarray(Image.open(local[9]).convert("RGB"))  # a 12-megapixel photo
            import pillow_heif

            pillow_heif.register_heif_opener()
            out = io.BytesIO()
            Image.fromarray(rgb).save(out, "HEIF", quality=85)
            heic = pathlib.Path(tmp) / "photo.heic"
            heic.write_bytes(out.getvalue())
            per_pixel, seconds = child("--heif", heic)
            print(f"HEIC {rgb.shape[1]}x{rgb.shape[0]} decoded: {float(per_pixel):.1f} bytes/pixel at the peak, "
                  f"{float(seconds):.2f} s", flush=True)
    finally:
        server.stdin.close()
        server.wait(timeout=60)
    return status


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--serve":
        serve(int(sys.argv[2]))
    elif len(sys.argv) > 1 and sys.argv[1] == "--list":
        listing(*sys.argv[2:5])
    elif len(sys.argv) > 1 and sys.argv[1] == "--heif":
        heif_decode(sys.argv[2])
    else:
        sys.exit(main())
