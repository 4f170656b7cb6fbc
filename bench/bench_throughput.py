"""Photos per second on one core, against the decode floor (the reduced
JPEG decode and the shrink to 256 alone, bench_engine's), for small photos
(0.2 to 0.5 megapixels, bench_pool's), 12 and 24 megapixels (bench_engine's
camera JPEGs): each photo through the command line's own per-photo work
(read, decode, shrink, cluster, name), in this process, from disk and from
a bucket on moto's S3 server (read ahead as the command line does, four
photos at a time), rounds interleaved; medians."""

from __future__ import annotations

import pathlib
import statistics
import sys
import tempfile
import time

import cv2

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests"))

from bench_engine import camera_photos, floor, reduction  # noqa: E402
from bench_pool import small_photos  # noqa: E402

from velmora_huebit.analysis.engines import PaletteEngine  # noqa: E402
from velmora_huebit.analysis.job import Job  # noqa: E402
from velmora_huebit.photos.limits import keep_heap  # noqa: E402
from velmora_huebit.runs.runners import BUCKET_AHEAD, SerialRunner  # noqa: E402

ROUNDS = 3


def per_photo(runner, job, tasks) -> float:
    """Seconds per photo of one pass."""
    start = time.perf_counter()
    for _, outcome in runner.run(PaletteEngine(5), job, tasks, lambda: None):
        assert outcome.error is None, outcome.error
    return (time.perf_counter() - start) / len(tasks)


def main() -> int:
    from s3server import S3Server

    cv2.setNumThreads(1)
    keep_heap()  # as the command line's process does
    server = S3Server()
    try:
        fs = server.filesystem()
        fs.mkdir("photos")
        with tempfile.TemporaryDirectory() as tmp:
            folder = pathlib.Path(tmp)
            small_photos(folder / "small", 24)
            cameras = camera_photos(folder)
            groups = {"small (0.2-0.5 MP)": sorted((folder / "small").iterdir()),
                      "12 MP": [p for p in cameras if "_12mp" in p.name],
                      "24 MP": [p for p in cameras if "_24mp" in p.name]}
            for path in [p for paths in groups.values() for p in paths]:
                fs.put_file(str(path), f"photos/{path.name}")
            storage = {"key": server.keys[0], "secret": server.keys[1], "endpoint_url": server.endpoint}
            print(f"photos/s on one core ({ROUNDS} interleaved rounds, median): floor, disk, bucket")
            for label, paths in groups.items():
                flags = {p: reduction(p) for p in paths}
                disk = [(str(p), None) for p in paths]
                bucket = [(f"s3://photos/{p.name}", None) for p in paths]
                times: dict = {"floor": [], "disk": [], "bucket": []}
                for _ in range(ROUNDS):
                    start = time.perf_counter()
                    for path in paths:
                        floor(path, flags[path])
                    times["floor"].append((time.perf_counter() - start) / len(paths))
                    times["disk"].append(per_photo(SerialRunner(False), Job("extract", max_side=256, names="css"), disk))
                    times["bucket"].append(per_photo(SerialRunner(False, BUCKET_AHEAD),
                                                     Job("extract", max_side=256, names="css", storage=storage), bucket))
                rate = {name: 1 / statistics.median(values) for name, values in times.items()}
                print(f"  {label:20} floor {rate['floor']:6.1f}, disk {rate['disk']:6.1f} "
                      f"({rate['floor'] / rate['disk']:.2f}x the floor's time), bucket {rate['bucket']:6.1f} "
                      f"({rate['bucket'] / rate['disk']:.2f}x disk's photos/s)", flush=True)
    finally:
        server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
