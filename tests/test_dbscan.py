"""DBSCAN on 8-bit pixels runs natively; its labels and colours must be the
library's, bit for bit, and the library must still run wherever the outcome
could differ."""

import os
import subprocess
import sys

import cv2
import numpy as np
import pytest
import sklearn.cluster

from reference import Reference
from test_pipeline import masks_for, shrink
from velmora_huebit import color_extractor_cy as ce
from velmora_huebit.color_extractor_cy import ColorExtractor


def same_as_library(pixels, n_colors=5):
    got = ColorExtractor(n_colors, "dbscan")._cluster_colors_dbscan(pixels)
    want = Reference(n_colors, "dbscan")._cluster_colors_dbscan(pixels)
    for g, w in zip(got, want):
        assert (g.dtype, g.shape) == (w.dtype, w.shape) and g.tobytes() == w.tobytes()
    return got


def runs(*runs):
    """Pixels of (first-channel level, count) runs, in that order; the other
    two channels are constant."""
    return np.array([[level, 100, 50] for level, count in runs for _ in range(count)], np.uint8)


def first_labels(labels, *runs):
    starts = np.cumsum([0] + [count for _, count in runs])[:-1]
    return labels[starts].tolist()


@pytest.mark.parametrize("lab_space", [True, False])
@pytest.mark.parametrize("preprocessing", [True, False])
@pytest.mark.parametrize("masked", [False, True])
def test_photos(data_dir, lab_space, preprocessing, masked):
    for name, factor in [("coffee", 8), ("chelsea", 6)]:
        image = shrink(cv2.imread(str(data_dir / f"{name}.png")), factor)
        mask = masks_for(image)[1] if masked else None
        settings = (3, "dbscan", preprocessing, lab_space)
        extractor = ColorExtractor(*settings)
        feature = extractor._convert_to_feature_space(extractor._preprocess_image(image))
        same_as_library(extractor._extract_pixels(feature, mask), 3)
        assert extractor.extract_colors(image, mask) == Reference(*settings).extract_colors(image, mask)


# Levels 11, 12 and 13 lie exactly eps apart after scaling (mean 12, scale
# 2). Level 11 is core only with level 12 counted (6 + 45 = 51); level 13
# (45 + 2 = 47) is a border colour exactly eps from the core.
EXACT_EPS = [(8, 8), (11, 6), (12, 45), (13, 2), (16, 9)]
# Level 100 is a border colour of both clusters, {60, 80} and {120, 140}.
BETWEEN = [(0, 10), (60, 40), (80, 20), (100, 1), (120, 20), (140, 40), (255, 10)]
SWAPPED = [(0, 10), (120, 20), (140, 40), (100, 1), (60, 40), (80, 20), (255, 10)]
# The first pixel is a border colour of the cluster found second.
FIRST_IN_SECOND = [(160, 1), (0, 10), (60, 40), (80, 20), (120, 20), (140, 40), (255, 10)]


@pytest.mark.parametrize("case, expected", [
    (EXACT_EPS, [-1, 0, 0, 0, -1]),
    (BETWEEN, [-1, 0, 0, 0, 1, 1, -1]),
    (SWAPPED, [-1, 0, 0, 0, 1, 1, -1]),
    (FIRST_IN_SECOND, [1, -1, 0, 0, 1, 1, -1]),
    ([(7, 49)], [-1]),  # fewer rows than min_samples
    ([(7, 50)], [0]),  # one repeated colour: zero spread
])
def test_built_cases(case, expected):
    colors, labels = same_as_library(runs(*case))
    assert first_labels(labels, *case) == expected


def test_exact_eps_case_is_exact():
    scaled = np.unique(ce.StandardScaler().fit_transform(runs(*EXACT_EPS))[:, 0])
    assert scaled.tolist() == [-2.0, -0.5, 0.0, 0.5, 2.0]


def test_all_noise():
    pixels = np.random.default_rng(1).integers(0, 256, (300, 3)).astype(np.uint8)
    colors, labels = same_as_library(pixels, n_colors=-1)  # more clusters than colours: none
    assert colors.shape == (0,) and (labels == -1).all()


@pytest.mark.parametrize("rows, clusters", [(5000, 2), (5100, 1)])
def test_min_samples_grows_from_5100_rows(rows, clusters):
    # 50 pixels of one colour are a cluster while min_samples is 50
    pixels = runs((10, 50), (200, rows - 50))
    colors, labels = same_as_library(pixels)
    assert labels.max() + 1 == clusters


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("n_colors", [2, 0])
def test_many_clusters_cut_to_the_largest(seed, n_colors):
    rng = np.random.default_rng(seed)
    centres = rng.uniform(0, 255, (25, 3))
    which = rng.integers(0, 25, 4000)
    pixels = np.clip(centres[which] + rng.normal(0, 3, (4000, 3)), 0, 255).astype(np.uint8)
    colors, labels = same_as_library(pixels, n_colors)
    assert labels.max() + 1 > 5


@pytest.fixture()
def library_calls(monkeypatch):
    """Counts fit_predict calls of the library's DBSCAN class."""
    calls = []
    original = sklearn.cluster.DBSCAN.fit_predict

    def fit_predict(self, *args, **kwargs):
        calls.append(self)
        return original(self, *args, **kwargs)

    monkeypatch.setattr(sklearn.cluster.DBSCAN, "fit_predict", fit_predict)
    return calls


class Pixels(np.ndarray):
    pass


@pytest.mark.parametrize("make, native", [
    (lambda p: p, True),
    (lambda p: np.asfortranarray(p), True),
    (lambda p: np.repeat(p, 2, axis=0)[::2], True),
    (lambda p: p.astype(np.float64), False),
    (lambda p: p.view(Pixels), False),
])
def test_engine_only_for_plain_8bit_arrays(library_calls, make, native):
    pixels = make(runs(*BETWEEN))
    colors, labels = ColorExtractor()._cluster_colors_dbscan(pixels)
    assert first_labels(labels, *BETWEEN) == [-1, 0, 0, 0, 1, 1, -1]
    assert len(library_calls) == (0 if native else 1)


def test_replaced_global_runs_the_library(monkeypatch, library_calls):
    class Recorded(sklearn.cluster.DBSCAN):
        pass

    monkeypatch.setattr(ce, "DBSCAN", Recorded)
    ColorExtractor()._cluster_colors_dbscan(runs(*BETWEEN))
    assert [type(c) for c in library_calls] == [Recorded]


def test_no_rows_raise_the_library_error():
    with pytest.raises(ValueError, match="0 sample"):
        ColorExtractor()._cluster_colors_dbscan(np.zeros((0, 3), np.uint8))


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_broadcast_view_of_trillions_fails_at_once(dtype):
    # the library's scaler would sum every value the view stands for, for hours
    huge = np.broadcast_to(np.zeros(1, dtype), (2, 2**42))
    with pytest.raises(MemoryError):
        ColorExtractor()._cluster_colors_dbscan(huge)
    small = np.broadcast_to(np.float32([[10, 20, 30]]), (60, 3))
    colors, labels = ColorExtractor()._cluster_colors_dbscan(small)
    assert colors.tolist() == [[10, 20, 30]] and labels.tolist() == [0] * 60


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer reserves terabytes of address space and adds its own memory")
def test_memory_stays_bounded(data_dir):
    # a million pixels: the library's neighbour lists would need tens of GB
    script = f"""
import resource, cv2
from velmora_huebit.color_extractor_cy import ColorExtractor
image = cv2.resize(cv2.imread({str(data_dir / "coffee.png")!r}), (1000, 1000))
resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
assert ColorExtractor(algorithm="dbscan", preprocessing=False).extract_colors(image)
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert int(out.stdout) < 1 << 20  # KiB: under 1 GB
