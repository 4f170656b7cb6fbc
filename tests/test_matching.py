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


def lab(rgb):
    return cv2.cvtColor(np.uint8([[rgb]]), cv2.COLOR_RGB2LAB)[0][0].astype(float)


def reference_distance(c1, c2):
    return float(np.sqrt(np.sum((lab(c1) - lab(c2)) ** 2)))


class PerPixel(ColorExtractor):
    """Overrides the distance step with the built-in one: forces the pixel-by-pixel path."""

    def _color_distance_lab(self, color1, color2):
        return ColorExtractor._color_distance_lab(self, color1, color2)


class Recording(ColorExtractor):
    """Distance step that records its calls and answers from a table or a function."""

    def __init__(self, *args, answer=None, **kwargs):
        super().__init__(*args, **kwargs)
        self.calls = []
        self.answer = answer

    def _color_distance_lab(self, color1, color2):
        self.calls.append((color1, color2))
        return self.answer(color1, color2)


def assert_no_leaks(fn, *keep, rounds=200):
    """Calls fn many times (exceptions allowed): no growth in gc objects or argument refcounts."""

    def run(n):
        for _ in range(n):
            try:
                fn()
            except Exception:
                pass

    run(20)
    gc.collect()
    objects = len(gc.get_objects())
    refs = [sys.getrefcount(k) for k in keep]
    run(rounds)
    gc.collect()
    assert len(gc.get_objects()) - objects < 20
    assert [sys.getrefcount(k) for k in keep] == refs


# ---- _color_distance_lab -------------------------------------------------------


class TestDistance:
    def test_equal_colours_are_zero(self):
        d = ColorExtractor()._color_distance_lab(np.array([12, 200, 7]), np.array([12, 200, 7]))
        assert d == 0.0 and type(d) is float

    def test_black_white(self):
        ex = ColorExtractor()
        assert ex._color_distance_lab(np.array([0, 0, 0]), np.array([255, 255, 255])) == 255.0

    def test_symmetric_and_as_computed_with_opencv(self):
        rng = np.random.default_rng(7)
        ex = ColorExtractor()
        for c1, c2 in rng.integers(0, 256, size=(50, 2, 3)):
            d = ex._color_distance_lab(c1, c2)
            assert d == ex._color_distance_lab(c2, c1) == reference_distance(c1, c2)

    def test_float_inputs_cast_to_8_bits(self):
        ex = ColorExtractor()
        third = np.array([90, 140, 30])
        assert ex._color_distance_lab(np.array([10.7, 0, 0]), third) == ex._color_distance_lab(
            np.array([10, 0, 0]), third
        )

    def test_keywords_and_ndarray_subclass(self):
        class Sub(np.ndarray):
            pass

        c = np.array([1, 2, 3]).view(Sub)
        assert ColorExtractor()._color_distance_lab(color2=c, color1=np.array([1, 2, 3])) == 0.0

    @pytest.mark.parametrize(
        "args, name, got",
        [(((0, 0, 0), np.zeros(3)), "color1", "tuple"), ((np.zeros(3), [0, 0, 0]), "color2", "list")],
    )
    def test_argument_types(self, args, name, got):
        with pytest.raises(TypeError, match=rf"Argument '{name}' has incorrect type \(expected numpy.ndarray, got {got}\)"):
            ColorExtractor()._color_distance_lab(*args)

    @pytest.mark.parametrize("bad", [None, np.array([1, 2]), np.array(["a", "b", "c"])])
    def test_values_opencv_cannot_take_raise(self, bad):
        with pytest.raises(Exception) as info:
            ColorExtractor()._color_distance_lab(bad, np.zeros(3))
        assert not isinstance(info.value, SystemError)

    def test_python_call_skips_override(self):
        ex = Recording(answer=lambda a, b: 1.0)
        assert ex._color_distance_lab(np.zeros(3), np.zeros(3)) == 1.0  # the override itself
        assert ColorExtractor._color_distance_lab(ex, np.zeros(3), np.zeros(3)) == 0.0
        assert len(ex.calls) == 1


# ---- _find_closest_color ---------------------------------------------------------


def records(*colors):
    return [{"color": c, "percentage": p} for c, p in zip(colors, (40.0, 30.0, 20.0, 10.0))]


class TestClosestColour:
    def test_empty_list_measures_nothing(self):
        ex = Recording(answer=lambda a, b: 0.0)
        assert ex._find_closest_color((1, 2, 3), []) == (None, math.inf)
        assert ex.calls == []

    def test_exact_match_returns_the_record_itself(self):
        colors = records((200, 10, 10), (10, 200, 10), (10, 10, 200))
        closest, distance = ColorExtractor()._find_closest_color((10, 200, 10), colors)
        assert closest is colors[1] and distance == 0.0 and type(distance) is float
        closest["percentage"] = 99
        assert colors[1]["percentage"] == 99

    def test_tie_keeps_first_and_all_are_measured(self):
        colors = records((1, 1, 1), (2, 2, 2), (3, 3, 3))
        ex = Recording(answer=lambda a, b: {1: 5, 2: 3, 3: 3}[int(b[0])])
        closest, distance = ex._find_closest_color((0, 0, 0), colors)
        assert closest is colors[1] and distance == 3.0
        assert len(ex.calls) == 3
        target, image_rgb = ex.calls[0]
        assert isinstance(target, np.ndarray) and list(target) == [0, 0, 0]
        assert isinstance(image_rgb, np.ndarray) and list(image_rgb) == [1, 1, 1]

    def test_nan_never_wins(self):
        ex = Recording(answer=lambda a, b: np.float32("nan"))
        assert ex._find_closest_color((0, 0, 0), records((1, 1, 1), (2, 2, 2))) == (None, math.inf)

    def test_override_result_taken_as_float(self):
        ex = Recording(answer=lambda a, b: np.int64(4))
        _, distance = ex._find_closest_color((0, 0, 0), records((1, 1, 1)))
        assert distance == 4.0 and type(distance) is float
        ex.answer = lambda a, b: "far"
        with pytest.raises(TypeError):
            ex._find_closest_color((0, 0, 0), records((1, 1, 1)))

    @pytest.mark.parametrize(
        "target, colors, name, expected, note",
        [
            ([255, 0, 0], [], "target_color", "tuple", False),
            (None, [], "target_color", "tuple", False),
            ((255, 0, 0), (), "image_colors", "list", False),
            (collections.namedtuple("RGB", "r g b")(1, 2, 3), [], "target_color", "tuple", True),
            ((1, 2, 3), collections.UserList(), "image_colors", "list", False),
            ((1, 2, 3), type("Records", (list,), {})(), "image_colors", "list", True),
        ],
    )
    def test_argument_types(self, target, colors, name, expected, note):
        with pytest.raises(TypeError, match=rf"Argument '{name}' has incorrect type \(expected {expected}, got ") as info:
            ColorExtractor()._find_closest_color(target, colors)
        assert bool(getattr(info.value, "__notes__", None)) == note

    def test_record_without_colour(self):
        with pytest.raises(KeyError, match="color"):
            ColorExtractor()._find_closest_color((1, 2, 3), [{"percentage": 3.0}])


# ---- analyze_color_similarity -----------------------------------------------------


class Fixed(ColorExtractor):
    """Extraction and closest colour replaced by fixed answers: distances chosen by the test."""

    def __init__(self, distances, colors=None):
        super().__init__()
        self.distances = distances
        self.colors = records((10, 20, 30), (40, 50, 60)) if colors is None else colors

    def extract_colors(self, image, mask=None):
        return self.colors

    def _find_closest_color(self, target_color, image_colors):
        return image_colors[0], self.distances[target_color]


class TestSimilarity:
    def run(self, distance, threshold=50.0):
        ex = Fixed({(1, 1, 1): distance})
        return ex.analyze_color_similarity(None, {"t": (1, 1, 1)}, similarity_threshold=threshold)["t"], ex

    def test_exact_match(self):
        record, ex = self.run(0.0)
        assert list(record) == ["percentage", "similarity", "closest_color", "distance", "found_directly"]
        assert record == {"percentage": 40.0, "similarity": 100.0, "closest_color": (10, 20, 30),
                          "distance": 0.0, "found_directly": True}
        assert record["closest_color"] is ex.colors[0]["color"]

    def test_half_the_threshold(self):
        record, _ = self.run(25.0)
        assert (record["similarity"], record["percentage"]) == (50.0, 20.0)

    def test_at_the_threshold(self):
        record, _ = self.run(50.0)
        assert record["similarity"] == 0 and type(record["similarity"]) is int
        assert record["percentage"] == 0.0 and type(record["percentage"]) is float

    def test_beyond_the_threshold(self):
        record, _ = self.run(50.5)
        assert record == {"percentage": 0, "similarity": 0, "closest_color": (10, 20, 30),
                          "distance": 50.5, "found_directly": False}
        assert type(record["percentage"]) is int and type(record["similarity"]) is int

    def test_found_directly_ignores_a_small_threshold(self):
        record, _ = self.run(7.0, threshold=5.0)
        assert (record["percentage"], record["similarity"], record["found_directly"]) == (0, 0, True)

    def test_found_directly_is_strict(self):
        assert self.run(10.0)[0]["found_directly"] is False
        assert self.run(9.999)[0]["found_directly"] is True

    def test_zero_threshold_exact_match_gets_the_full_share(self):
        record, _ = self.run(0.0, threshold=0)
        assert (record["similarity"], record["percentage"]) == (100.0, 40.0)
        record, _ = self.run(0.5, threshold=0.0)
        assert (record["similarity"], record["percentage"]) == (0, 0)

    def test_int_threshold(self):
        assert self.run(15.0, threshold=30)[0] == self.run(15.0, threshold=30.0)[0]

    def test_order_kept_and_shares_may_add_above_100(self):
        ex = Fixed({(1, 1, 1): 0.0, (2, 2, 2): 0.0, (3, 3, 3): 0.0}, colors=[{"color": (9, 9, 9), "percentage": 60.0}])
        result = ex.analyze_color_similarity(None, {"c": (3, 3, 3), "a": (1, 1, 1), "b": (2, 2, 2)})
        assert list(result) == ["c", "a", "b"]
        assert sum(r["percentage"] for r in result.values()) == 180.0

    def test_nothing_extracted_or_no_targets(self):
        assert Fixed({}, colors=[]).analyze_color_similarity(None, {"t": (1, 1, 1)}) == {}
        assert Fixed({}).analyze_color_similarity(None, {}) == {}

    def test_real_photo_targets_at_extracted_colours(self, coffee):
        image = cv2.resize(coffee, (150, 100), interpolation=cv2.INTER_AREA)
        ex = ColorExtractor()
        colors = ex.extract_colors(image)
        targets = {f"c{i}": c["color"] for i, c in enumerate(colors)}
        result = ex.analyze_color_similarity(image, targets)
        for i, c in enumerate(colors):
            r = result[f"c{i}"]
            assert r["distance"] == 0.0 and r["similarity"] == 100.0 and r["found_directly"] is True
            assert r["percentage"] == c["percentage"] and r["closest_color"] == c["color"]

    def test_errors(self, coffee):
        coffee = crop(coffee, 150, 250, 40)
        ex = ColorExtractor()
        with pytest.raises(TypeError, match=r"target_colors.*expected dict, got collections.OrderedDict\)") as info:
            ex.analyze_color_similarity(coffee, collections.OrderedDict())
        assert info.value.__notes__
        with pytest.raises(TypeError, match="must be real number"):  # the threshold is checked first
            ex.analyze_color_similarity(coffee, [], similarity_threshold="x")
        with pytest.raises(TypeError, match="'target_color'.*expected tuple, got list"):
            ex.analyze_color_similarity(coffee, {"red": [255, 0, 0]})
        with pytest.raises(ValueError, match="Could not load image from nowhere.png"):
            ex.analyze_color_similarity("nowhere.png", {})

    def test_closest_colour_override_that_is_not_a_pair(self):
        class Triple(Fixed):
            def _find_closest_color(self, target_color, image_colors):
                return image_colors[0], 1.0, 2.0

        with pytest.raises(ValueError, match=r"too many values to unpack \(expected 2\)"):
            Triple({}).analyze_color_similarity(None, {"t": (1, 1, 1)})

    def test_targets_changing_size(self):
        class Growing(Fixed):
            def _find_closest_color(self, target_color, image_colors):
                targets["more"] = (2, 2, 2)
                return image_colors[0], 1.0

        targets = {"t": (1, 1, 1)}
        with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
            Growing({}).analyze_color_similarity(None, targets)


# ---- find_color_matches -------------------------------------------------------------


def plain(**kwargs):
    return dict(preprocessing=False, lab_space=False, **kwargs)


class TestMatchBands:
    # Six pixels in a row; with RGB features and no preprocessing they arrive as they are.
    image = np.array([[[1, 1, 1], [2, 2, 2], [3, 3, 3], [4, 4, 4], [5, 5, 5], [6, 6, 6]]], dtype=np.uint8)

    def run(self, distances, **targets):
        ex = Recording(**plain(), answer=lambda target, pixel: distances[int(pixel[0]) - 1])
        return ex.find_color_matches(self.image, targets or {"t": (9, 9, 9)}), ex

    def test_band_boundaries(self):
        result, ex = self.run([15.0, 14.99, 30.0, 29.99, 50.0, 49.99])
        record = result["t"]
        assert list(record) == ["total_percentage", "close_percentage", "very_close_percentage",
                                "closest_pixel", "min_distance", "similarity_score"]
        assert record["very_close_percentage"] == round(1 / 6 * 100, 2)
        assert record["close_percentage"] == round(3 / 6 * 100, 2)
        assert record["total_percentage"] == round(5 / 6 * 100, 2)
        assert record["closest_pixel"] == (2, 2, 2) and record["min_distance"] == 14.99
        assert record["similarity_score"] == round((50 - 14.99) / 50 * 100, 2)

    def test_called_once_per_pixel_and_target_target_first(self):
        _, ex = self.run([1.0] * 6, a=(9, 8, 7), b=(1, 2, 3))
        assert len(ex.calls) == 12
        target, pixel = ex.calls[7]
        assert list(target) == [1, 2, 3] and list(pixel) == [2, 2, 2]

    def test_nothing_near(self):
        record = self.run([50.0, 60, 70, 80, 90, 100])[0]["t"]
        assert record["similarity_score"] == 0 and type(record["similarity_score"]) is int
        assert record["total_percentage"] == record["close_percentage"] == record["very_close_percentage"] == 0.0

    def test_tie_takes_first_pixel(self):
        record = self.run([7.0, 3.0, 9.0, 3.0, 3.0, 8.0])[0]["t"]
        assert record["closest_pixel"] == (2, 2, 2)

    def test_exact_pixel_with_the_built_in_distance(self):
        # Dark greys 3 and 4 share one 8-bit L*a*b* value: the first of them is the closest pixel.
        assert reference_distance((3, 3, 3), (4, 4, 4)) == 0.0
        for ex in (ColorExtractor(**plain()), PerPixel(**plain())):
            record = ex.find_color_matches(self.image, {"t": (4, 4, 4)})["t"]
            assert record["min_distance"] == 0.0 and record["similarity_score"] == 100.0
            assert record["closest_pixel"] == (3, 3, 3)
            assert all(type(v) is int for v in record["closest_pixel"])

    def test_override_result_must_be_a_number(self):
        with pytest.raises(TypeError):
            self.run(["near"] * 6)


class TestMatchInputs:
    def test_no_pixels_or_no_targets(self, coffee):
        ex = ColorExtractor()
        assert ex.find_color_matches(coffee, {"t": (1, 2, 3)}, mask=np.zeros(coffee.shape[:2], np.uint8)) == {}
        assert ex.find_color_matches(coffee, {}) == {}

    @pytest.mark.parametrize("targets", [collections.OrderedDict(t=(1, 2, 3)), [("t", (1, 2, 3))], None])
    def test_targets_must_be_a_dict(self, coffee, targets):
        with pytest.raises(TypeError, match="Argument 'target_colors' has incorrect type"):
            ColorExtractor().find_color_matches(coffee, targets)

    def test_list_target_accepted(self, coffee):
        ex = ColorExtractor()
        assert ex.find_color_matches(coffee, {"r": [255, 0, 0]}) == ex.find_color_matches(coffee, {"r": (255, 0, 0)})

    def test_image_and_mask_errors(self, coffee, coffee_path):
        ex = ColorExtractor()
        with pytest.raises(ValueError, match="Could not load image from /no/such.png"):
            ex.find_color_matches("/no/such.png", {})
        with pytest.raises(TypeError, match="Cannot convert list to numpy.ndarray"):
            ex.find_color_matches([[1, 2, 3]], {})
        with pytest.raises(TypeError, match="Cannot convert str to numpy.ndarray"):
            ex.find_color_matches(coffee, {}, mask=coffee_path)

    def test_path_image(self, coffee, coffee_path):
        ex = ColorExtractor()
        assert ex.find_color_matches(coffee_path, {"t": (90, 50, 30)}) == ex.find_color_matches(coffee, {"t": (90, 50, 30)})

    def test_bands_nested(self, chelsea):
        for record in ColorExtractor().find_color_matches(chelsea, {"a": (200, 120, 60), "b": (20, 20, 20)}).values():
            assert 0 <= record["very_close_percentage"] <= record["close_percentage"] <= record["total_percentage"] <= 100

    def test_rgb_closest_pixel_is_a_pixel_row(self, chelsea):
        ex = ColorExtractor(lab_space=False)
        pixels = ex._extract_pixels(ex._convert_to_feature_space(ex._preprocess_image(chelsea)))
        record = ex.find_color_matches(chelsea, {"t": (128, 128, 128)})["t"]
        assert record["closest_pixel"] in {tuple(int(v) for v in p) for p in pixels}


# The whole-array path must give exactly what the pixel-by-pixel path gives.


def crop(image, top, left, size=72):
    return np.ascontiguousarray(image[top : top + size, left : left + size])


def assert_identical(a, b):
    assert list(a) == list(b)
    for name in a:
        assert list(a[name]) == list(b[name])
        for key in a[name]:
            x, y = a[name][key], b[name][key]
            assert type(x) is type(y) and repr(x) == repr(y), (name, key, x, y)


TARGETS = {"brown": (120, 70, 40), "cream": (235, 215, 190), "grey": (128, 128, 128), "black": (0, 0, 0)}


class TestWholeArrayPath:
    @pytest.mark.parametrize("lab_space", [True, False])
    @pytest.mark.parametrize("masked", [False, True])
    @pytest.mark.parametrize("photo, top, left", [("coffee", 150, 250), ("chelsea", 60, 180)])
    def test_same_records_as_pixel_by_pixel(self, request, photo, top, left, masked, lab_space):
        image = crop(request.getfixturevalue(photo), top, left)
        mask = None
        if masked:
            mask = np.zeros(image.shape[:2], np.uint8)
            cv2.circle(mask, (36, 36), 30, 255, -1)
        fast = ColorExtractor(lab_space=lab_space).find_color_matches(image, TARGETS, mask)
        slow = PerPixel(lab_space=lab_space).find_color_matches(image, TARGETS, mask)
        assert_identical(fast, slow)

    @pytest.mark.parametrize("target", [(300, -5, 10.7), np.array([250, 3, 90], np.uint16), (1.0e9, 0, 0)])
    def test_odd_targets_convert_alike(self, coffee, target):
        image = crop(coffee, 100, 100, 24)
        with np.errstate(all="ignore"):
            fast = ColorExtractor().find_color_matches(image, {"t": target})
            slow = PerPixel().find_color_matches(image, {"t": target})
        assert_identical(fast, slow)

    @pytest.mark.parametrize("target", [(1, 2), ("a", "b", "c"), None, ((1, 2, 3),)])
    def test_bad_targets_raise_alike(self, coffee, target):
        image = crop(coffee, 100, 100, 16)
        outcomes = []
        for ex in (ColorExtractor(), PerPixel()):
            try:
                outcomes.append(("ok", ex.find_color_matches(image, {"t": target})))
            except Exception as e:
                outcomes.append((type(e), str(e)))
        if outcomes[0][0] == "ok":
            assert_identical(outcomes[0][1], outcomes[1][1])
        else:
            assert outcomes[0] == outcomes[1]

    def test_unusual_pixels_fall_back(self, coffee):
        class FloatPixels(ColorExtractor):
            def _extract_pixels(self, image, mask=None):
                return ColorExtractor._extract_pixels(self, image, mask).astype(float) + 0.6

        class FloatPixelsPerPixel(FloatPixels, PerPixel):
            pass

        image = crop(coffee, 200, 300, 32)
        for lab_space in (True, False):
            assert_identical(
                FloatPixels(lab_space=lab_space).find_color_matches(image, TARGETS),
                FloatPixelsPerPixel(lab_space=lab_space).find_color_matches(image, TARGETS),
            )

    def test_converts_all_pixels_at_once(self, coffee, monkeypatch):
        calls = []

        class CountingCv2:
            def __getattr__(self, name):
                return getattr(cv2, name)

            def cvtColor(self, image, code):
                calls.append(image.shape)
                return cv2.cvtColor(image, code)

        monkeypatch.setattr(cy, "cv2", CountingCv2())
        ColorExtractor().find_color_matches(crop(coffee, 150, 250, 30), {"a": (1, 2, 3), "b": (4, 5, 6)})
        # preprocessing (2), feature space, then all pixels there and back, one per target
        assert calls[3:] == [(1, 900, 3), (1, 900, 3), (1, 1, 3), (1, 1, 3)]

    def test_subclass_without_override_matches_base(self, chelsea):
        class Plain(ColorExtractor):
            pass

        image = crop(chelsea, 0, 0, 40)
        assert_identical(Plain().find_color_matches(image, TARGETS), PerPixel().find_color_matches(image, TARGETS))


@pytest.mark.parametrize("code", [cv2.COLOR_LAB2RGB, cv2.COLOR_RGB2LAB], ids=["LAB2RGB", "RGB2LAB"])
def test_opencv_converts_an_image_like_single_pixels(code):
    """The whole-array path relies on this for every 8-bit colour; checked here on a sample."""
    rng = np.random.default_rng(2024)
    corners = np.array(np.meshgrid(*[[0, 1, 127, 128, 129, 254, 255]] * 3)).reshape(3, -1).T
    colours = np.concatenate([corners, rng.integers(0, 256, size=(40000, 3))]).astype(np.uint8)
    whole = cv2.cvtColor(colours.reshape(1, -1, 3), code).reshape(-1, 3)
    one_by_one = np.array([cv2.cvtColor(np.uint8([[c]]), code)[0][0] for c in colours])
    assert np.array_equal(whole, one_by_one)


# ---- metadata ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, annotations, defaults, doc_lines",
    [
        ("_color_distance_lab", {}, None, 1),
        ("_find_closest_color",
         {"target_color": "Tuple[int, int, int]", "image_colors": "List[dict]", "return": "Tuple[dict, float]"}, None, 1),
        ("analyze_color_similarity",
         {"target_colors": "Dict[str, Tuple[int, int, int]]", "similarity_threshold": "float", "return": "Dict[str, dict]"},
         (None, 50.0), 13),
        ("find_color_matches",
         {"target_colors": "Dict[str, Tuple[int, int, int]]", "return": "Dict[str, dict]"}, (None,), 11),
    ],
)
def test_metadata(name, annotations, defaults, doc_lines):
    f = getattr(ColorExtractor, name)
    assert list(f.__annotations__.items()) == list(annotations.items())
    assert f.__defaults__ == defaults
    assert len(f.__doc__.split("\n")) == doc_lines


# ---- reference leaks -------------------------------------------------------------------


class TestLeaks:
    def test_distance(self):
        ex, sub = ColorExtractor(), PerPixel()
        a, b, bad = np.array([1, 2, 3]), np.array([200, 100, 0]), (1, 2, 3)
        for fn in (
            lambda: ex._color_distance_lab(a, b),
            lambda: ex._color_distance_lab(bad, b),
            lambda: ex._color_distance_lab(None, b),
            lambda: sub._find_closest_color((1, 2, 3), [{"color": (1, 2, 3)}]),
        ):
            assert_no_leaks(fn, a, b, bad)

    def test_closest_and_similarity(self, coffee):
        ex = Fixed({(1, 1, 1): 3.0, (2, 2, 2): 80.0})
        colors = records((1, 2, 3), (4, 5, 6))
        targets = {"a": (1, 1, 1), "b": (2, 2, 2)}
        for fn in (
            lambda: ColorExtractor()._find_closest_color((1, 2, 3), colors),
            lambda: ColorExtractor()._find_closest_color([1, 2, 3], colors),
            lambda: ColorExtractor()._find_closest_color((1, 2, 3), [{"x": 1}]),
            lambda: ex.analyze_color_similarity(coffee, targets),
            lambda: ex.analyze_color_similarity(coffee, targets, similarity_threshold=0),
            lambda: ex.analyze_color_similarity(coffee, {"a": [1, 1, 1]}),
            lambda: ex.analyze_color_similarity(coffee, collections.OrderedDict()),
        ):
            assert_no_leaks(fn, coffee, colors, targets)

    def test_matches(self, coffee):
        image = crop(coffee, 150, 250, 6)
        mask = np.full(image.shape[:2], 255, np.uint8)
        targets = {"a": (120, 70, 40), "b": [0, 0, 0]}
        for ex in (ColorExtractor(), ColorExtractor(lab_space=False), PerPixel()):
            for fn in (
                lambda: ex.find_color_matches(image, targets, mask),
                lambda: ex.find_color_matches(image, {"bad": (1, 2)}),
                lambda: ex.find_color_matches(image, targets, "mask.png"),
                lambda: ex.find_color_matches("/no/such.png", targets),
            ):
                assert_no_leaks(fn, image, mask, targets, rounds=60)
