"""Runs the extractor on one photo, prints its dominant colours and writes
their chart to a PNG file (out/<photo name>-colors.png unless given).

    python -m velmora_huebit.demo PHOTO [CHART.png]
"""

import pathlib
import sys
import warnings

import matplotlib

matplotlib.use("Agg")  # the chart goes to a file; no window

import matplotlib.pyplot as plt  # noqa: E402

from velmora_huebit import ColorExtractor  # noqa: E402


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if len(argv) not in (1, 2):
        print("usage: python -m velmora_huebit.demo PHOTO [CHART.png]", file=sys.stderr)
        return 2
    photo = argv[0]
    chart = pathlib.Path(argv[1] if len(argv) == 2 else f"out/{pathlib.Path(photo).stem}-colors.png")
    extractor = ColorExtractor()
    colors = extractor.extract_colors(photo)
    print(f"Dominant colours of {photo}:")
    for record in colors:
        r, g, b = record["color"]
        print(f"  #{r:02x}{g:02x}{b:02x}  rgb({r:3d}, {g:3d}, {b:3d})  {record['percentage']:6.2f} %")

    chart.parent.mkdir(parents=True, exist_ok=True)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # Agg cannot show the chart, only save it
        extractor.visualize_colors(colors, str(chart))
    plt.close("all")
    print(f"Chart written to {chart}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
