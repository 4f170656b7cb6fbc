"""Runs the extractor on one photo and prints its dominant colours.

    python -m velmora_huebit.demo PHOTO
"""

import sys

from velmora_huebit import ColorExtractor


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if len(argv) != 1:
        print("usage: python -m velmora_huebit.demo PHOTO", file=sys.stderr)
        return 2
    photo = argv[0]
    colors = ColorExtractor().extract_colors(photo)
    print(f"Dominant colours of {photo}:")
    for record in colors:
        r, g, b = record["color"]
        print(f"  #{r:02x}{g:02x}{b:02x}  rgb({r:3d}, {g:3d}, {b:3d})  {record['percentage']:6.2f} %")
    return 0


if __name__ == "__main__":
    sys.exit(main())
