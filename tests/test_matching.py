"""Colour distance, closest colour, similarity analysis and pixel matching."""

import collections
import gc
import math
import sys

import cv2
import numpy as np
import pytest

from velmora_huebit import color_extractor_cy as cy
from velmora_huebit.color_extractor_cy import ColorExtractor


def reference_distance(c1, c2):
    lab1, lab2 = (cv2.cvtColor(np.uint8([[c]]), cv2.COLOR_RGB2LAB)[0][0].astype(float) for c in (c1, c2))
    return float(np.sqrt(np.sum((lab1 - lab2) ** 2)))


class PerPixel(ColorExtractor):
    """The built-in distance as an override: forces the pixel-by-pixel path."""

    def _color_distance_lab(self, color1, color2):
        return ColorExtractor._color_distance_lab(self, color1, color2)


class Recording(ColorExtractor):
    """A distance step that records its calls and answers with answer(color1, color2)."""

    def __init__(self, answer, **kwargs):
        super().__init__(**kwargs)
        self.calls, self.answer = [], answer

    def _color_distance_lab(self, color1, color2):
        self.calls.append((color1, color2))
        return self.answer(color1, color2)


class Fixed(ColorExtractor):
    """Extraction and closest colour with fixed answers; distances chosen per target."""

    def __init__(self, distances, colors=None):
        super().__init__()
        self.distances = distances
        self.colors = records((10, 20, 30), (40, 50, 60)) if colors is None else colors

    def extract_colors(self, image, mask=None):
        return self.colors

    def _find_closest_color(self, target_color, image_colors):
        return image_colors[0], self.distances[target_color]


def records(*colors):
    return [{"color": c, "percentage": p} for c, p in zip(colors, (40.0, 30.0, 20.0, 10.0))]


def crop(image, top, left, size=72):
    return np.ascontiguousarray(image[top : top + size, left : left + size])


def error_of(fn):
    with pytest.raises(Exception) as info:
        fn()
    return info.value


# ---- _color_distance_lab ----------------------------------------------------------


class TestDistance:
    def test_values(self):
        ex = ColorExtractor()
        same = ex._color_distance_lab(np.array([12, 200, 7]), np.array([12, 200, 7]))
        assert same == 0.0 and type(same) is float
        assert ex._color_distance_lab(np.array([0, 0, 0]), np.array([255, 255, 255])) == 255.0
        for c1, c2 in np.random.default_rng(7).integers(0, 256, size=(40, 2, 3)):
            assert ex._color_distance_lab(c1, c2) == ex._color_distance_lab(c2, c1) == reference_distance(c1, c2)

    def test_floats_cast_to_8_bits_and_subclass_accepted(self):
        ex, third = ColorExtractor(), np.array([90, 140, 30])
        assert ex._color_distance_lab(np.array([10.7, 0, 0]), third) == ex._color_distance_lab(np.array([10, 0, 0]), third)
        sub = type("Sub", (np.ndarray,), {})
        assert ex._color_distance_lab(color2=np.array([1, 2, 3]).view(sub), color1=np.array([1, 2, 3])) == 0.0

    @pytest.mark.parametrize("args, name, got", [(((0, 0, 0), np.zeros(3)), "color1", "tuple"),
                                                 ((np.zeros(3), [0, 0, 0]), "color2", "list")])
    def test_argument_types(self, args, name, got):
        with pytest.raises(TypeError, match=rf"Argument '{name}' has incorrect type \(expected numpy.ndarray, got {got}\)"):
            ColorExtractor()._color_distance_lab(*args)

    @pytest.mark.parametrize("bad", [None, np.array([1, 2]), np.array(["a", "b", "c"])])
    def test_values_opencv_cannot_take(self, bad):
        assert not isinstance(error_of(lambda: ColorExtractor()._color_distance_lab(bad, np.zeros(3))), SystemError)

    def test_python_call_runs_the_built_in_body(self):
        ex = Recording(lambda a, b: 1.0)
        assert ColorExtractor._color_distance_lab(ex, np.zeros(3), np.zeros(3)) == 0.0 and ex.calls == []


# ---- _find_closest_color --------------------------------------------------------------


class TestClosestColour:
    def test_exact_match_is_the_record_itself(self):
        colors = records((200, 10, 10), (10, 200, 10), (10, 10, 200))
        closest, distance = ColorExtractor()._find_closest_color((10, 200, 10), colors)
        assert closest is colors[1] and distance == 0.0 and type(distance) is float

    def test_tie_keeps_first_and_every_record_is_measured(self):
        colors = records((1, 1, 1), (2, 2, 2), (3, 3, 3))
        ex = Recording(lambda a, b: {1: 5, 2: 3, 3: 3}[int(b[0])])
        assert ex._find_closest_color((0, 0, 0), colors) == (colors[1], 3.0)
        assert len(ex.calls) == 3
        assert [list(v) for v in ex.calls[0]] == [[0, 0, 0], [1, 1, 1]]  # target first, both arrays

    def test_override_results(self):
        assert Recording(lambda a, b: 0.0)._find_closest_color((1, 2, 3), []) == (None, math.inf)
        nan = Recording(lambda a, b: np.float32("nan"))
        assert nan._find_closest_color((0, 0, 0), records((1, 1, 1))) == (None, math.inf)
        _, distance = Recording(lambda a, b: np.int64(4))._find_closest_color((0, 0, 0), records((1, 1, 1)))
        assert distance == 4.0 and type(distance) is float
        with pytest.raises(TypeError):
            Recording(lambda a, b: "far")._find_closest_color((0, 0, 0), records((1, 1, 1)))

    @pytest.mark.parametrize("target, colors, name, expected, note", [
        ([255, 0, 0], [], "target_color", "tuple", False),
        (None, [], "target_color", "tuple", False),
        ((255, 0, 0), (), "image_colors", "list", False),
        (collections.namedtuple("RGB", "r g b")(1, 2, 3), [], "target_color", "tuple", True),
        ((1, 2, 3), type("Records", (list,), {})(), "image_colors", "list", True),
    ])
    def test_argument_types(self, target, colors, name, expected, note):
        with pytest.raises(TypeError, match=rf"Argument '{name}' has incorrect type \(expected {expected}, got ") as info:
            ColorExtractor()._find_closest_color(target, colors)
        assert bool(getattr(info.value, "__notes__", None)) == note

    def test_record_without_colour(self):
        with pytest.raises(KeyError, match="color"):
            ColorExtractor()._find_closest_color((1, 2, 3), [{"percentage": 3.0}])


# ---- analyze_color_similarity -----------------------------------------------------------


class TestSimilarity:
    @pytest.mark.parametrize("distance, threshold, percentage, similarity, found", [
        (0.0, 50.0, 40.0, 100.0, True),
        (25.0, 50.0, 20.0, 50.0, False),
        (50.0, 50.0, 0.0, 0, False),     # at the threshold: a float share of an int 0 similarity
        (50.5, 50.0, 0, 0, False),       # beyond: both int 0
        (7.0, 5.0, 0, 0, True),          # found directly whatever the threshold
        (10.0, 50.0, 32.0, 80.0, False),
        (15.0, 30, 20.0, 50.0, False),   # an int threshold
        (0.0, 0, 40.0, 100.0, True),     # zero threshold, exact match: the full share
        (0.5, 0.0, 0, 0, True),
    ])
    def test_record(self, distance, threshold, percentage, similarity, found):
        ex = Fixed({(1, 1, 1): distance})
        record = ex.analyze_color_similarity(None, {"t": (1, 1, 1)}, similarity_threshold=threshold)["t"]
        assert list(record) == ["percentage", "similarity", "closest_color", "distance", "found_directly"]
        assert record == {"percentage": percentage, "similarity": similarity, "closest_color": (10, 20, 30),
                          "distance": distance, "found_directly": found}
        assert (type(record["percentage"]), type(record["similarity"])) == (type(percentage), type(similarity))
        assert record["closest_color"] is ex.colors[0]["color"]

    def test_order_kept_and_empty_cases(self):
        ex = Fixed({(1, 1, 1): 0.0, (2, 2, 2): 0.0}, colors=[{"color": (9, 9, 9), "percentage": 60.0}])
        result = ex.analyze_color_similarity(None, {"b": (2, 2, 2), "a": (1, 1, 1)})
        assert list(result) == ["b", "a"] and result["a"]["percentage"] + result["b"]["percentage"] == 120.0
        assert Fixed({}, colors=[]).analyze_color_similarity(None, {"t": (1, 1, 1)}) == {}
        assert Fixed({}).analyze_color_similarity(None, {}) == {}

    def test_real_photo_targets_at_extracted_colours(self, coffee):
        image = cv2.resize(coffee, (150, 100), interpolation=cv2.INTER_AREA)
        ex = ColorExtractor()
        colors = ex.extract_colors(image)
        result = ex.analyze_color_similarity(image, {i: c["color"] for i, c in enumerate(colors)})
        for i, c in enumerate(colors):
            assert result[i] == {"percentage": c["percentage"], "similarity": 100.0, "closest_color": c["color"],
                                 "distance": 0.0, "found_directly": True}

    def test_errors(self, coffee):
        image, ex = crop(coffee, 150, 250, 40), ColorExtractor()
        err = error_of(lambda: ex.analyze_color_similarity(image, collections.OrderedDict()))
        assert "'target_colors' has incorrect type (expected dict, got collections.OrderedDict)" in str(err)
        assert err.__notes__
        with pytest.raises(TypeError, match="must be real number"):  # the threshold is converted first
            ex.analyze_color_similarity(image, [], similarity_threshold="x")
        with pytest.raises(TypeError, match="'target_color'.*expected tuple, got list"):
            ex.analyze_color_similarity(image, {"red": [255, 0, 0]})
        with pytest.raises(ValueError, match="Could not load image from nowhere.png"):
            ex.analyze_color_similarity("nowhere.png", {})

    def test_misbehaving_overrides(self):
        class Triple(Fixed):
            def _find_closest_color(self, target_color, image_colors):
                return image_colors[0], 1.0, 2.0

        class Growing(Fixed):
            def _find_closest_color(self, target_color, image_colors):
                targets["more"] = (2, 2, 2)
                return image_colors[0], 1.0

        targets = {"t": (1, 1, 1)}
        with pytest.raises(ValueError, match=r"too many values to unpack \(expected 2\)"):
            Triple({}).analyze_color_similarity(None, targets)
        with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
            Growing({}).analyze_color_similarity(None, targets)


# ---- find_color_matches -------------------------------------------------------------------


PLAIN = dict(preprocessing=False, lab_space=False)  # pixels arrive exactly as in the image


class TestMatchRecords:
    image = np.array([[[1, 1, 1], [2, 2, 2], [3, 3, 3], [4, 4, 4], [5, 5, 5], [6, 6, 6]]], dtype=np.uint8)

    def run(self, distances, targets=None):
        ex = Recording(lambda target, pixel: distances[int(pixel[0]) - 1], **PLAIN)
        return ex.find_color_matches(self.image, targets or {"t": (9, 9, 9)}), ex

    def test_band_boundaries(self):
        record = self.run([15.0, 14.99, 30.0, 29.99, 50.0, 49.99])[0]["t"]
        assert list(record.items()) == [
            ("total_percentage", round(5 / 6 * 100, 2)), ("close_percentage", 50.0),
            ("very_close_percentage", round(1 / 6 * 100, 2)), ("closest_pixel", (2, 2, 2)),
            ("min_distance", 14.99), ("similarity_score", round((50 - 14.99) / 50 * 100, 2))]

    def test_nothing_near_and_ties(self):
        record = self.run([50.0, 60, 70, 80, 90, 100])[0]["t"]
        assert record["similarity_score"] == 0 and type(record["similarity_score"]) is int
        assert record["total_percentage"] == record["close_percentage"] == record["very_close_percentage"] == 0.0
        assert self.run([7.0, 3.0, 9.0, 3.0, 3.0, 8.0])[0]["t"]["closest_pixel"] == (2, 2, 2)

    def test_called_once_per_pixel_and_target_target_first(self):
        _, ex = self.run([1.0] * 6, {"a": (9, 8, 7), "b": (1, 2, 3)})
        assert len(ex.calls) == 12 and [list(v) for v in ex.calls[7]] == [[1, 2, 3], [2, 2, 2]]
        with pytest.raises(TypeError):
            self.run(["near"] * 6)

    def test_exact_pixel(self):
        # Dark greys 3 and 4 share one 8-bit L*a*b* value: the first of them is the closest pixel.
        for ex in (ColorExtractor(**PLAIN), PerPixel(**PLAIN)):
            record = ex.find_color_matches(self.image, {"t": (4, 4, 4)})["t"]
            assert (record["min_distance"], record["similarity_score"], record["closest_pixel"]) == (0.0, 100.0, (3, 3, 3))
            assert all(type(v) is int for v in record["closest_pixel"])


class TestMatchInputs:
    def test_no_pixels_or_no_targets(self, coffee):
        ex = ColorExtractor()
        assert ex.find_color_matches(coffee, {"t": (1, 2, 3)}, mask=np.zeros(coffee.shape[:2], np.uint8)) == {}
        assert ex.find_color_matches(coffee, {}) == {}

    def test_inputs(self, coffee, coffee_path):
        ex = ColorExtractor()
        for targets in (collections.OrderedDict(t=(1, 2, 3)), [("t", (1, 2, 3))], None):
            with pytest.raises(TypeError, match="Argument 'target_colors' has incorrect type"):
                ex.find_color_matches(coffee, targets)
        with pytest.raises(ValueError, match="Could not load image from /no/such.png"):
            ex.find_color_matches("/no/such.png", {})
        with pytest.raises(TypeError, match="Cannot convert list to numpy.ndarray"):
            ex.find_color_matches([[1, 2, 3]], {})
        with pytest.raises(TypeError, match="Cannot convert str to numpy.ndarray"):  # a mask path is not read
            ex.find_color_matches(coffee, {}, mask=coffee_path)
        result = ex.find_color_matches(coffee_path, {"r": [255, 0, 0], "t": (255, 0, 0)})
        assert result["r"] == result["t"]
        for record in result.values():
            assert 0 <= record["very_close_percentage"] <= record["close_percentage"] <= record["total_percentage"] <= 100


# The whole-array path must give exactly what the pixel-by-pixel path gives.


def assert_identical(a, b):
    assert list(a) == list(b)
    for name in a:
        assert list(a[name]) == list(b[name])
        for key, x in a[name].items():
            y = b[name][key]
            assert type(x) is type(y) and repr(x) == repr(y), (name, key, x, y)


TARGETS = {"brown": (120, 70, 40), "cream": (235, 215, 190), "grey": (128, 128, 128), "black": (0, 0, 0)}


def both_paths(ex_kwargs, image, targets, mask=None):
    outcomes = []
    for cls in (ColorExtractor, PerPixel):
        try:
            with np.errstate(all="ignore"):
                outcomes.append(cls(**ex_kwargs).find_color_matches(image, targets, mask))
        except Exception as e:
            outcomes.append((type(e), str(e)))
    return outcomes


class TestWholeArrayPath:
    @pytest.mark.parametrize("lab_space", [True, False])
    @pytest.mark.parametrize("masked", [False, True])
    @pytest.mark.parametrize("photo, top, left", [("coffee", 150, 250), ("chelsea", 60, 180)])
    def test_same_records_as_pixel_by_pixel(self, request, photo, top, left, masked, lab_space):
        image = crop(request.getfixturevalue(photo), top, left)
        mask = cv2.circle(np.zeros(image.shape[:2], np.uint8), (36, 36), 30, 255, -1) if masked else None
        assert_identical(*both_paths(dict(lab_space=lab_space), image, TARGETS, mask))

    @pytest.mark.parametrize("target", [(300, -5, 10.7), np.array([250, 3, 90], np.uint16), (1.0e9, 0, 0),
                                        (1, 2), ("a", "b", "c"), None, ((1, 2, 3),)])
    def test_odd_and_bad_targets_behave_alike(self, coffee, target):
        fast, slow = both_paths({}, crop(coffee, 100, 100, 16), {"t": target})
        if isinstance(fast, dict):
            assert_identical(fast, slow)
        else:
            assert fast == slow

    def test_unusual_pixels_fall_back(self, coffee):
        class FloatPixels(ColorExtractor):
            def _extract_pixels(self, image, mask=None):
                return ColorExtractor._extract_pixels(self, image, mask).astype(float) + 0.6

        class FloatPixelsPerPixel(FloatPixels, PerPixel):
            pass

        image = crop(coffee, 200, 300, 32)
        for lab_space in (True, False):
            assert_identical(FloatPixels(lab_space=lab_space).find_color_matches(image, TARGETS),
                             FloatPixelsPerPixel(lab_space=lab_space).find_color_matches(image, TARGETS))

    def test_converts_all_pixels_at_once(self, coffee, monkeypatch):
        calls = []

        class CountingCv2:
            def __getattr__(self, name):
                return getattr(cv2, name)

            def cvtColor(self, image, code):
                calls.append(image.shape)
                return cv2.cvtColor(image, code)

        monkeypatch.setattr(cy, "cv2", CountingCv2())
        image = crop(coffee, 150, 250, 30)
        ColorExtractor().find_color_matches(image, {"a": (1, 2, 3), "b": (4, 5, 6)})
        # after preprocessing and the feature space: all pixels there and back, then one call per target
        assert calls[3:] == [(1, 900, 3), (1, 900, 3), (1, 1, 3), (1, 1, 3)]
        calls.clear()
        type("Plain", (ColorExtractor,), {})().find_color_matches(image, {"a": (1, 2, 3)})
        assert len(calls) == 6


@pytest.mark.parametrize("code", [cv2.COLOR_LAB2RGB, cv2.COLOR_RGB2LAB], ids=["LAB2RGB", "RGB2LAB"])
def test_opencv_converts_an_image_like_single_pixels(code):
    """The whole-array path relies on this for every 8-bit colour; checked here on a sample."""
    corners = np.array(np.meshgrid(*[[0, 1, 127, 128, 129, 254, 255]] * 3)).reshape(3, -1).T
    sample = np.random.default_rng(2024).integers(0, 256, size=(40000, 3))
    colours = np.concatenate([corners, sample]).astype(np.uint8)
    whole = cv2.cvtColor(colours.reshape(1, -1, 3), code).reshape(-1, 3)
    assert np.array_equal(whole, np.array([cv2.cvtColor(np.uint8([[c]]), code)[0][0] for c in colours]))


@pytest.mark.parametrize("name, annotations, defaults, doc_lines", [
    ("_color_distance_lab", {}, None, 1),
    ("_find_closest_color", {"target_color": "Tuple[int, int, int]", "image_colors": "List[dict]",
                             "return": "Tuple[dict, float]"}, None, 1),
    ("analyze_color_similarity", {"target_colors": "Dict[str, Tuple[int, int, int]]",
                                  "similarity_threshold": "float", "return": "Dict[str, dict]"}, (None, 50.0), 13),
    ("find_color_matches", {"target_colors": "Dict[str, Tuple[int, int, int]]", "return": "Dict[str, dict]"},
     (None,), 11),
])
def test_metadata(name, annotations, defaults, doc_lines):
    f = getattr(ColorExtractor, name)
    assert list(f.__annotations__.items()) == list(annotations.items())
    assert f.__defaults__ == defaults and len(f.__doc__.split("\n")) == doc_lines


# ---- reference leaks ------------------------------------------------------------------------


def assert_no_leaks(calls, keep, rounds):
    def run(n):
        for _ in range(n):
            for fn in calls:
                try:
                    fn()
                except Exception:
                    pass

    def grown():
        gc.collect()
        objects, blocks, refs = len(gc.get_objects()), sys.getallocatedblocks(), [sys.getrefcount(k) for k in keep]
        run(rounds)
        gc.collect()
        # Leaked records are untracked dicts of numbers, so the allocated blocks count too.
        return (len(gc.get_objects()) - objects < 20 and sys.getallocatedblocks() - blocks < 100
                and [sys.getrefcount(k) for k in keep] == refs)

    run(20)
    # a cache that a library fills late shows in one window at most, a leak in every one
    assert grown() or grown()


def test_no_leaks(coffee):
    a, b, colors = np.array([1, 2, 3]), np.array([200, 100, 0]), records((1, 2, 3), (4, 5, 6))
    fixed, ex, sub = Fixed({(1, 1, 1): 3.0, (2, 2, 2): 80.0}), ColorExtractor(), PerPixel()
    targets = {"a": (1, 1, 1), "b": (2, 2, 2)}
    image = crop(coffee, 150, 250, 6)
    mask = np.full(image.shape[:2], 255, np.uint8)
    matches = {"a": (120, 70, 40), "b": [0, 0, 0]}
    calls = [
        lambda: ex._color_distance_lab(a, b), lambda: ex._color_distance_lab((1, 2, 3), b),
        lambda: ex._color_distance_lab(None, b),
        lambda: ex._find_closest_color((1, 2, 3), colors), lambda: sub._find_closest_color((1, 2, 3), colors),
        lambda: ex._find_closest_color([1, 2, 3], colors), lambda: ex._find_closest_color((1, 2, 3), [{"x": 1}]),
        lambda: fixed.analyze_color_similarity(image, targets),
        lambda: fixed.analyze_color_similarity(image, targets, similarity_threshold=0),
        lambda: fixed.analyze_color_similarity(image, {"a": [1, 1, 1]}),
        lambda: fixed.analyze_color_similarity(image, collections.OrderedDict()),
    ]
    for e in (ex, ColorExtractor(lab_space=False), sub):
        calls += [
            lambda e=e: e.find_color_matches(image, matches, mask), lambda e=e: e.find_color_matches(image, {"t": (1, 2)}),
            lambda e=e: e.find_color_matches(image, matches, "mask.png"),
            lambda e=e: e.find_color_matches("/no/such.png", matches),
        ]
    assert_no_leaks(calls, [a, b, colors, targets, image, mask, matches], rounds=150)
