"""The palette of a photo and how close it comes to a few brand colours.

    python examples/palette.py tests/data/coffee.png
"""

import sys

import velmora_huebit
from velmora_huebit import ColorExtractor
from velmora_huebit.records import ColorRecord, SimilarityRecord

BRAND = {"cream": (240, 207, 175), "espresso": (51, 22, 18), "leaf green": (46, 139, 87)}


def hex_code(rgb: tuple[int, int, int]) -> str:
    return "#%02x%02x%02x" % rgb


def main(path: str) -> None:
    # the colours `velmora-huebit extract` prints
    palette: list[ColorRecord] = velmora_huebit.palette(path, n_colors=5)
    for record in palette:
        print(f"{hex_code(record['color'])}  {record['percentage']:6.2f} %")

    # distances are in OpenCV's 8-bit L*a*b* units: black to white is 255
    extractor = ColorExtractor(n_colors=5, algorithm="kmeans", preprocessing=False)
    matches: dict[str, SimilarityRecord] = extractor.analyze_color_similarity(path, BRAND, similarity_threshold=50.0)
    for name, match in matches.items():
        print(f"{name:12} nearest {hex_code(match['closest_color'])} at {match['distance']:.2f}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "tests/data/coffee.png")
