"""match (velmora_huebit.analysis.match): in ΔE2000 by default, against an
independent CIEDE2000; with the module's measures, the same records as the
module's similarity analysis on the palette engine's colours."""

import json
import pathlib
import re

import cv2
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import velmora_huebit
from velmora_huebit.analysis import match as _match
from velmora_huebit.analysis.delta_e import delta_e_match
from velmora_huebit.analysis.palette import dominant_colors, palette
from velmora_huebit.analysis.engines import make_extractor
from velmora_huebit.outputs.records import json_record
from velmora_huebit.analysis.job import Job
from velmora_huebit.runs.work import run_one
from velmora_huebit.color_extractor_cy import ColorExtractor
from test_cli import run_cli

ROOT = pathlib.Path(__file__).resolve().parent.parent
PHOTOS = sorted((ROOT / "tests" / "data").glob("*.png")) + sorted((ROOT / "bench" / "photos").glob("*.[jp][pn]g"))


class ModuleMatcher(ColorExtractor):
    """The command line's palette-engine match as it was: the module's own
    analysis, its colours from the palette engine."""

    def __init__(self, n_colors=5):
        super().__init__(n_colors, "kmeans", False, True)
        self.k = n_colors

    def extract_colors(self, image, mask=None):
        return dominant_colors(image, mask, self.k)


class Given(ColorExtractor):
    def __init__(self, records):
        super().__init__()
        self.records = records

    def extract_colors(self, image, mask=None):
        return self.records


def typed(result):
    return [(name, [(k, type(v), repr(v)) for k, v in record.items()]) for name, record in result.items()]


def lab_of(rgb):
    return cv2.cvtColor(np.asarray(rgb, np.uint8).reshape(1, -1, 3), cv2.COLOR_RGB2LAB)[0].astype(np.int64)


def edge_targets(records):
    """Targets where the records' arithmetic turns: each dominant colour
    itself, colours at exactly 5, 10 and 50 from the first (and no nearer
    to the others), and one equally near the first two."""
    colours = np.array([r["color"] for r in records])
    span = np.arange(-40, 41)
    steps = np.stack(np.meshgrid(span, span, span, indexing="ij"), -1).reshape(-1, 3)
    cube = (colours[0] + steps).clip(0, 255)
    squares = ((lab_of(cube)[:, None] - lab_of(colours)[None]) ** 2).sum(axis=2)
    targets = {f"own{i}": tuple(map(int, c)) for i, c in enumerate(colours)}
    for d in (5, 10, 50):
        found = np.flatnonzero((squares[:, 0] == d * d) & (squares.min(axis=1) == d * d))
        if found.size:
            targets[f"at{d}"] = tuple(map(int, cube[found[0]]))
    if len(records) > 1:
        middle = ((colours[0] + colours[1]) // 2 + steps).clip(0, 255)
        squares = ((lab_of(middle)[:, None] - lab_of(colours)[None]) ** 2).sum(axis=2)
        found = np.flatnonzero((squares[:, 0] == squares[:, 1]) & (squares.min(axis=1) == squares[:, 0]))
        if found.size:
            targets["tie"] = tuple(map(int, middle[found[0]]))
    return {**targets, "cream": (240, 207, 175), "navy": (0, 0, 128)}


@pytest.fixture(scope="module")
def targets():
    """Every photo's edge targets, named after their photo."""
    return {f"{photo.stem} {name}": rgb for photo in PHOTOS
            for name, rgb in edge_targets(palette(photo, names=None)).items()}


# ---- the command line against the module's analysis ------------------------------


@pytest.mark.parametrize("threshold, pixels", [(50, False), (5, False), (10.0, False), (0, False), (None, True)])
def test_command_line_records_unchanged(targets, threshold, pixels):
    job = Job("match", max_side=256, targets=targets, pixels=pixels, threshold=threshold)
    expected = []
    for photo in PHOTOS:
        before, after = (run_one(m, job, str(photo), None)
                         for m in (ModuleMatcher(), make_extractor(job, {"n_colors": 5})))
        assert typed(after.result) == typed(before.result) and after.warnings == before.warnings
        expected.append(json_record(str(photo), job, before))
    options = ["--pixels"] if pixels else [] if threshold is None else ["--threshold", threshold]
    flags = [a for name, rgb in targets.items() for a in ("-t", f"{name}=" + "%d,%d,%d" % rgb)]
    proc = run_cli("match", *PHOTOS, "--json", *flags, *options)
    assert proc.returncode == 0 and proc.stderr == f"velmora-huebit: 0 of {len(PHOTOS)} photos failed, 0 with warnings\n"
    assert [json.loads(line) for line in proc.stdout.splitlines()] == expected
    # the edges were reached on some photo
    assert {"at5", "at10", "at50", "tie"} <= {name.split()[1] for name in targets}


def test_few_colours_and_empty_image(tmp_path):
    two = np.repeat(np.array([[[0, 0, 255], [255, 0, 0]]], np.uint8), 5, 0)
    cv2.imwrite(str(tmp_path / "two.png"), two)
    job = Job("match", targets={"red": (255, 0, 0)})
    before, after = (run_one(m, job, str(tmp_path / "two.png"), None)
                     for m in (ModuleMatcher(), make_extractor(job, {"n_colors": 5})))
    assert typed(after.result) == typed(before.result) and after.warnings == before.warnings == ()
    assert velmora_huebit.match(np.zeros((0, 4, 3), np.uint8), {"red": (255, 0, 0)}) == {}


# ---- similarity() against the module on given records ------------------------------

channel = st.integers(0, 255)
colour = st.tuples(channel, channel, channel)
share = st.floats(0, 100, allow_nan=False)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.fixed_dictionaries({"color": colour | st.sampled_from([(0, 0, 0), (255, 255, 255)]),
                                       "percentage": share}), max_size=8),
       st.dictionaries(st.text(max_size=3), colour, max_size=6),
       st.sampled_from([50.0, 0.0, 0, 5, 10.0, 30, 255.0, 1e-9, "nearest"]) | st.floats(0, 400, allow_nan=False))
def test_similarity_equals_the_module(records, targets, threshold):
    if records and targets:
        # ties: a target at an earlier record's colour, that colour again later;
        # and a target 10.0 from a record (10 is not found directly)
        records = records + [{"color": records[0]["color"], "percentage": 1.0},
                             {"color": (165, 124, 90), "percentage": 2.0}]
        targets = {**targets, "again": records[0]["color"], "ten": (147, 123, 83)}
    if threshold == "nearest":  # a target exactly at the threshold: similarity the int 0
        first = np.array(next(iter(targets.values()), (0, 0, 0)))
        threshold = min((ColorExtractor()._color_distance_lab(first, np.array(r["color"])) for r in records),
                        default=50.0)
    expected = Given(records).analyze_color_similarity(None, targets, None, threshold)
    result = _match.similarity(records, targets, threshold)
    assert typed(result) == typed(expected)
    assert all(result[n]["closest_color"] is expected[n]["closest_color"] for n in result)


# ---- match() -------------------------------------------------------------------------


def test_match_follows_the_command_line(targets, coffee_path):
    rgb = cv2.cvtColor(cv2.imread(coffee_path), cv2.COLOR_BGR2RGB)
    written = {"a": "#f0cfaf", "b": [51, 22, 18], "c": "seagreen"}
    for wanted, given_as in ((targets, None), ({"a": (240, 207, 175),
                             "b": (51, 22, 18), "c": (46, 139, 87)}, written)):
        for pixels in (False, True):
            job = Job("match", max_side=256, targets=wanted, pixels=pixels)
            expected = typed(run_one(ModuleMatcher(), job, coffee_path, None).result)
            for image, channels in ((coffee_path, "bgr"), (rgb, "rgb")):
                found = velmora_huebit.match(image, given_as or wanted, channels=channels, pixels=pixels)
                assert typed(found) == expected


@pytest.mark.parametrize("arguments, error, words", [
    ({"targets": [("a", (1, 2, 3))]}, TypeError, "targets must be a dict"),
    ({"targets": {"a": (1, 2)}}, TypeError, "target 'a' must be (r, g, b)"),
    ({"targets": {"a": (1, 2, True)}}, TypeError, "target 'a' must be (r, g, b)"),
    ({"targets": {"a": (1, 2, 256)}}, ValueError, "values must lie between 0 and 255"),
    ({"targets": {"a": "#12345"}}, ValueError, "target 'a': malformed colour"),
    ({"threshold": -1}, ValueError, "threshold must be a number of 0 or more"),
    ({"threshold": float("nan")}, ValueError, "threshold must be a number of 0 or more"),
    ({"threshold": "50"}, TypeError, "threshold must be a number"),
    ({"n_colors": 0}, ValueError, "n_colors must be from 1 to 256"),
    ({"channels": "lab"}, ValueError, "channels must be 'bgr' or 'rgb'"),
    ({"max_side": -1}, ValueError, "max_side must be 0"),
    ({"mask": np.zeros((3, 3), np.uint8)}, ValueError, "mask is 3x3 pixels but the image is"),
])
def test_match_argument_errors(arguments, error, words, coffee_path):
    with pytest.raises(error, match=re.escape(words)):
        velmora_huebit.match(coffee_path, **{"targets": {"a": (1, 2, 3)}, **arguments})


# ---- ΔE2000 ----------------------------------------------------------------------------


def test_delta_e_bands_agree_with_coloraide(coffee_path):
    from coloraide import Color

    image = cv2.resize(cv2.imread(coffee_path), (60, 40), interpolation=cv2.INTER_AREA)
    mask = np.zeros((40, 60), np.uint8)
    mask[:, 10:] = 255
    targets = {"cream": (240, 207, 175), "espresso": (51, 22, 18), "sea": (46, 139, 87), "red": (228, 0, 43)}
    found = delta_e_match(image, mask, targets, tolerances=(2, 6, 12), min_share=3)
    colours, counts = np.unique(image[:, 10:].reshape(-1, 3)[:, ::-1], axis=0, return_counts=True)
    for name, rgb in targets.items():
        target = Color("srgb", [c / 255 for c in rgb])
        d = np.array([target.delta_e(Color("srgb", [c / 255 for c in p]), method="2000") for p in colours])
        shares = [counts[d <= t].sum() / counts.sum() * 100 for t in (2, 6, 12)]
        record = found[name]
        assert [record[f"{band}_share"] for band in ("match", "close", "similar")] == pytest.approx(shares, abs=0.006)
        assert record["delta_e"] == pytest.approx(d.min(), abs=0.006)
        assert d[(colours == record["nearest_color"]).all(axis=1)][0] == pytest.approx(d.min(), abs=1e-3)
        present = [band for band, share in zip(("match", "close", "similar"), shares) if share >= 3]
        assert record["present"] == (present[0] if present else None)
    assert found["sea"]["present"] is None and found["cream"]["present"] is not None


def test_delta_e_counts_the_pixels_shares_are_counted_on():
    from velmora_huebit._engine import count_nearest, count_within

    rng = np.random.default_rng(5)
    image = np.repeat(rng.integers(0, 2, (97, 211, 1), np.uint8) * 255, 3, axis=2)
    mask = np.where(rng.random((97, 211)) < 0.7, 255, 0).astype(np.uint8)
    for step in (1, 2, 7, 40):
        black, white = count_nearest(image, [(0, 0, 0), (255, 255, 255)], mask, step=step)
        total, [(within, nearest, difference)] = count_within(image, [(255, 255, 255)], (1, 2, 3), mask, step=step)
        assert (total, within, nearest, difference) == (black + white, (white,) * 3, (255, 255, 255), 0.0)


def test_match_options_in_delta_e_and_the_modules_units(coffee_path, tmp_path):
    proc = run_cli("match", coffee_path, "-t", "cream=#f0cfaf", "-t", "navy", "--tolerances", "1,4,9",
                   "--min-share", "2", "--output", tmp_path / "t.parquet", "--report", tmp_path / "r.html",
                   "--chart", tmp_path / "c.svg")
    assert proc.returncode == 0, proc.stderr
    import pyarrow.parquet as pq

    table = pq.read_table(tmp_path / "t.parquet").to_pylist()
    assert [(row["target"], row["present"], row["targets_present"]) for row in table] == \
        [("cream", "similar", 1), ("navy", None, 1)]
    assert "ΔE2000 ≤ 9" in (tmp_path / "r.html").read_text() and "ΔE2000" in (tmp_path / "c.svg").read_text()
    for options, words in ((["--pixels", "--tolerances", "1,2,3"], "--tolerances and --min-share"),
                           (["--tolerances", "5,2,9"], "rising order"), (["--min-share", "101"], "0 to 100")):
        proc = run_cli("match", coffee_path, "-t", "red", *options)
        assert proc.returncode == 2 and words in proc.stderr
    library = json.loads(run_cli("match", coffee_path, "-t", "red", "--engine", "library", "--json").stdout)
    assert library["units"] == "OpenCV 8-bit L*a*b* distance" and "distance" in library["targets"]["red"]
