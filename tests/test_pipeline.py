"""extract_colors and its steps, compared call for call with the plain Python
extraction in reference.py, on real photographs (shrunk so k-means stays
quick; DBSCAN runs on small crops)."""

import gc
import re
import sys

import cv2
import numpy as np
import pytest

from reference import Reference
from velmora_huebit import color_extractor_cy as ce
from velmora_huebit.color_extractor_cy import ColorExtractor


def shrink(image, factor):
    h, w = image.shape[:2]
    return cv2.resize(image, (w // factor, h // factor), interpolation=cv2.INTER_AREA)


@pytest.fixture(scope="module")
def photos(data_dir):
    coffee = cv2.imread(str(data_dir / "coffee.png"))
    chelsea = cv2.imread(str(data_dir / "chelsea.png"))
    return {
        "coffee": shrink(coffee, 8),
        "chelsea": shrink(chelsea, 6),
        "tiny": shrink(chelsea, 15),
        # crops small enough for DBSCAN; the first holds more clusters than
        # three colours, so DBSCAN keeps only its largest ones
        "dark": np.ascontiguousarray(coffee[0:60, 0:60]),
        "cup": np.ascontiguousarray(coffee[150:250, 200:300]),
    }


def masks_for(image):
    """A 2-D mask (ellipse plus a 0-255 ramp across the threshold) and a
    three-channel mask whose channels differ, so its grey value matters."""
    h, w = image.shape[:2]
    ellipse = np.zeros((h, w), np.uint8)
    cv2.ellipse(ellipse, (w // 2, h // 2), (w // 3, h // 3), 0, 0, 360, 255, -1)
    ramp = np.tile(np.linspace(0, 255, w).astype(np.uint8), (h, 1))
    two_d = np.maximum(ellipse, ramp)
    three = np.dstack([ramp, 255 - ramp, ellipse])
    return two_d, three


def check_records(records):
    for r in records:
        assert type(r) is dict and list(r) == ["color", "percentage"]
        assert type(r["color"]) is tuple and len(r["color"]) == 3
        assert all(type(c) is int and 0 <= c <= 255 for c in r["color"])
        assert type(r["percentage"]) is float and round(r["percentage"], 2) == r["percentage"]
    shares = [r["percentage"] for r in records]
    assert shares == sorted(shares, reverse=True)


def both(settings, image, mask=None):
    got = ColorExtractor(*settings).extract_colors(image, mask)
    want = Reference(*settings).extract_colors(image, mask)
    check_records(got)
    assert got == want
    return got


class TestAgainstReference:
    @pytest.mark.parametrize("preprocessing", [True, False])
    @pytest.mark.parametrize("lab_space", [True, False])
    def test_kmeans(self, photos, preprocessing, lab_space):
        settings = (5, "kmeans", preprocessing, lab_space)
        got = both(settings, photos["coffee"])
        assert len(got) == 5
        # seed 42: the same records on every run
        assert ColorExtractor(*settings).extract_colors(photos["coffee"]) == got

    @pytest.mark.parametrize("kind", ["2-D", "3-channel", "path"])
    def test_kmeans_with_mask(self, photos, tmp_path, kind):
        image = photos["chelsea"]
        two_d, three = masks_for(image)
        if kind == "2-D":
            got = both((4,), image, two_d)
        else:
            got = both((4,), image, three)
        if kind == "path":
            path = str(tmp_path / "mask.png")
            cv2.imwrite(path, three)
            assert ColorExtractor(4).extract_colors(image, path) == got
        assert got != ColorExtractor(4).extract_colors(image)

    @pytest.mark.parametrize("preprocessing", [True, False])
    @pytest.mark.parametrize("lab_space", [True, False])
    @pytest.mark.parametrize("crop", ["dark", "cup"])
    def test_dbscan(self, photos, crop, preprocessing, lab_space):
        both((3, "dbscan", preprocessing, lab_space), photos[crop])

    def test_dbscan_keeps_largest_clusters_with_their_shares(self, photos):
        got = both((3, "dbscan", False, True), photos["dark"])
        assert len(got) == 3 and sum(r["percentage"] for r in got) < 99

    def test_dbscan_with_mask(self, photos):
        image = photos["cup"]
        both((3, "dbscan", True, True), image, masks_for(image)[1])

    def test_image_path(self, photos, tmp_path):
        path = str(tmp_path / "photo.png")
        cv2.imwrite(path, photos["tiny"])
        assert ColorExtractor(3).extract_colors(path) == Reference(3).extract_colors(path)


def color_blocks(*blocks):
    """A one-pixel-high image of (count, BGR) runs, in that order."""
    return np.concatenate([np.full((1, n, 3), bgr, np.uint8) for n, bgr in blocks], axis=1)


# three pixels, two colours: fewer pixels than colours, so k-means is skipped
BLOCKS = color_blocks((2, (10, 20, 30)), (1, (40, 50, 60)))


class TestDbscanPairing:
    # three dense clusters of 100, 300 and 200 pixels: labels 0, 1, 2
    IMAGE = color_blocks((100, (255, 0, 0)), (300, (0, 255, 0)), (200, (0, 0, 255)))

    def test_clusters(self):
        pixels = cv2.cvtColor(self.IMAGE, cv2.COLOR_BGR2RGB).reshape(-1, 3)
        colors, labels = ColorExtractor(2, "dbscan")._cluster_colors_dbscan(pixels)
        assert labels.tolist() == [0] * 100 + [1] * 300 + [2] * 200
        assert colors.tolist() == [[0.0, 255.0, 0.0], [255.0, 0.0, 0.0]]

    def test_kept_colours_carry_their_own_share(self):
        got = both((2, "dbscan", False, False), self.IMAGE)
        assert got == [{"color": (0, 255, 0), "percentage": 50.0},
                       {"color": (255, 0, 0), "percentage": 33.33}]
        got = both((2, "dbscan", False, True), self.IMAGE)
        assert [r["percentage"] for r in got] == [50.0, 33.33]

    def test_all_clusters_kept(self):
        assert both((3, "dbscan", False, False), self.IMAGE) == [
            {"color": (0, 255, 0), "percentage": 50.0},
            {"color": (255, 0, 0), "percentage": 33.33},
            {"color": (0, 0, 255), "percentage": 16.67},
        ]


class TestKmeansPairing:
    # k-means asked for more clusters than there are colours may leave some
    # empty; each share must stay with the centre of its own label
    CENTRES = np.array([[0, 0, 0], [10, 20, 30], [0, 0, 0], [40, 50, 60]], float)

    @pytest.mark.parametrize("labels, expected", [
        ([1, 1, 3], [((10, 20, 30), 66.67), ((40, 50, 60), 33.33)]),
        ([1, 1, 7], [((0, 0, 0), 66.67), ((10, 20, 30), 33.33)]),  # not indices: by position
    ])
    def test_shares_follow_the_labels_that_occur(self, labels, expected):
        centres = self.CENTRES
        cls = type("Gaps", (ColorExtractor,), {
            "_cluster_colors_kmeans": lambda self, pixels: (centres, np.array(labels))})
        got = cls(4, "kmeans", False, False).extract_colors(BLOCKS)
        assert [(r["color"], r["percentage"]) for r in got] == expected


class Recorder:
    """Stand-in for a scikit-learn estimator class: records how it was made."""

    calls = []

    def __init__(self, *args, **kwargs):
        Recorder.calls.append((args, kwargs))

    def fit_predict(self, x):
        self.cluster_centers_ = np.zeros((3, 3))
        return np.full(len(x), -1)


@pytest.fixture()
def recorder(monkeypatch):
    Recorder.calls = []
    return Recorder


class TestSteps:
    def test_preprocess(self, photos):
        image = photos["tiny"]
        off = ColorExtractor(preprocessing=False)
        assert off._preprocess_image(image) is image
        assert off._preprocess_image(None) is None
        before = image.copy()
        out = ColorExtractor()._preprocess_image(image)
        assert out is not image and np.array_equal(image, before)
        assert np.array_equal(out, Reference()._preprocess_image(image))
        with pytest.raises(cv2.error):
            ColorExtractor()._preprocess_image(None)

    @pytest.mark.parametrize("lab_space", [True, False])
    def test_feature_space(self, photos, lab_space):
        image = photos["tiny"]
        out = ColorExtractor(lab_space=lab_space)._convert_to_feature_space(image)
        assert np.array_equal(out, Reference(lab_space=lab_space)._convert_to_feature_space(image))

    def test_apply_mask(self, photos):
        image = photos["tiny"]
        ext = ColorExtractor()
        assert ext._apply_mask(image, None) is image
        for mask in masks_for(image):
            assert np.array_equal(ext._apply_mask(image, mask), Reference()._apply_mask(image, mask))
        edge = np.full(image.shape[:2], 128, np.uint8)
        edge[0, 0] = 129
        out = ext._apply_mask(image, edge)
        assert np.array_equal(out[0, 0], image[0, 0]) and not out.reshape(-1)[3:].any()
        # 0/1 masks are below the threshold
        assert not ext._apply_mask(image, np.ones(image.shape[:2], np.uint8)).any()
        with pytest.raises(cv2.error):
            ext._apply_mask(image, edge[1:])

    def test_extract_pixels(self, photos):
        image = photos["tiny"]
        ext = ColorExtractor()
        for mask in (None, *masks_for(image)):
            assert np.array_equal(ext._extract_pixels(image, mask), Reference()._extract_pixels(image, mask))
        small = np.array([[[1, 2, 3], [0, 0, 0]], [[0, 0, 1], [4, 5, 6]]], np.uint8)
        assert ext._extract_pixels(small).tolist() == [[1, 2, 3], [0, 0, 1], [4, 5, 6]]
        edge = np.array([[128, 129], [255, 0]], np.uint8)
        assert ext._extract_pixels(small, edge).tolist() == [[0, 0, 1]]
        out = ext._extract_pixels(small, mask=np.zeros((2, 2), np.uint8))
        assert out.shape == (0, 3)

    @pytest.mark.parametrize("labels, expected", [
        ([0, 0, 1, 2, 2, 2], [33.33333333333333, 16.666666666666664, 50.0]),
        ([-1, -1, 0, 1, 1, 1], [25.0, 75.0]),
        ([5, 2, 2, 9], [50.0, 25.0, 25.0]),
        ([-1, -1], []),
        ([], []),
    ])
    def test_percentages(self, labels, expected):
        got = ColorExtractor()._calculate_percentages(np.array(labels, dtype=np.int64))
        assert type(got) is list and got == expected
        assert all(type(p) is float for p in got)

    def test_kmeans_few_pixels(self, monkeypatch, recorder):
        monkeypatch.setattr(ce, "KMeans", recorder)
        pixels = np.array([[9, 9, 9], [1, 2, 3], [9, 9, 9]], np.uint8)
        colors, labels = ColorExtractor(5)._cluster_colors_kmeans(pixels)
        assert colors.dtype == np.uint8 and colors.tolist() == [[1, 2, 3], [9, 9, 9]]
        assert labels.tolist() == [0, 1] and recorder.calls == []
        image = pixels[None, :, ::-1].copy()
        assert both((5, "kmeans", False, False), image) == [
            {"color": (1, 2, 3), "percentage": 50.0}, {"color": (9, 9, 9), "percentage": 50.0}]

    def test_kmeans_settings(self, monkeypatch, recorder):
        monkeypatch.setattr(ce, "KMeans", recorder)
        pixels = np.arange(12, dtype=np.uint8).reshape(4, 3)
        colors, labels = ColorExtractor(3)._cluster_colors_kmeans(pixels)
        assert recorder.calls == [((), {"n_clusters": 3, "random_state": 42, "n_init": 10})]
        assert list(recorder.calls[0][1]) == ["n_clusters", "random_state", "n_init"]

    @pytest.mark.parametrize("rows, min_samples", [(10, 50), (5000, 50), (5099, 50), (5100, 51), (12345, 123)])
    def test_dbscan_min_samples(self, monkeypatch, recorder, rows, min_samples):
        monkeypatch.setattr(ce, "DBSCAN", recorder)
        pixels = np.random.default_rng(rows).integers(0, 256, (rows, 3)).astype(np.uint8)
        colors, labels = ColorExtractor()._cluster_colors_dbscan(pixels)
        (args, kwargs), = recorder.calls
        assert args == () and list(kwargs) == ["eps", "min_samples"]
        assert type(kwargs["eps"]) is float and kwargs["eps"] == 0.5
        assert type(kwargs["min_samples"]) is int and kwargs["min_samples"] == min_samples
        assert colors.shape == (0,) and (labels == -1).all()


class TestEmptyPixels:
    @pytest.mark.parametrize("algorithm", ["kmeans", "dbscan", "meanshift", None])
    def test_mask_excludes_everything(self, photos, algorithm):
        image = photos["tiny"]
        mask = np.full(image.shape[:2], 128, np.uint8)
        assert ColorExtractor(algorithm=algorithm).extract_colors(image, mask) == []

    @pytest.mark.parametrize("lab_space", [True, False])
    def test_dbscan_all_noise(self, photos, lab_space):
        # fewer than 50 pixels: DBSCAN finds no cluster at all
        assert ColorExtractor(algorithm="dbscan", lab_space=lab_space).extract_colors(photos["tiny"][:5, :5]) == []

    def test_black_image_in_rgb(self):
        black = np.zeros((4, 5, 3), np.uint8)
        assert ColorExtractor(algorithm="meanshift", preprocessing=False, lab_space=False).extract_colors(black) == []


def subclass_pair(mixin):
    return type("Native", (mixin, ColorExtractor), {}), type("Plain", (mixin, Reference), {})


class Darker:
    def _preprocess_image(self, image):
        self.seen.append(("_preprocess_image", image))
        return super()._preprocess_image(image) // 2


class Inverted:
    def _convert_to_feature_space(self, image):
        self.seen.append(("_convert_to_feature_space", image))
        return super()._convert_to_feature_space(255 - image)


class HalfMask:
    def _apply_mask(self, image, mask):
        self.seen.append(("_apply_mask", image, mask))
        return super()._apply_mask(image, mask) // 2


class EveryOther:
    def _extract_pixels(self, *args, **kwargs):
        self.seen.append(("_extract_pixels", *args, kwargs))
        return super()._extract_pixels(*args, **kwargs)[::2]


class Halved:
    def _calculate_percentages(self, labels):
        self.seen.append(("_calculate_percentages", labels))
        return [p / 2 for p in super()._calculate_percentages(labels)]


class TestOverrides:
    @pytest.mark.parametrize("mixin", [Darker, Inverted, HalfMask, EveryOther, Halved])
    def test_typed_step_override_is_used(self, photos, mixin):
        image = photos["tiny"]
        mask = masks_for(image)[0]
        results = []
        for cls in subclass_pair(mixin):
            ext = cls(3)
            ext.seen = []
            results.append(ext.extract_colors(image, mask))
            assert len(ext.seen) == 1
        assert results[0] == results[1] != ColorExtractor(3).extract_colors(image, mask)

    @pytest.mark.parametrize("shares, expected", [([60.0], [60.0]), ([10.0, 20.0, 30.0], [20.0, 10.0])])
    def test_pairs_end_with_the_shorter_sequence(self, shares, expected):
        cls = type("Shares", (ColorExtractor,), {"_calculate_percentages": lambda self, labels: shares})
        got = cls(5, "kmeans", False, False).extract_colors(BLOCKS)
        assert [r["percentage"] for r in got] == expected

    def test_override_arguments(self, photos):
        image = photos["tiny"]
        ext = subclass_pair(EveryOther)[0](3)
        ext.seen = []
        ext.extract_colors(image)
        (_, feature_image, mask, kwargs), = ext.seen
        assert mask is None and kwargs == {}
        assert np.array_equal(feature_image, Reference()._convert_to_feature_space(Reference()._preprocess_image(image)))

    def test_subclass_without_overrides(self, photos):
        class Plain(ColorExtractor):
            pass
        assert Plain(3).extract_colors(photos["tiny"]) == ColorExtractor(3).extract_colors(photos["tiny"])

    @pytest.mark.parametrize("step, value, message", [
        ("_preprocess_image", [1], "Cannot convert list to numpy.ndarray"),
        ("_convert_to_feature_space", "lab", "Cannot convert str to numpy.ndarray"),
        ("_apply_mask", (1,), "Cannot convert tuple to numpy.ndarray"),
        ("_extract_pixels", 3, "Cannot convert int to numpy.ndarray"),
        ("_calculate_percentages", (50.0, 50.0), "Expected list, got tuple"),
        ("_calculate_percentages", type("Shares", (list,), {})([50.0]), "Expected list, got Shares"),
        ("_calculate_percentages", None, "'NoneType' object is not iterable"),
    ])
    def test_wrong_result_type(self, step, value, message):
        cls = type("Bad", (ColorExtractor,), {step: lambda self, *args: value})
        with pytest.raises(TypeError) as info:
            cls(5, preprocessing=False).extract_colors(BLOCKS, np.full(BLOCKS.shape[:2], 255, np.uint8))
        assert str(info.value) == message

    def test_clustering_override(self, photos):
        image = photos["tiny"]

        class Fixed(ColorExtractor):
            def _cluster_colors_kmeans(self, pixels):
                self.rows = len(pixels)
                return np.array([[10.0, 20.0, 30.0], [200.0, 100.0, 50.0]]), np.array([1, 0, 1, 1])

        ext = Fixed(lab_space=False)
        assert ext.extract_colors(image) == [{"color": (200, 100, 50), "percentage": 75.0},
                                             {"color": (10, 20, 30), "percentage": 25.0}]
        assert ext.rows == image.shape[0] * image.shape[1]
        # an instance attribute is found by the same lookup
        ext._cluster_colors_kmeans = lambda pixels: (np.array([[1, 2, 3]]), np.array([0]))
        assert ext.extract_colors(image) == [{"color": (1, 2, 3), "percentage": 100.0}]

        class Dense(ColorExtractor):
            def _cluster_colors_dbscan(self, pixels):
                return iter([np.array([[5, 6, 7]]), np.zeros(3, int)])

        assert Dense(algorithm="dbscan", lab_space=False).extract_colors(image) == [
            {"color": (5, 6, 7), "percentage": 100.0}]

    @pytest.mark.parametrize("result, exc, message", [
        ((1, 2, 3), ValueError, "too many values to unpack (expected 2)"),
        ([1, 2, 3], ValueError, "too many values to unpack (expected 2)"),
        ((1,), ValueError, "need more than 1 value to unpack"),
        (iter([]), ValueError, "need more than 0 values to unpack"),
        ((np.zeros((1, 3)), [0]), TypeError, "Cannot convert list to numpy.ndarray"),
    ])
    @pytest.mark.parametrize("algorithm", ["kmeans", "dbscan"])
    def test_clustering_result_not_a_pair(self, photos, algorithm, result, exc, message):
        name = "_cluster_colors_" + algorithm
        cls = type("Odd", (ColorExtractor,), {name: lambda self, pixels: result})
        with pytest.raises(exc) as info:
            cls(algorithm=algorithm).extract_colors(photos["tiny"])
        assert str(info.value) == message


class TestErrors:
    def test_load_errors(self, photos, tmp_path, coffee_path):
        missing = str(tmp_path / "missing.png")
        with pytest.raises(ValueError, match="^" + re.escape("Could not load image from " + missing) + "$"):
            ColorExtractor().extract_colors(missing)
        with pytest.raises(ValueError, match="^" + re.escape("Could not load mask from " + missing) + "$"):
            ColorExtractor().extract_colors(coffee_path, missing)
        # both loads come before the image's type is checked
        with pytest.raises(ValueError, match="^Could not load mask from "):
            ColorExtractor().extract_colors([[1, 2, 3]], missing)

    @pytest.mark.parametrize("image, name", [([[0, 0, 0]], "list"), ((1, 2), "tuple"), (b"x.png", "bytes")])
    def test_image_type(self, image, name):
        with pytest.raises(TypeError, match=f"^Cannot convert {name} to numpy.ndarray$"):
            ColorExtractor().extract_colors(image)

    def test_mask_of_other_type(self, photos):
        with pytest.raises(TypeError, match="^Cannot convert list to numpy.ndarray$"):
            ColorExtractor().extract_colors(photos["tiny"], [[255]])

    def test_ndarray_subclass_accepted(self, photos):
        image = photos["tiny"]
        view = image.view(type("Sub", (np.ndarray,), {}))
        assert ColorExtractor(3).extract_colors(view) == ColorExtractor(3).extract_colors(image)

    @pytest.mark.parametrize("algorithm", ["meanshift", None, "KMeans"])
    def test_unknown_algorithm(self, photos, algorithm):
        with pytest.raises(ValueError) as info:
            ColorExtractor(algorithm=algorithm).extract_colors(photos["tiny"])
        assert str(info.value) == f"Unknown algorithm: {algorithm}"

    @pytest.mark.parametrize("method, args, name, got", [
        ("_preprocess_image", ([1],), "image", "list"),
        ("_convert_to_feature_space", ("img.png",), "image", "str"),
        ("_apply_mask", ((1,), None), "image", "tuple"),
        ("_apply_mask", (None, [[255]]), "mask", "list"),
        ("_extract_pixels", (3,), "image", "int"),
        ("_calculate_percentages", ([0, 1],), "labels", "list"),
        ("_cluster_colors_kmeans", ([[1, 2, 3]],), "pixels", "list"),
        ("_cluster_colors_dbscan", ("pixels",), "pixels", "str"),
    ])
    def test_argument_types(self, method, args, name, got):
        with pytest.raises(TypeError) as info:
            getattr(ColorExtractor(), method)(*args)
        assert str(info.value) == f"Argument '{name}' has incorrect type (expected numpy.ndarray, got {got})"

    @pytest.mark.parametrize("mask, name", [([[255]], "list"), ("mask.png", "str")])
    def test_extract_pixels_mask_type(self, photos, mask, name):
        with pytest.raises(TypeError, match=f"^Cannot convert {name} to numpy.ndarray$"):
            ColorExtractor()._extract_pixels(photos["tiny"], mask)

    def test_argument_counts(self, photos):
        ext = ColorExtractor()
        with pytest.raises(TypeError, match=r"^extract_colors\(\) takes at least 1 positional argument \(0 given\)$"):
            ext.extract_colors()
        with pytest.raises(TypeError, match=r"^extract_colors\(\) takes at most 2 positional arguments \(3 given\)$"):
            ext.extract_colors(photos["tiny"], None, None)
        with pytest.raises(TypeError, match="unexpected keyword argument 'masks'"):
            ext.extract_colors(photos["tiny"], masks=None)


def outcome(fn, *args):
    try:
        fn(*args)
    except Exception as e:  # noqa: BLE001 - the failure itself is compared
        return type(e), str(e)
    raise AssertionError("no exception")


class TestLibraryFailures:
    """Failures inside NumPy, OpenCV, scikit-learn or an override reach the
    caller as the exception they raised, as in the plain extraction."""

    @pytest.mark.parametrize("settings, attrs, method, args", [
        ((5,), {}, "_cluster_colors_kmeans", (np.zeros((2, 2)),)),
        ((5,), {}, "_cluster_colors_kmeans", (None,)),
        ((5,), {}, "_cluster_colors_dbscan", (np.zeros((0, 3)),)),
        ((5,), {}, "_preprocess_image", (np.zeros((4, 4, 3), np.float32),)),
        ((5,), {}, "_convert_to_feature_space", (np.zeros((4, 4)),)),
        ((5,), {}, "_apply_mask", (BLOCKS, np.array([[None, 1, 2]], dtype=object))),
        ((5,), {}, "_extract_pixels", (None,)),
        ((5,), {}, "extract_colors", (np.zeros((1, 4), np.uint8),)),
        ((5, "kmeans", False), {"_cluster_colors_kmeans": lambda self, p: (np.array([["a", "b", "c"]]), np.array([0]))},
         "extract_colors", (BLOCKS,)),
        ((5, "kmeans", False, False), {"_cluster_colors_kmeans": lambda self, p: (np.array([1.0, 2.0]), np.array([0, 1]))},
         "extract_colors", (BLOCKS,)),
        ((5, "kmeans", False), {"_calculate_percentages": lambda self, labels: ["x"]}, "extract_colors", (BLOCKS,)),
        ((5, "kmeans", False), {"_preprocess_image": lambda self, image: None}, "extract_colors", (BLOCKS,)),
        ((5, "kmeans", False), {"_extract_pixels": lambda self, image, mask: None}, "extract_colors", (BLOCKS,)),
        ((5, "kmeans", False), {}, "extract_colors", (None,)),
        ((0, "kmeans", False), {}, "extract_colors", (BLOCKS,)),
    ])
    def test_same_failure(self, settings, attrs, method, args):
        native = type("N", (ColorExtractor,), attrs)(*settings)
        plain = type("P", (Reference,), attrs)(*settings)
        got = outcome(getattr(native, method), *args)
        assert got == outcome(getattr(plain, method), *args)
        assert got[0] is not SystemError

    def test_failing_fit(self, monkeypatch):
        class Failing:
            def __init__(self, **kwargs):
                pass

            def fit_predict(self, x):
                raise RuntimeError("no fit")

        monkeypatch.setattr(ce, "DBSCAN", Failing)
        monkeypatch.setattr(ce, "KMeans", Failing)
        for algorithm in ("kmeans", "dbscan"):
            with pytest.raises(RuntimeError, match="^no fit$"):
                ColorExtractor(1, algorithm, False).extract_colors(BLOCKS)


class Proxy:
    """Forwards to a module and notes every name read from it."""

    def __init__(self, module):
        self.module, self.names = module, []

    def __getattr__(self, name):
        self.names.append(name)
        return getattr(self.module, name)


class TestGlobals:
    def test_replaced_globals_are_used(self, photos, monkeypatch):
        fake_cv2, fake_np = Proxy(cv2), Proxy(np)
        monkeypatch.setattr(ce, "cv2", fake_cv2)
        monkeypatch.setattr(ce, "np", fake_np)
        ColorExtractor()._preprocess_image(photos["tiny"])
        assert sorted(fake_cv2.names) == sorted(["cvtColor", "COLOR_BGR2LAB", "createCLAHE", "cvtColor",
                                                 "COLOR_LAB2BGR", "bilateralFilter"])
        ColorExtractor()._calculate_percentages(np.array([0, 1, 1]))
        assert sorted(fake_np.names) == ["sum", "unique"]
        monkeypatch.undo()
        ColorExtractor()._preprocess_image(photos["tiny"])
        assert len(fake_cv2.names) == 6

    @pytest.mark.parametrize("name, call", [
        ("cv2", lambda ext, img: ext.extract_colors(img)),
        ("np", lambda ext, img: ext._calculate_percentages(np.array([0]))),
        ("KMeans", lambda ext, img: ext._cluster_colors_kmeans(np.zeros((9, 3)))),
        ("StandardScaler", lambda ext, img: ext._cluster_colors_dbscan(np.zeros((9, 3)))),
        ("DBSCAN", lambda ext, img: ext._cluster_colors_dbscan(np.zeros((9, 3)))),
    ])
    def test_missing_global(self, photos, monkeypatch, name, call):
        monkeypatch.delattr(ce, name)
        with pytest.raises(NameError, match=f"^name '{name}' is not defined$"):
            call(ColorExtractor(), photos["tiny"])


def expect(exc, fn, *args):
    try:
        fn(*args)
    except exc:
        pass
    else:
        raise AssertionError(f"{fn} did not raise {exc}")


class TestLeaks:
    def test_repeated_calls(self, monkeypatch):
        class FastKMeans:
            def __init__(self, **kwargs):
                pass

            def fit_predict(self, pixels):
                self.cluster_centers_ = np.zeros((3, 3))
                return np.arange(len(pixels)) % 3

        monkeypatch.setattr(ce, "KMeans", FastKMeans)
        image = color_blocks((3, (10, 20, 30)), (5, (40, 50, 60)), (2, (0, 0, 0)))
        dense = TestDbscanPairing.IMAGE
        mask = np.full(image.shape, 200, np.uint8)
        labels = np.array([0, 1, 1, -1])
        few, many = ColorExtractor(20), ColorExtractor(3)
        dbscan = ColorExtractor(2, "dbscan", False, False)
        bad_step = type("Bad", (ColorExtractor,), {"_apply_mask": lambda self, i, m: [i]})()
        bad_pair = type("Odd", (ColorExtractor,), {"_cluster_colors_kmeans": lambda self, p: (p,)})()
        unknown = ColorExtractor(algorithm="meanshift")

        def run():
            few.extract_colors(image, mask)
            few.extract_colors(image, mask[:, :, 0])
            many.extract_colors(image)
            dbscan.extract_colors(dense)
            few._apply_mask(image, mask)
            few._extract_pixels(image, mask)
            few._calculate_percentages(labels)
            expect(ValueError, few.extract_colors, "/nonexistent/photo.png")
            expect(ValueError, few.extract_colors, image, "/nonexistent/mask.png")
            expect(ValueError, unknown.extract_colors, image)
            expect(TypeError, few.extract_colors, [image])
            expect(TypeError, few._extract_pixels, image, [mask])
            expect(TypeError, few._apply_mask, image, [mask])
            expect(TypeError, bad_step.extract_colors, image, mask)
            expect(ValueError, bad_pair.extract_colors, image)

        args = (image, mask, labels, dense, few, unknown)
        for _ in range(5):
            run()
        gc.collect()
        refs = [sys.getrefcount(a) for a in args]
        objects, blocks = len(gc.get_objects()), sys.getallocatedblocks()
        for _ in range(200):
            run()
        gc.collect()
        assert [sys.getrefcount(a) for a in args] == refs
        assert len(gc.get_objects()) - objects < 100
        # arrays and records are not tracked by gc; count memory blocks too
        assert sys.getallocatedblocks() - blocks < 500
