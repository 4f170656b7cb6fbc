"""Reference counting and bad input.

Every method is called many times, on success and on its error paths; the
number of objects the garbage collector knows and the reference counts of
the arguments must not grow, and every bad input must end in a Python
exception, never a crash.
"""

import gc
import pickle
import sys
import warnings

import numpy as np
import pytest

import velmora_huebit.color_extractor_cy as cy
from velmora_huebit.color_extractor_cy import ColorExtractor

UNPICKLE = getattr(cy, "__pyx_unpickle_ColorExtractor")

RNG = np.random.default_rng(7)
IMAGE = RNG.integers(0, 256, (12, 12, 3), dtype=np.uint8)
MASK2D = np.where(RNG.random((12, 12)) > 0.5, 255, 0).astype(np.uint8)
MASK3D = np.dstack([MASK2D] * 3)
PIXELS = RNG.integers(1, 256, (60, 3), dtype=np.uint8)
CLUSTERS = np.repeat(RNG.integers(1, 256, (4, 3), dtype=np.uint8), 60, axis=0)
LABELS = np.array([0, 1, 1, -1, 2])
RED = np.array([255, 0, 0])
RECORDS = [{"color": (200, 10, 10), "percentage": 60.0}, {"color": (10, 10, 200), "percentage": 40.0}]


class Sub(ColorExtractor):
    def _convert_to_feature_space(self, image):
        return ColorExtractor._convert_to_feature_space(self, image)

    def _color_distance_lab(self, color1, color2):
        return ColorExtractor._color_distance_lab(self, color1, color2)


class WrongType(ColorExtractor):
    def _preprocess_image(self, image):
        return "not an array"

    def _calculate_percentages(self, labels):
        return (1.0,)


OBJ = ColorExtractor(3, preprocessing=False)
PRE = ColorExtractor(3)
DB = ColorExtractor(3, "dbscan", False)
SUB = Sub(3, preprocessing=False)
BAD_ALGO = ColorExtractor(3, "meanshift")
WRONG = WrongType(3)

# (id, callable, arguments whose reference counts are watched)
CALLS = [
    ("init", lambda: ColorExtractor(4, "dbscan", False, True), ()),
    ("init-bad-int", lambda: ColorExtractor("4"), ()),
    ("init-bad-algorithm", lambda: ColorExtractor(algorithm=b"x"), ()),
    ("init-bad-count", lambda: ColorExtractor(1, 2, 3, 4, 5), ()),
    ("init-bad-keyword", lambda: ColorExtractor(colours=3), ()),
    ("preprocess", lambda: PRE._preprocess_image(IMAGE), (IMAGE,)),
    ("preprocess-off", lambda: OBJ._preprocess_image(IMAGE), (IMAGE,)),
    ("preprocess-bad-type", lambda: PRE._preprocess_image([1]), ()),
    ("preprocess-cv-error", lambda: PRE._preprocess_image(MASK2D), (MASK2D,)),
    ("feature", lambda: OBJ._convert_to_feature_space(IMAGE), (IMAGE,)),
    ("feature-none", lambda: OBJ._convert_to_feature_space(None), ()),
    ("mask-2d", lambda: OBJ._apply_mask(IMAGE, MASK2D), (IMAGE, MASK2D)),
    ("mask-3d", lambda: OBJ._apply_mask(IMAGE, MASK3D), (IMAGE, MASK3D)),
    ("mask-size", lambda: OBJ._apply_mask(IMAGE, MASK2D[1:]), (IMAGE,)),
    ("mask-bad-type", lambda: OBJ._apply_mask(IMAGE, "mask.png"), (IMAGE,)),
    ("pixels", lambda: OBJ._extract_pixels(IMAGE), (IMAGE,)),
    ("pixels-mask", lambda: OBJ._extract_pixels(IMAGE, MASK3D), (IMAGE, MASK3D)),
    ("pixels-list-mask", lambda: OBJ._extract_pixels(IMAGE, [[1]]), (IMAGE,)),
    ("pixels-none", lambda: OBJ._extract_pixels(None), ()),
    ("kmeans-few", lambda: OBJ._cluster_colors_kmeans(PIXELS[:2]), ()),
    ("kmeans-bad-type", lambda: OBJ._cluster_colors_kmeans([[1, 2, 3]]), ()),
    ("kmeans-none", lambda: OBJ._cluster_colors_kmeans(None), ()),
    ("dbscan-noise", lambda: DB._cluster_colors_dbscan(PIXELS[:10]), ()),
    ("dbscan-clusters", lambda: ColorExtractor(1, "dbscan")._cluster_colors_dbscan(CLUSTERS),
     (CLUSTERS,)),
    ("dbscan-no-rows", lambda: DB._cluster_colors_dbscan(PIXELS[:0]), ()),
    ("dbscan-bad-type", lambda: DB._cluster_colors_dbscan((1, 2)), ()),
    ("percentages", lambda: OBJ._calculate_percentages(LABELS), (LABELS,)),
    ("percentages-empty", lambda: OBJ._calculate_percentages(np.array([], int)), ()),
    ("percentages-bad-type", lambda: OBJ._calculate_percentages([0, 1]), ()),
    ("extract-few", lambda: ColorExtractor(200, preprocessing=False).extract_colors(IMAGE[:4, :4]),
     (IMAGE,)),
    ("extract-empty-mask", lambda: OBJ.extract_colors(IMAGE, np.zeros((12, 12), np.uint8)), (IMAGE,)),
    ("extract-subclass", lambda: Sub(200, preprocessing=False).extract_colors(IMAGE), (IMAGE,)),
    ("extract-missing-file", lambda: OBJ.extract_colors("/nonexistent/photo.png"), ()),
    ("extract-bad-type", lambda: OBJ.extract_colors(b"photo.png"), ()),
    ("extract-unknown-algorithm", lambda: BAD_ALGO.extract_colors(IMAGE), (IMAGE,)),
    ("extract-wrong-override", lambda: WRONG.extract_colors(IMAGE), (IMAGE,)),
    ("distance", lambda: OBJ._color_distance_lab(RED, RED), (RED,)),
    ("distance-bad-type", lambda: OBJ._color_distance_lab((1, 2, 3), RED), (RED,)),
    ("closest", lambda: OBJ._find_closest_color((255, 0, 0), RECORDS), (RECORDS,)),
    ("closest-bad-type", lambda: OBJ._find_closest_color([255, 0, 0], RECORDS), (RECORDS,)),
    ("closest-missing-key", lambda: OBJ._find_closest_color((1, 2, 3), [{}]), ()),
    ("similarity", lambda: ColorExtractor(200, preprocessing=False).analyze_color_similarity(
        IMAGE, {"red": (255, 0, 0)}), (IMAGE,)),
    ("similarity-bad-targets", lambda: OBJ.analyze_color_similarity(IMAGE, [("red", (1, 2, 3))]),
     (IMAGE,)),
    ("matches", lambda: OBJ.find_color_matches(IMAGE[:5, :5], {"red": (255, 0, 0)}), (IMAGE,)),
    ("matches-subclass", lambda: SUB.find_color_matches(IMAGE[:3, :3], {"red": (255, 0, 0)}),
     (IMAGE,)),
    ("matches-bad-target", lambda: OBJ.find_color_matches(IMAGE[:3, :3], {"red": "red"}), (IMAGE,)),
    ("chart-empty", lambda: OBJ.visualize_colors([]), ()),
    ("chart-bad-type", lambda: OBJ.visualize_colors(tuple(RECORDS)), ()),
    ("chart-bad-path", lambda: OBJ.visualize_colors(RECORDS, 42), (RECORDS,)),
    ("reduce", lambda: OBJ.__reduce__(), ()),
    ("pickle", lambda: pickle.loads(pickle.dumps(Sub())), ()),
    ("setstate-bad", lambda: ColorExtractor().__setstate__(["x"]), ()),
    ("unpickle-bad-code", lambda: UNPICKLE(ColorExtractor, 1, None), ()),
    ("unpickle-short-state", lambda: UNPICKLE(ColorExtractor, 156932187, ("a",)), ()),
]


def run(fn):
    try:
        fn()
    except Exception:
        pass


@pytest.mark.parametrize("fn, watched", [c[1:] for c in CALLS], ids=[c[0] for c in CALLS])
def test_no_reference_leaks(fn, watched):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for _ in range(5):  # warm caches of the libraries
            run(fn)
        growth = []
        for _ in range(3):  # a leak grows every time; a library's background thread now and then
            gc.collect()
            objects = len(gc.get_objects())
            refcounts = [sys.getrefcount(a) for a in watched]
            for _ in range(60):
                run(fn)
            gc.collect()
            assert [sys.getrefcount(a) for a in watched] == refcounts
            growth.append(len(gc.get_objects()) - objects)
            if growth[-1] < 30:
                break
        assert min(growth) < 30, growth


class TestBadInput:
    """Wrong types, shapes and dtypes end in a clear Python exception."""

    @pytest.mark.parametrize("image", [
        np.zeros((0, 0, 3), np.uint8), np.zeros((5, 5), np.uint8), np.zeros((5, 5, 4), np.uint8),
        np.zeros((5, 5, 3), np.float64), np.zeros((5, 5, 3), np.int64), np.zeros((5,), np.uint8),
        np.zeros((2, 2, 2, 3), np.uint8), np.array([["a"]]), np.empty((3, 3, 3), object),
    ], ids=["empty", "grey", "four-channel", "float64", "int64", "1d", "4d", "strings", "objects"])
    @pytest.mark.parametrize("obj", [ColorExtractor(), ColorExtractor(3, "dbscan", False, False)],
                             ids=["defaults", "plain"])
    def test_odd_arrays(self, obj, image):
        try:
            obj.extract_colors(image)
        except Exception as exc:
            assert str(exc)

    @pytest.mark.parametrize("image", [42, 3.5, [1, 2], ("a",), {"a": 1}, object(), b"x"])
    def test_non_arrays(self, image):
        with pytest.raises(TypeError, match=r"^Cannot convert \w+ to numpy.ndarray$"):
            ColorExtractor().extract_colors(image)

    @pytest.mark.parametrize("mask", [np.zeros((3, 3), np.uint8), np.zeros((12, 12, 2), np.uint8),
                                      np.zeros((12, 12, 3, 1), np.uint8), 42, [[0]]])
    def test_odd_masks(self, mask):
        with pytest.raises(Exception) as info:
            ColorExtractor(preprocessing=False).extract_colors(IMAGE, mask)
        assert str(info.value)
