"""find_color_matches on distinct values gives the pixel-by-pixel records bit
for bit; target colours, special paths, narrow images and the class signature."""

import inspect
import os
import socket
import subprocess
import sys
import textwrap
import threading

import cv2
import numpy as np
import pytest

from test_matching import PerPixel, assert_identical, assert_no_leaks, both_paths, crop
from velmora_huebit import color_extractor_cy as cy
from velmora_huebit.color_extractor_cy import ColorExtractor

TARGETS = {"brown": (120, 70, 40), "cream": (235.9, 215, 190), "grey": np.array([128, 128, 128], np.uint16),
           "black": [0, 0, 0], "white": (255, 255, 255)}


def lab_of(rgb):
    return cv2.cvtColor(np.uint8(rgb).reshape(1, -1, 3), cv2.COLOR_RGB2LAB).reshape(-1, 3).astype(int)


ALL_RGB = np.stack(np.meshgrid(*[np.arange(0, 256, 3)] * 3, indexing="ij"), -1).reshape(-1, 3).astype(np.uint8)


def tied_pair(target):
    """Two RGB colours at the same distance from the target, the larger value first."""
    s = ((lab_of(ALL_RGB) - lab_of([target])[0]) ** 2).sum(1)
    values, counts = np.unique(s[s > 0], return_counts=True)
    return sorted(ALL_RGB[s == values[counts >= 2][0]][:2].tolist(), reverse=True)


def at_squared_distance(target, squares):
    """RGB colours whose L*a*b* values lie at exactly these squared distances from the target's."""
    s = ((lab_of(ALL_RGB) - lab_of([target])[0]) ** 2).sum(1)
    return [ALL_RGB[np.flatnonzero(s == q)] for q in squares]


class TestSameRecords:
    @pytest.mark.parametrize("lab_space", [True, False])
    @pytest.mark.parametrize("mask", ["grey", "colour", "bool"])
    def test_photo_with_masks(self, chelsea, lab_space, mask):
        image = crop(chelsea, 60, 180, 48)
        grey = cv2.circle(np.zeros(image.shape[:2], np.uint8), (24, 24), 20, 200, -1)
        masks = {"grey": grey, "colour": cv2.cvtColor(grey, cv2.COLOR_GRAY2BGR), "bool": grey > 0}
        assert_identical(*both_paths(dict(lab_space=lab_space), image, TARGETS, masks[mask]))

    @pytest.mark.parametrize("lab_space", [True, False])
    def test_bands_exactly_at_15_30_50(self, lab_space):
        target = (120, 70, 40)
        found = at_squared_distance(target, [15**2, 30**2, 50**2, 15**2 - 1, 50**2 + 1])
        pixels = np.concatenate([f[:3] for f in found])
        assert len(pixels) >= 10
        image = pixels[:, ::-1].reshape(1, -1, 3).copy()
        result = both_paths(dict(preprocessing=False, lab_space=lab_space), image, {"t": target})
        assert_identical(*result)

    def test_ties_go_to_the_first_pixel(self):
        # two pixels at the same distance with different RGB values, in either order
        target = (100, 100, 100)
        for first, second in [tied_pair(target), tied_pair(target)[::-1]]:
            image = np.array([[second[::-1], first[::-1], second[::-1]]], np.uint8)[:, 1:]
            for lab_space in (True, False):
                fast, slow = both_paths(dict(preprocessing=False, lab_space=lab_space), image, {"t": target})
                assert_identical(fast, slow)
            assert fast["t"]["closest_pixel"] == tuple(first)  # as given, without L*a*b*

    @pytest.mark.parametrize("lab_space", [True, False])
    def test_one_value_and_every_pixel_distinct(self, lab_space):
        one = np.full((40, 30, 3), (30, 90, 200), np.uint8)
        distinct = np.random.default_rng(3).permutation(64 * 64 * 16).reshape(64, 64, 16)[..., :1]
        distinct = np.concatenate([distinct % 256, distinct // 256, distinct % 7], axis=2).astype(np.uint8)
        assert len(np.unique(distinct.reshape(-1, 3), axis=0)) == 64 * 64
        for image in (one, distinct):
            assert_identical(*both_paths(dict(preprocessing=False, lab_space=lab_space), image, TARGETS))

    @pytest.mark.parametrize("masked", [False, True])
    def test_millions_of_pixels_counted_by_threads(self, chelsea, masked, monkeypatch):
        # Shared out to threads by rows and groups: the same records as the
        # whole-array path (a replaced global), which converts every pixel.
        image = cv2.resize(chelsea, (2047, 2051), interpolation=cv2.INTER_NEAREST)
        image = np.clip(image + np.random.default_rng(5).integers(-3, 4, image.shape), 0, 255).astype(np.uint8)
        mask = cv2.circle(np.zeros(image.shape[:2], np.uint8), (900, 1100), 800, 255, -1) if masked else None
        fast = ColorExtractor(preprocessing=False).find_color_matches(image, TARGETS, mask)

        class PassThrough:
            def __getattr__(self, name):
                return getattr(cv2, name)

        monkeypatch.setattr(cy, "cv2", PassThrough())
        assert_identical(fast, ColorExtractor(preprocessing=False).find_color_matches(image, TARGETS, mask))

    def test_shares_and_scores_rounded_as_numpy_rounds(self):
        # Many pixel totals and distances: each share and score must round as
        # round() rounds a NumPy float, which is not how it rounds a Python float.
        rng = np.random.default_rng(7)
        target = (120, 70, 40)
        for _ in range(40):
            h, w = rng.integers(1, 14, 2)
            image = np.clip(rng.normal((40, 70, 120), 25, (h, w, 3)), 0, 255).astype(np.uint8)
            for lab_space in (True, False):
                assert_identical(*both_paths(dict(preprocessing=False, lab_space=lab_space), image, {"t": target}))

    def test_black_pixels_and_empty_cases(self):
        image = np.zeros((6, 6, 3), np.uint8)
        image[0, 0] = (5, 0, 0)
        for lab_space in (True, False):
            assert_identical(*both_paths(dict(preprocessing=False, lab_space=lab_space), image, TARGETS))
        assert ColorExtractor(lab_space=False, preprocessing=False).find_color_matches(image * 0, TARGETS) == {}
        assert ColorExtractor().find_color_matches(image, {}) == {}


class TestFallbacks:
    """Where the kernel cannot stand in, the call goes the other ways, with the same records."""

    def test_pixel_step_overridden(self, coffee):
        class OwnPixels(ColorExtractor):
            def _extract_pixels(self, image, mask=None):
                return ColorExtractor._extract_pixels(self, image, mask)[::2]

        class OwnPixelsPerPixel(OwnPixels, PerPixel):
            pass

        image = crop(coffee, 150, 250, 40)
        for lab_space in (True, False):
            assert_identical(OwnPixels(lab_space=lab_space).find_color_matches(image, TARGETS),
                             OwnPixelsPerPixel(lab_space=lab_space).find_color_matches(image, TARGETS))

    def test_replaced_global(self, coffee, monkeypatch):
        image = crop(coffee, 150, 250, 24)
        expected = ColorExtractor().find_color_matches(image, TARGETS)
        calls = []

        class Numpy:
            def __getattr__(self, name):
                calls.append(name)
                return getattr(np, name)

        monkeypatch.setattr(cy, "np", Numpy())
        assert_identical(ColorExtractor().find_color_matches(image, TARGETS), expected)
        assert "argmin" in calls  # measured through the global, not by the kernel

    @pytest.mark.parametrize("layout", ["reversed", "transposed", "broadcast", "float", "subclass"])
    def test_odd_arrays(self, coffee, layout):
        image = crop(coffee, 100, 100, 20)
        image = {"reversed": image[::-1, ::-2], "transposed": image.transpose(1, 0, 2),
                 "broadcast": np.broadcast_to(image[:1, :1], (20, 20, 3)), "float": image.astype(np.float32),
                 "subclass": image.view(type("Sub", (np.ndarray,), {}))}[layout]
        fast, slow = both_paths(dict(preprocessing=False), image, TARGETS)
        if isinstance(fast, dict):
            assert_identical(fast, slow)
        else:
            assert fast == slow

    def test_odd_targets(self, coffee):
        image = crop(coffee, 100, 100, 12)
        for target in [np.array([[1, 2, 3]]), (1, 2), ("1", "2", "3"), None, np.array([1.0, 2, 3], ">f8"),
                       [10.9, True, 254.99], (0.0, -0.0, 255)]:
            fast, slow = both_paths({}, image, {"a": (1, 2, 3), "t": target})
            if isinstance(fast, dict):
                assert_identical(fast, slow)
            else:
                assert fast == slow


class TestOwnConversions:
    """The kernel converts by itself where that gives cv2.cvtColor's bytes, and calls it otherwise."""

    def test_every_value_as_opencv_converts_it(self):
        from velmora_huebit import _lab8

        if cv2.__version__ not in _lab8.RELEASES:
            pytest.skip(f"OpenCV {cv2.__version__} is not among the releases the kernel converts for")
        keys = np.arange(1 << 24, dtype=np.uint32)
        image = np.stack([keys >> 16, keys >> 8 & 255, keys & 255], -1).astype(np.uint8).reshape(4096, 4096, 3)

        def as_keys(a):
            a = a.reshape(-1, 3).astype(np.uint32)
            return a[:, 0] << 16 | a[:, 1] << 8 | a[:, 2]

        for code in ("BGR2LAB", "RGB2LAB", "LAB2RGB"):
            mine = np.frombuffer(_lab8.convert(image, code), np.uint8).reshape(image.shape)
            assert np.array_equal(mine, cv2.cvtColor(image, getattr(cv2, "COLOR_" + code))), code
        lab_of = lambda rgb: cv2.cvtColor(rgb, cv2.COLOR_RGB2LAB)  # noqa: E731
        bgr_lab = cv2.cvtColor(image, cv2.COLOR_BGR2LAB)
        swapped = cv2.cvtColor(image, cv2.COLOR_BGR2RGB)
        chains = {"LabFromBgr": (cv2.cvtColor(bgr_lab, cv2.COLOR_LAB2RGB), bgr_lab),
                  "RgbFromBgr": (swapped, swapped),
                  "LabRows": (cv2.cvtColor(image, cv2.COLOR_LAB2RGB), None), "RgbRows": (image, None)}
        for name, (rgb, feature) in chains.items():
            got = [np.frombuffer(b, np.uint32) for b in _lab8.chain(keys, name)]
            assert np.array_equal(got[0], as_keys(rgb)) and np.array_equal(got[1], as_keys(lab_of(rgb))), name
            blank = np.zeros(len(keys), bool) if feature is None else ~feature.reshape(-1, 3).any(1)
            assert np.array_equal(got[2], (~blank).astype(np.uint32)), name

    def test_a_replaced_cvtcolor_is_called_for_the_values(self, coffee, monkeypatch):
        image = crop(coffee, 150, 250, 40)
        rows = []

        def cvt_color(src, code, *args):
            rows.append(src.shape)
            return real(src, code, *args)

        real = cv2.cvtColor
        monkeypatch.setattr(cv2, "cvtColor", cvt_color)
        for lab_space in (True, False):
            assert_identical(*both_paths(dict(preprocessing=False, lab_space=lab_space), image, TARGETS))
        assert any(shape[0] == 1 and shape[1] > 100 for shape in rows)  # one row of distinct values

    def test_an_unlisted_opencv_release_is_left_to_opencv(self, coffee, monkeypatch):
        image = crop(coffee, 150, 250, 40)
        monkeypatch.setattr(cv2, "__version__", "4.10.0")
        for lab_space in (True, False):
            assert_identical(*both_paths(dict(preprocessing=False, lab_space=lab_space), image, TARGETS))

    def test_the_portable_switch_is_read_at_import(self):
        from velmora_huebit import _lab8

        code = "from velmora_huebit import _lab8; print(_lab8.VECTOR_LOOPS)"
        env = dict(os.environ, VELMORA_HUEBIT_PORTABLE="1")
        run = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
        assert run.stdout == "False\n", run.stderr
        assert _lab8.VECTOR_LOOPS == (os.environ.get("VELMORA_HUEBIT_PORTABLE", "0") in ("", "0")
                                      and "avx2" in open("/proc/cpuinfo").read())

    def test_changed_colour_codes_are_followed(self, coffee, monkeypatch):
        image = crop(coffee, 150, 250, 40)
        plain = ColorExtractor(preprocessing=False).find_color_matches(image, TARGETS)
        monkeypatch.setattr(cv2, "COLOR_RGB2LAB", cv2.COLOR_RGB2HSV)
        changed = both_paths(dict(preprocessing=False), image, TARGETS)
        assert_identical(*changed)
        assert changed[0] != plain


class TestHelperThreads:
    """Photos of 64k pixels and more are counted, converted and measured on helper threads."""

    def test_same_records_on_any_number_of_threads_and_callers(self, coffee):
        images = [crop(coffee, 40 * i, 60 * i, 300) for i in range(3)]
        masks = [None, cv2.circle(np.zeros((300, 300), np.uint8), (150, 150), 120, 255, -1), None]
        ex = ColorExtractor(preprocessing=False)
        threads_before = cv2.getNumThreads()
        try:
            cv2.setNumThreads(1)
            alone = [ex.find_color_matches(im, TARGETS, m) for im, m in zip(images, masks)]
            cv2.setNumThreads(4)
            results = [None] * 12
            def work(i):
                results[i] = ex.find_color_matches(images[i % 3], TARGETS, masks[i % 3])
            callers = [threading.Thread(target=work, args=(i,)) for i in range(12)]
            for t in callers:
                t.start()
            for t in callers:
                t.join()
        finally:
            cv2.setNumThreads(threads_before)
        for i, result in enumerate(results):
            assert_identical(result, alone[i % 3])
        assert_identical(alone[0], PerPixel(preprocessing=False).find_color_matches(images[0], TARGETS))

    def test_a_forked_child_starts_helpers_of_its_own(self):
        script = textwrap.dedent("""
            import os, cv2, numpy as np, threading
            from velmora_huebit.color_extractor_cy import ColorExtractor
            cv2.setNumThreads(2)
            image = np.random.default_rng(1).integers(0, 256, (320, 320, 3), dtype=np.uint8)
            ex, targets = ColorExtractor(preprocessing=False), {"t": (10, 200, 30)}
            expected = ex.find_color_matches(image, targets)
            # another thread sharing out while this one forks
            busy = threading.Thread(target=lambda: [ex.find_color_matches(image, targets) for _ in range(50)])
            busy.start()
            for _ in range(5):
                pid = os.fork()
                if pid == 0:
                    os._exit(0 if ex.find_color_matches(image, targets) == expected else 1)
                assert os.waitpid(pid, 0)[1] == 0
            busy.join()
        """)
        subprocess.run([sys.executable, "-W", "ignore::DeprecationWarning", "-c", script], check=True, timeout=120)


class TestTargetRange:
    @pytest.mark.parametrize("target", [(256, 0, 0), (-1, 0, 0), (float("nan"), 0, 0), (0, float("inf"), 0),
                                        (2**70, 0, 0), np.array([300, 0, 0]), (1j, 0, 0), (255.5, 0, 0)])
    def test_outside_0_to_255_is_refused(self, coffee, target):
        image, ex = crop(coffee, 100, 100, 8), ColorExtractor()
        for call in (lambda: ex.find_color_matches(image, {"red": (255, 0, 0), "odd": target}),
                     lambda: PerPixel().find_color_matches(image, {"odd": target}),
                     lambda: ex.analyze_color_similarity(image, {"odd": tuple(target)}),
                     lambda: ex._find_closest_color(tuple(target), [])):
            with pytest.raises(ValueError, match="Target color components must be finite numbers from 0 to 255"):
                call()

    def test_in_range_values_as_before(self, coffee):
        image, ex = crop(coffee, 100, 100, 8), ColorExtractor()
        result = ex.find_color_matches(image, {"int": (10, 20, 255), "float": (10.7, 20.2, 255.0),
                                               "numpy": np.array([10, 20, 255], np.uint8),
                                               "bool": (True, False, True), "one": (1, 0, 1)})
        assert result["int"] == result["float"] == result["numpy"] and result["bool"] == result["one"]


# ---- paths that would block the reader -------------------------------------------------------


def test_fifos_sockets_and_devices_fail_like_unreadable_files(tmp_path, coffee_path):
    os.mkfifo(tmp_path / "fifo")
    with socket.socket(socket.AF_UNIX) as s:
        s.bind(str(tmp_path / "socket"))
    image = np.zeros((4, 4, 3), np.uint8)
    outcomes = []

    def run():
        for path in (str(tmp_path / "fifo"), str(tmp_path / "socket"), "/dev/zero", "/dev/null"):
            for what, call in [("image", lambda: ColorExtractor().extract_colors(path)),
                               ("mask", lambda: ColorExtractor().extract_colors(image, path)),
                               ("mask", lambda: ColorExtractor().extract_colors(coffee_path, path)),
                               ("image", lambda: ColorExtractor().find_color_matches(path, {})),
                               ("image", lambda: ColorExtractor().analyze_color_similarity(path, {}))]:
                try:
                    call()
                    outcomes.append(f"{path}: no error")
                except ValueError as exc:
                    outcomes.append(str(exc) == f"Could not load {what} from {path}" or str(exc))

    worker = threading.Thread(target=run, daemon=True)
    worker.start()
    worker.join(60)
    if worker.is_alive():  # let the blocked reader go
        os.close(os.open(tmp_path / "fifo", os.O_WRONLY | os.O_NONBLOCK))
        pytest.fail("a path blocked the reader")
    assert outcomes == [True] * 20


# ---- the bilateral filter on narrow images ------------------------------------------------------


def reference_preprocess(image):
    lab = cv2.cvtColor(image, cv2.COLOR_BGR2LAB)
    lab[:, :, 0] = cv2.createCLAHE(clipLimit=3.0, tileGridSize=(8, 8)).apply(lab[:, :, 0])
    return cv2.bilateralFilter(cv2.cvtColor(lab, cv2.COLOR_LAB2BGR), 9, 75, 75)


@pytest.mark.parametrize("shape", [(64, 1), (65, 3), (200, 2), (301, 8), (130, 9), (1000, 1)])
def test_narrow_images_filtered_as_one_thread_filters_them(shape):
    # Small enough for OpenCV to keep them on one thread whole: the bands must give just that.
    image = np.random.default_rng(sum(shape)).integers(0, 256, (*shape, 3), dtype=np.uint8)
    image[::7] //= 3
    assert np.array_equal(ColorExtractor()._preprocess_image(image), reference_preprocess(image))


def test_tall_narrow_images_no_longer_crash():
    code = textwrap.dedent("""
        import cv2, numpy as np
        from velmora_huebit.color_extractor_cy import ColorExtractor
        threads = cv2.getNumThreads()
        for shape in [(100000, 1), (30000, 3), (100000, 2)]:
            image = np.random.default_rng(0).integers(0, 256, (*shape, 3), dtype=np.uint8)
            image[::5] //= 4
            processed = ColorExtractor()._preprocess_image(image)
            assert cv2.getNumThreads() == threads
            assert ColorExtractor().extract_colors(np.full((*shape, 3), 100, np.uint8))
            cv2.setNumThreads(1)
            lab = cv2.cvtColor(image, cv2.COLOR_BGR2LAB)
            lab[:, :, 0] = cv2.createCLAHE(clipLimit=3.0, tileGridSize=(8, 8)).apply(lab[:, :, 0])
            single = cv2.bilateralFilter(cv2.cvtColor(lab, cv2.COLOR_LAB2BGR), 9, 75, 75)
            cv2.setNumThreads(threads)
            assert np.array_equal(processed, single), shape
    """)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr[-3000:]


# ---- the class signature ------------------------------------------------------------------------


def test_text_signature():
    expected = "(n_colors=5, algorithm='kmeans', preprocessing=True, lab_space=True)"
    assert str(inspect.signature(ColorExtractor)) == expected
    assert str(inspect.signature(type("Sub", (ColorExtractor,), {}))) == expected
    assert str(inspect.signature(ColorExtractor.__init__)) == "(self, /, " + expected[1:]
    assert ColorExtractor.__doc__ is None and ColorExtractor.__dict__["__doc__"] is None
    assert ColorExtractor.__init__.__doc__.startswith("\n        Initialize ColorExtractor with robust")


# ---- reference leaks ------------------------------------------------------------------------------


def test_no_leaks(coffee, tmp_path):
    os.mkfifo(tmp_path / "fifo")
    image = crop(coffee, 150, 250, 10)
    grey = np.full(image.shape[:2], 200, np.uint8)
    colour = cv2.cvtColor(grey, cv2.COLOR_GRAY2BGR)
    first, second = tied_pair((100, 100, 100))
    ties = np.array([[first[::-1], second[::-1]]], np.uint8)
    narrow = np.random.default_rng(0).integers(0, 256, (70, 1, 3), dtype=np.uint8)
    ex, plain, sub = ColorExtractor(), ColorExtractor(preprocessing=False), PerPixel()
    targets, bad = {"a": (1, 2, 3), "b": [200, 100, 0]}, {"a": (1, 2, 3), "b": (256, 0, 0)}
    fifo = str(tmp_path / "fifo")
    calls = [
        lambda: ex.find_color_matches(image, targets), lambda: ex.find_color_matches(image, targets, grey),
        lambda: ex.find_color_matches(image, targets, colour), lambda: plain.find_color_matches(ties, {"t": (100,) * 3}),
        lambda: ex.find_color_matches(image, bad), lambda: sub.find_color_matches(image, bad),
        lambda: ex.find_color_matches(image, {}), lambda: ex.find_color_matches(image, targets, grey[:-1]),
        lambda: ex._find_closest_color((1, 2, 300), []), lambda: ex.extract_colors(fifo),
        lambda: ex.extract_colors(image, fifo), lambda: ex._preprocess_image(narrow),
    ]
    assert_no_leaks(calls, [image, grey, colour, ties, narrow, targets, bad, fifo], rounds=60)
