"""What colour names and palette files cost: naming one photo's palette of
five colours from each list (after the list's first use), the first use
itself, a fresh interpreter importing the names module (it must not load
Matplotlib or scikit-learn), writing every --export format for one photo,
and reading the largest palette file --targets takes (10,000 colours).
Also how near the nearest name is, by list, over random colours."""

import os
import subprocess
import sys
import tempfile
import time

import numpy as np

from velmora_huebit.colour.parse import MAX_COLOURS, read_palette
from velmora_huebit.outputs.exports import WRITERS, Swatch
from velmora_huebit.colour.names import NAME_LISTS, _table, ciede2000, nearest_names, srgb_to_lab

GOAL_MS = 5  # per photo's palette: small beside the analysis itself


def best_of(fn, repeat=5, number=20) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        times.append((time.perf_counter() - start) / number)
    return min(times)


def main() -> int:
    rng = np.random.default_rng(7)
    palettes = [rng.integers(0, 256, (5, 3)) for _ in range(20)]
    status = 0
    for names in NAME_LISTS:
        _table.cache_clear()
        start = time.perf_counter()
        nearest_names(palettes[0], names)
        first = time.perf_counter() - start
        each = best_of(lambda: [nearest_names(p, names) for p in palettes], number=2) / len(palettes)
        labels, table = _table(names)
        near = ciede2000(srgb_to_lab(rng.integers(0, 256, (4000, 3)))[:, None, :], table[None]).min(axis=1)
        print(f"{names:5} {len(labels):4} names: {each * 1e3:.2f} ms per palette of 5 (first use {first * 1e3:.0f} ms); "
              f"nearest name over random colours: median CIEDE2000 {np.median(near):.2f}, 90th percentile "
              f"{np.percentile(near, 90):.2f}", flush=True)
        status |= each * 1e3 > GOAL_MS

    code = ("import time; t = time.perf_counter(); import velmora_huebit.names as n; n.nearest_name((1, 2, 3)); "
            "import sys; print(time.perf_counter() - t, any(m.startswith(('matplotlib', 'sklearn', 'cv2')) "
            "for m in sys.modules))")
    runs = [subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout.split()
            for _ in range(5)]
    print(f"fresh interpreter: import and first name {min(float(r[0]) for r in runs) * 1e3:.0f} ms, "
          f"heavy libraries loaded: {runs[0][1]}", flush=True)
    status |= runs[0][1] != "False"

    record = {"file": "p.png", "analysed_size": [256, 171], "colors": []}
    swatches = [Swatch({"color": tuple(int(v) for v in c), "percentage": 20.0, "name": "sienna"}) for c in palettes[0]]
    for suffix, writer in WRITERS.items():
        print(f"write {suffix:5} {best_of(lambda: writer('p.png', swatches, record), number=5) * 1e3:7.2f} ms",
              flush=True)

    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "big.hex")
        with open(path, "w") as file:
            file.writelines("%02x%02x%02x\n" % tuple(c) for c in rng.integers(0, 256, (MAX_COLOURS, 3)))
        seconds = best_of(lambda: read_palette(path), repeat=3, number=1)
        print(f"read a palette of {MAX_COLOURS:,} colours ({os.path.getsize(path):,} bytes): {seconds * 1e3:.0f} ms")
    return status


if __name__ == "__main__":
    sys.exit(main())
