"""Distinct names per palette: how many of a palette's colours have a name
of their own (and how many are called black while tinted), on the sample
photos and the large ones (bench/large_photos.py), for each name list.

    python bench/bench_names_distinct.py
"""

import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from large_photos import large_photos  # noqa: E402

from velmora_huebit import palette  # noqa: E402
from velmora_huebit.colour.space import lab  # noqa: E402

PHOTOS = sorted(HERE.parent.glob("tests/data/*.png")) + sorted(HERE.glob("photos/*.[jp][pn]g"))


def main(argv=None):
    photos = PHOTOS + large_photos()
    print(f"{len(photos)} photos")
    print(f"{'names':>6} {'colours':>7} {'distinct names / colours':>25} {'palettes with a repeat':>23} "
          f"{'tinted blacks':>13}")
    for names in ("css", "xkcd"):
        for k in (5, 8, 12):
            colours = distinct = repeated = tinted = 0
            for path in photos:
                records = palette(path, k, names=names)
                found = [r["name"] for r in records]
                colours += len(found)
                distinct += len(set(found))
                repeated += len(set(found)) < len(found)
                for r in records:
                    _, a, b = lab(r["color"])
                    tinted += r["name"] == "black" and (a * a + b * b) ** 0.5 >= 5
            print(f"{names:>6} {k:>7} {distinct / colours:25.3f} {repeated:>16} of {len(photos):>3} {tinted:>13}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
