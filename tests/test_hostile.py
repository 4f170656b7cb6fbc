"""No input crashes the process.

A short run of the hostile calls in fuzz/ (`make fuzz` runs the long one), and
the kinds of input that once killed the process, each in a child process so
that a crash fails the test and names the call instead of ending pytest.
"""

import pathlib
import subprocess
import sys
import textwrap

import matplotlib.pyplot as plt
import pytest

from velmora_huebit.color_extractor_cy import ColorExtractor

ROOT = pathlib.Path(__file__).resolve().parent.parent


def test_hostile_calls_end_in_exceptions():
    run = subprocess.run([sys.executable, str(ROOT / "fuzz" / "run.py"), "--seeds", "0",
                          "--examples", "80"], capture_output=True, text=True, timeout=900)
    assert run.returncode == 0, run.stdout[-3000:] + run.stderr[-6000:]
    assert " 0 process deaths, 0 failures" in run.stdout


CASES = {
    # cv2.imread dereferenced a null pointer for a str without UTF-8 form; a
    # NUL made it read the file named by the text before it.
    "paths the reader cannot take": """
        image = np.zeros((4, 4, 3), np.uint8)
        for path in ["x\\udcff.png", "\\udc80", COFFEE + "\\x00.txt"]:
            for what, call in [
                ("image", lambda: ColorExtractor().extract_colors(path)),
                ("mask", lambda: ColorExtractor().extract_colors(image, path)),
                ("image", lambda: ColorExtractor().find_color_matches(path, {"red": (255, 0, 0)})),
                ("image", lambda: ColorExtractor().analyze_color_similarity(path, {})),
            ]:
                try:
                    call()
                except ValueError as exc:
                    assert str(exc) == f"Could not load {what} from {path}", exc
                else:
                    raise AssertionError(repr(path))
    """,
    # OpenCV copied arrays it could not use as they were through NumPy, and a
    # copy that failed left it with a null array.
    "arrays OpenCV would copy": """
        class Refusing(np.ndarray):
            pass

        image = np.random.default_rng(1).integers(0, 256, (9, 12, 3), dtype=np.uint8)
        mask = np.where(image > 100, 255, 0).astype(np.uint8)
        sliced, sliced_mask = image[:, ::2], mask[:, ::2]
        hostile, hostile_mask = sliced.view(Refusing), sliced_mask.view(Refusing)
        wide = image.astype(np.int64).view(Refusing)
        Refusing.__array_finalize__ = lambda self, obj: 1 / 0
        obj, plain = ColorExtractor(3), ColorExtractor(3, preprocessing=False)
        pairs = [
            (lambda i, m: obj.extract_colors(i), "image"),
            (lambda i, m: obj._preprocess_image(i), "image"),
            (lambda i, m: obj._convert_to_feature_space(i), "image"),
            (lambda i, m: plain._apply_mask(np.ascontiguousarray(sliced), m), "mask"),
            (lambda i, m: obj.find_color_matches(i, {"red": (255, 0, 0)}), "image"),
        ]
        for call, what in pairs:
            expected = call(sliced, sliced_mask)
            got = call(hostile, hostile_mask) if what == "image" else call(sliced, hostile_mask)
            assert repr(got) == repr(expected), (got, expected)
        errors = []
        for source in [wide, wide.view(np.ndarray)]:
            try:
                obj._convert_to_feature_space(source)
            except cv2.error as exc:
                errors.append(str(exc))
        assert len(errors) == 2 and errors[0] == errors[1], errors
        huge = np.broadcast_to(np.zeros(3, np.uint8), (2**20, 2**20, 3))
        for call in [obj._convert_to_feature_space, obj.extract_colors]:
            try:
                call(huge)
            except MemoryError:
                pass
            else:
                raise AssertionError("a 3 TiB copy succeeded")
    """,
    # A subclass override that calls back into a method recursed through C
    # frames until the stack ran out, first on small thread stacks; then
    # k-means (through scikit-learn) at the deepest level, where
    # the room kept for a call was halved on stacks under 256 KB.
    "recursion through overrides": """
        import threading

        image = np.random.default_rng(1).integers(0, 256, (6, 6, 3), dtype=np.uint8)
        targets = {"t": (1, 2, 3)}

        class Preprocess(ColorExtractor):
            def _preprocess_image(self, image):
                return self.extract_colors(image)

        class Distance(ColorExtractor):
            def _color_distance_lab(self, a, b):
                return self.find_color_matches(image[:2, :2], targets)

        class Pixels(ColorExtractor):
            def _extract_pixels(self, image, mask=None):
                return self._preprocess_image(self.extract_colors(image, mask))

        class Percentages(ColorExtractor):
            def _calculate_percentages(self, labels):
                return self.extract_colors(image[:3, :3])

        calls = [lambda: Preprocess(3).extract_colors(image),
                 lambda: Distance(3, preprocessing=False).find_color_matches(image[:2, :2], targets),
                 lambda: Pixels(3).extract_colors(image)]
        deep = calls + [lambda: Percentages(3).extract_colors(image)]  # slow on big stacks
        endings = []

        def run(calls):
            for call in calls:
                try:
                    call()
                except RecursionError:
                    endings.append("RecursionError")

        sizes = [0, 256 * 1024, 160 * 1024, 96 * 1024, 64 * 1024, 32 * 1024]  # 32 KB: the least
        for size in sizes:
            if size:
                threading.stack_size(size)
            thread = threading.Thread(target=run, args=(deep if 0 < size < 100_000 else calls,))
            thread.start()
            thread.join()
        assert endings == ["RecursionError"] * (len(calls) * len(sizes) + 3), endings
    """,
    # The chart read a colour to its end: an empty array of 2^40 rows took for ever.
    "colours without end": """
        import itertools
        import matplotlib
        matplotlib.use("Agg")
        for colour in [np.empty((2**40, 0, 3), np.uint8), itertools.count()]:
            try:
                ColorExtractor().visualize_colors([{"color": colour, "percentage": 5}])
            except ValueError:
                pass
            else:
                raise AssertionError("drawn")
    """,
}


@pytest.mark.parametrize("code", CASES.values(), ids=CASES.keys())
def test_input_that_once_crashed(code, coffee_path):
    prelude = "import cv2, numpy as np\nfrom velmora_huebit.color_extractor_cy import ColorExtractor\n"
    script = prelude + f"COFFEE = {coffee_path!r}\n" + textwrap.dedent(code) + "print('done')\n"
    run = subprocess.run([sys.executable, "-X", "faulthandler", "-c", script],
                         capture_output=True, text=True, timeout=600)
    assert run.returncode == 0 and run.stdout.endswith("done\n"), run.stderr[-4000:]


def test_failed_chart_closes_its_figure():
    plt.close("all")
    obj = ColorExtractor()
    for records, save_path, error in [
        ([{"color": (1, 2, 3)}], None, KeyError),
        ([{"color": (1, 2, 3), "percentage": 50.0}, {"color": (1, 2), "percentage": 50.0}], None,
         ValueError),
        ([{"color": (1, 2, 3), "percentage": 50.0}], "/nonexistent/dir/chart.png", OSError),
    ]:
        with pytest.raises(error):
            obj.visualize_colors(records, save_path)
        assert plt.get_fignums() == []
    obj.visualize_colors([{"color": (1, 2, 3), "percentage": 50.0}])
    assert len(plt.get_fignums()) == 1
    plt.close("all")
