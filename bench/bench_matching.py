"""find_color_matches on a 256 x 256 crop with three targets: the whole-array
path against the pixel-by-pixel path (forced by overriding the distance step
with the built-in one), in the same process, with the results compared."""

import pathlib
import sys
import time

import cv2
import numpy as np

from velmora_huebit.color_extractor_cy import ColorExtractor

HERE = pathlib.Path(__file__).resolve().parent

TARGETS = {"coffee": (110, 60, 30), "cream": (235, 215, 190), "red": (200, 30, 30)}
GOAL = 300


class PerPixel(ColorExtractor):
    def _color_distance_lab(self, color1, color2):
        return ColorExtractor._color_distance_lab(self, color1, color2)


def same(a, b):
    return list(a) == list(b) and all(
        list(a[k]) == list(b[k])
        and all(type(a[k][f]) is type(b[k][f]) and repr(a[k][f]) == repr(b[k][f]) for f in a[k])
        for k in a
    )


def timed(fn, repeat):
    best, result = float("inf"), None
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def main():
    photo = cv2.imread(str(HERE.parent / "tests" / "data" / "coffee.png"))
    image = np.ascontiguousarray(photo[72:328, 172:428])
    assert image.shape == (256, 256, 3)
    status = 0
    for lab_space in (True, False):
        fast_s, fast = timed(lambda: ColorExtractor(lab_space=lab_space).find_color_matches(image, TARGETS), 20)
        slow_s, slow = timed(lambda: PerPixel(lab_space=lab_space).find_color_matches(image, TARGETS), 1)
        identical = same(fast, slow)
        speedup = slow_s / fast_s
        print(
            f"find_color_matches 256x256, 3 targets, lab_space={lab_space}: "
            f"whole-array {fast_s * 1e3:.1f} ms, pixel by pixel {slow_s:.2f} s, "
            f"speed-up {speedup:.0f}x (goal {GOAL}x), results {'identical' if identical else 'DIFFER'}",
            flush=True,
        )
        if not identical or speedup < GOAL:
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
