"""The velmora-huebit command line, run as a subprocess against this
checkout's in-place build."""

import json
import os
import pathlib
import pty
import shutil
import subprocess
import sys

import cv2
import numpy as np
import pytest

from threadpoolctl import threadpool_limits

import velmora_huebit
from velmora_huebit import ColorExtractor
from velmora_huebit.cli.charts import chart_paths
from velmora_huebit.cli.colours import parse_color
from velmora_huebit.cli.photos import collect_photos

# the command runs the very build these tests import: in place with
# PYTHONPATH=src, or the installed package
PACKAGE_PARENT = pathlib.Path(velmora_huebit.__file__).resolve().parents[1]


def run_cli(*args, stderr=subprocess.PIPE, timeout=300):
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_PARENT))
    return subprocess.run(
        [sys.executable, "-m", "velmora_huebit", *map(str, args)], cwd=PACKAGE_PARENT,
        stdout=subprocess.PIPE, stderr=stderr, text=True, env=env, timeout=timeout,
    )


def json_lines(proc):
    return [json.loads(line) for line in proc.stdout.splitlines()]


def as_cli_colors(records):
    return [
        {"hex": "#%02x%02x%02x" % r["color"], "rgb": list(r["color"]), "percentage": r["percentage"]}
        for r in records
    ]


def shrink(image, side):
    h, w = image.shape[:2]
    scale = side / max(h, w)
    return cv2.resize(image, (round(w * scale), round(h * scale)), interpolation=cv2.INTER_AREA)


@pytest.fixture(scope="module", autouse=True)
def single_threaded_kmeans():
    # the command line runs k-means on one thread per photo; so do the
    # in-process results it is compared with
    with threadpool_limits(1, user_api="openmp"):
        yield


@pytest.fixture(scope="module")
def photos(tmp_path_factory, data_dir):
    """Small photos cut from the samples, so exact module results stay cheap."""
    folder = tmp_path_factory.mktemp("photos")
    coffee = cv2.imread(str(data_dir / "coffee.png"))
    chelsea = cv2.imread(str(data_dir / "chelsea.png"))
    images = {
        "a_coffee.png": coffee[150:210, 250:330],
        "b_chelsea.png": chelsea[100:160, 150:230],
        "c_flipped.png": cv2.flip(coffee[0:60, 0:80], 1),
        "d_stripes.png": np.repeat(np.array([[[20, 40, 200]] * 40 + [[230, 230, 230]] * 40], np.uint8), 30, axis=0),
    }
    for name, image in images.items():
        cv2.imwrite(str(folder / name), image)
    return folder


@pytest.fixture(scope="module")
def left_mask(tmp_path_factory):
    mask = np.zeros((60, 80, 3), np.uint8)
    mask[:, :40] = 255
    path = tmp_path_factory.mktemp("mask") / "left.png"
    cv2.imwrite(str(path), mask)
    return path


class TestExtract:
    def test_json_equals_the_module(self, photos):
        path = photos / "a_coffee.png"
        proc = run_cli("extract", path, "--jobs", 1)
        assert proc.returncode == 0, proc.stderr
        (record,) = json_lines(proc)
        assert list(record) == ["file", "colors"]
        assert record["file"] == str(path)
        assert record["colors"] == as_cli_colors(ColorExtractor().extract_colors(str(path)))

    @pytest.mark.parametrize("options, settings", [
        (["--colors", "3", "--rgb", "--no-preprocessing"], dict(n_colors=3, preprocessing=False, lab_space=False)),
        (["--algorithm", "dbscan", "-n", "2"], dict(n_colors=2, algorithm="dbscan")),
    ])
    def test_options_reach_the_extractor(self, photos, options, settings):
        path = photos / "b_chelsea.png"
        proc = run_cli("extract", path, *options, "--json")
        assert proc.returncode == 0, proc.stderr
        expected = ColorExtractor(**settings).extract_colors(str(path))
        assert json_lines(proc)[0]["colors"] == as_cli_colors(expected)

    def test_max_side_and_mask(self, coffee_path, coffee, tmp_path):
        mask = np.zeros_like(coffee)
        mask[:, :300] = 255
        mask_path = tmp_path / "mask.png"
        cv2.imwrite(str(mask_path), mask)
        proc = run_cli("extract", coffee_path, "--max-side", 60, "--mask", mask_path)
        assert proc.returncode == 0, proc.stderr
        small = shrink(coffee, 60)
        assert small.shape[:2] == (40, 60)
        small_mask = cv2.resize(mask, (60, 40), interpolation=cv2.INTER_NEAREST)
        expected = ColorExtractor().extract_colors(small, small_mask)
        assert json_lines(proc)[0]["colors"] == as_cli_colors(expected)

    def test_mask_given_as_file_matches_the_module(self, photos, left_mask):
        path = photos / "c_flipped.png"
        proc = run_cli("extract", path, "--mask", left_mask)
        expected = ColorExtractor().extract_colors(str(path), str(left_mask))
        assert json_lines(proc)[0]["colors"] == as_cli_colors(expected)

    def test_table(self, coffee_path, chelsea_path, tmp_path):
        # long paths with brackets: printed whole, not wrapped to the table or read as markup
        folder = tmp_path / ("holiday photos [2024] " + "x" * 90)
        folder.mkdir()
        coffee_path = shutil.copy(coffee_path, folder / "[bold]coffee.png")
        chelsea_path = shutil.copy(chelsea_path, folder / "chelsea.png")
        as_json = json_lines(run_cli("extract", coffee_path, chelsea_path, "--max-side", 50, "-j", 1))
        proc = run_cli("extract", coffee_path, chelsea_path, "--max-side", 50, "--table", "-j", 1)
        assert proc.returncode == 0, proc.stderr
        lines = proc.stdout.splitlines()
        assert lines.index(str(coffee_path)) < lines.index(str(chelsea_path))
        rows = [line.split() for line in proc.stdout.splitlines() if "███" in line]
        assert rows == [
            ["███", c["hex"], *map(str, c["rgb"]), f"{c['percentage']:.2f}"]
            for record in as_json for c in record["colors"]
        ]


@pytest.fixture(scope="module")
def mixed_folder(photos, tmp_path_factory):
    """The small photos, a broken image, and a file that is not an image."""
    folder = tmp_path_factory.mktemp("mixed")
    for path in photos.iterdir():
        shutil.copy(path, folder)
    (folder / "broken.png").write_bytes(b"\x89PNG\r\n\x1a\n not really")
    (folder / "notes.txt").write_text("not a photo")
    return folder


@pytest.fixture(scope="module")
def runs_by_jobs(mixed_folder):
    return {jobs: run_cli("extract", mixed_folder, "--jobs", jobs) for jobs in (1, 2)}


class TestManyPhotos:
    @pytest.mark.parametrize("jobs", [1, 2])
    def test_broken_file_gets_one_line_and_work_goes_on(self, runs_by_jobs, mixed_folder, jobs):
        proc = runs_by_jobs[jobs]
        assert proc.returncode == 1
        names = [pathlib.Path(r["file"]).name for r in json_lines(proc)]
        assert names == ["a_coffee.png", "b_chelsea.png", "c_flipped.png", "d_stripes.png"]
        assert proc.stderr.splitlines() == [
            f"velmora-huebit: error: {mixed_folder / 'broken.png'}: "
            "cannot read the image (missing, unreadable or not an image file)",
            "velmora-huebit: 1 of 5 photos failed",
        ]

    def test_two_jobs_give_the_same_output_as_one(self, runs_by_jobs):
        assert runs_by_jobs[2].stdout == runs_by_jobs[1].stdout
        assert runs_by_jobs[2].stderr == runs_by_jobs[1].stderr

    def test_mask_of_another_size_fails_that_photo_only(self, photos, left_mask, chelsea_path):
        proc = run_cli("extract", photos / "a_coffee.png", chelsea_path, "--mask", left_mask, "-j", 1)
        assert proc.returncode == 1
        assert len(json_lines(proc)) == 1
        assert f"{chelsea_path}: mask is 80x60 pixels but the photo is 451x300" in proc.stderr

    def test_progress_bar_keeps_stdout_clean(self, mixed_folder):
        # standard error on a terminal shows the bar; piped results stay JSON
        primary, secondary = pty.openpty()
        try:
            proc = run_cli("extract", mixed_folder, "--max-side", 20, stderr=secondary)
            os.close(secondary)
            secondary = None
            terminal = b""
            while True:
                try:
                    chunk = os.read(primary, 65536)
                except OSError:
                    break
                if not chunk:
                    break
                terminal += chunk
        finally:
            os.close(primary)
            if secondary is not None:
                os.close(secondary)
        assert proc.returncode == 1
        assert len(json_lines(proc)) == 4
        text = terminal.decode(errors="replace")
        assert "analysing" in text and "broken.png" in text and "1 of 5 photos failed" in text


class TestFileCollection:
    @pytest.fixture()
    def tree(self, tmp_path):
        for name in ["b.png", "a.JPG", "notes.txt", ".hidden.png", "sub/c.png", "sub/deeper/d.webp"]:
            path = tmp_path / name
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(b"")
        return tmp_path

    def test_folder_lists_images_in_order(self, tree):
        assert collect_photos([str(tree)], False) == [str(tree / "a.JPG"), str(tree / "b.png")]

    def test_recursive(self, tree):
        found = collect_photos([str(tree)], True)
        assert [pathlib.Path(p).relative_to(tree).as_posix() for p in found] == [
            "a.JPG", "b.png", "sub/c.png", "sub/deeper/d.webp"]

    def test_globs_named_files_and_duplicates(self, tree):
        found = collect_photos([str(tree / "*.png"), str(tree / "notes.txt"), str(tree / "b.png")], False)
        assert found == [str(tree / "b.png"), str(tree / "notes.txt")]
        assert collect_photos([str(tree / "**" / "*.png")], True)[-1] == str(tree / "sub" / "c.png")

    def test_chart_names_for_several_photos(self):
        assert list(chart_paths("out/c.png", ["x/a.png"])) == ["out/c.png"]
        assert list(chart_paths("c.png", ["x/a.png", "y/a.jpg", "b.png"])) == ["c-a.png", "c-a-2.png", "c-b.png"]
        assert list(chart_paths("{stem}_chart.svg", ["a.png"])) == ["a_chart.svg"]


class TestBadArguments:
    @pytest.mark.parametrize("args, message", [
        (["extract", "{photo}", "--algorithm", "meanshift"], "invalid choice: 'meanshift'"),
        (["extract", "{photo}", "--colors", "0"], "--colors: must be at least 1"),
        (["extract", "{photo}", "--max-side", "big"], "expected a whole number, got 'big'"),
        (["extract", "{photo}", "--jobs", "0"], "--jobs: must be at least 1"),
        (["extract", "{photo}", "--json", "--table"], "not allowed with argument"),
        (["extract", "missing.png"], "no such file or folder: missing.png"),
        (["extract", "{empty}"], "no images in folder"),
        (["extract", "{empty}/*.png"], "no files match"),
        (["extract", "{photo}", "--mask", "missing.png"], "--mask: no such file: missing.png"),
        (["extract", "{photo}", "--mask", "{notes}"], "cannot read"),
        (["extract", "{photo}", "--chart", "chart.bmpx"], "unknown image format 'bmpx'"),
        (["extract", "{photo}", "--chart", "{empty}/nowhere/c.png"], "no such folder"),
        (["match", "{photo}"], "required: -t/--target"),
        (["match", "{photo}", "-t", "red=#ff00"], "red: malformed colour '#ff00'"),
        (["match", "{photo}", "-t", "red=256,0,0"], "malformed colour"),
        (["match", "{photo}", "-t", "#ff0000"], "expected NAME=#RRGGBB"),
        (["match", "{photo}", "-t", "a=#ff0000", "-t", "a=#00ff00"], "target 'a' given twice"),
        (["match", "{photo}", "-t", "a=#ff0000", "--threshold", "-1"], "must be a number of 0 or more"),
        (["match", "{photo}", "-t", "a=#ff0000", "--pixels", "--threshold", "9"], "not to --pixels"),
        (["smudge", "{photo}"], "invalid choice: 'smudge'"),
        ([], "required: COMMAND"),
    ])
    def test_short_message_and_status_2(self, args, message, coffee_path, tmp_path):
        (tmp_path / "notes.txt").write_text("not an image")
        (tmp_path / "empty").mkdir()
        fill = dict(photo=coffee_path, empty=tmp_path / "empty", notes=tmp_path / "notes.txt")
        proc = run_cli(*(a.format(**fill) for a in args))
        assert proc.returncode == 2
        assert proc.stdout == ""
        assert message in proc.stderr
        assert "Traceback" not in proc.stderr
        assert len(proc.stderr.splitlines()) < 10

    @pytest.mark.parametrize("text, rgb", [
        ("#FFa500", (255, 165, 0)), ("0,0,0", (0, 0, 0)), (" 12 , 3,255 ", (12, 3, 255)),
    ])
    def test_colours(self, text, rgb):
        assert parse_color(text) == rgb

    @pytest.mark.parametrize("text", ["#fff", "ff0000", "#gg0000", "1,2", "1,2,3,4", "-1,0,0", "red", ""])
    def test_malformed_colours(self, text):
        with pytest.raises(ValueError):
            parse_color(text)


class TestMatch:
    TARGETS = {"cream": (240, 220, 200), "brown": (120, 60, 30)}

    def test_similarity_equals_the_module(self, photos):
        path = photos / "a_coffee.png"
        proc = run_cli("match", path, "-t", "cream=#f0dcc8", "--target", "brown=120,60,30",
                       "--threshold", 40, "--json")
        assert proc.returncode == 0, proc.stderr
        (record,) = json_lines(proc)
        expected = ColorExtractor().analyze_color_similarity(str(path), self.TARGETS, None, 40.0)
        assert record["file"] == str(path)
        assert list(record["targets"]) == ["cream", "brown"]
        for name, rec in expected.items():
            got = record["targets"][name]
            assert got.pop("target") == "#%02x%02x%02x" % self.TARGETS[name]
            assert list(got) == list(rec)
            assert got == {k: list(v) if isinstance(v, tuple) else v for k, v in rec.items()}

    def test_pixels_equals_the_module(self, photos):
        path = photos / "d_stripes.png"
        proc = run_cli("match", path, "--pixels", "--max-side", 20,
                       "-t", "cream=#f0dcc8", "-t", "brown=120,60,30")
        assert proc.returncode == 0, proc.stderr
        expected = ColorExtractor().find_color_matches(shrink(cv2.imread(str(path)), 20), self.TARGETS)
        got = json_lines(proc)[0]["targets"]
        for name, rec in expected.items():
            assert got[name] == {"target": "#%02x%02x%02x" % self.TARGETS[name],
                                 **{k: list(v) if isinstance(v, tuple) else v for k, v in rec.items()}}

    @pytest.mark.parametrize("pixels", [False, True])
    def test_table(self, photos, pixels):
        path = photos / "b_chelsea.png"
        proc = run_cli("match", path, "-t", "cream=#f0dcc8", "-t", "brown=120,60,30",
                       "--table", *(["--pixels"] if pixels else []))
        assert proc.returncode == 0, proc.stderr
        extractor = ColorExtractor()
        if pixels:
            expected = extractor.find_color_matches(str(path), self.TARGETS)
            cells = {name: ("#%02x%02x%02x" % r["closest_pixel"], r["min_distance"], r["total_percentage"])
                     for name, r in expected.items()}
        else:
            expected = extractor.analyze_color_similarity(str(path), self.TARGETS)
            cells = {name: ("#%02x%02x%02x" % r["closest_color"], r["distance"], r["percentage"])
                     for name, r in expected.items()}
        rows = {line.split()[1]: line for line in proc.stdout.splitlines() if "███" in line}
        assert list(rows) == ["cream", "brown"]
        for name, (closest, distance, share) in cells.items():
            assert closest in rows[name] and f"{distance:.2f}" in rows[name] and f"{share:.2f}" in rows[name]


    def test_table_is_not_cropped_when_piped(self, photos):
        name = "the cream of a cat's fur on a sunny afternoon in the garden"
        proc = run_cli("match", photos / "b_chelsea.png", "-t", f"{name}=#f0dcc8", "--pixels", "--table")
        assert proc.returncode == 0, proc.stderr
        [row] = [line for line in proc.stdout.splitlines() if "███" in line]
        assert name in row and "…" not in row
        rec = ColorExtractor().find_color_matches(str(photos / "b_chelsea.png"), {name: self.TARGETS["cream"]})[name]
        shares = (rec["very_close_percentage"], rec["close_percentage"], rec["total_percentage"])
        assert row.split()[-3:] == [f"{v:.2f}" for v in shares]


class TestChart:
    def test_one_chart_per_photo(self, photos, tmp_path):
        proc = run_cli("extract", photos / "a_coffee.png", photos / "b_chelsea.png",
                       "--chart", tmp_path / "colors.png")
        assert proc.returncode == 0, proc.stderr
        for stem in ("a_coffee", "b_chelsea"):
            chart = cv2.imread(str(tmp_path / f"colors-{stem}.png"))
            assert chart is not None and chart.shape[1] > 1000  # 300 dpi
        assert len(json_lines(proc)) == 2
