"""The velmora-huebit command line, run as a subprocess against this
checkout's in-place build."""

import json
import os
import pathlib
import pty
import shutil
import signal
import subprocess
import sys

import cv2
import numpy as np
import pytest

from threadpoolctl import threadpool_limits

import velmora_huebit
from velmora_huebit import ColorExtractor as ModuleExtractor
from velmora_huebit.outputs.charts import chart_paths
from velmora_huebit.colour.parse import parse_color, read_palette
from velmora_huebit.photos.sources import collect_photos
from velmora_huebit.colour.names import distinct_names

# the command runs the very build these tests import: in place with
# PYTHONPATH=src, or the installed package
PACKAGE_PARENT = pathlib.Path(velmora_huebit.__file__).resolve().parents[1]


# the tests that compare with the module's own results run its path
LIBRARY = ("--engine", "library")


def ColorExtractor(**settings):
    """The module's extractor with the command line's default settings."""
    return ModuleExtractor(**{"preprocessing": False, **settings})


def run_cli(*args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300, close_fd=None):
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_PARENT))
    return subprocess.run(
        [sys.executable, "-m", "velmora_huebit", *map(str, args)], cwd=PACKAGE_PARENT,
        stdout=stdout, stderr=stderr, text=True, env=env, timeout=timeout,
        preexec_fn=None if close_fd is None else lambda: os.close(close_fd),
    )


def json_lines(proc):
    return [json.loads(line) for line in proc.stdout.splitlines()]


def as_cli_colors(records):
    from velmora_huebit.colour.space import oklch
    from velmora_huebit.colour.swatches import text_colour

    names = distinct_names([r["color"] for r in records])
    return [
        {"hex": "#%02x%02x%02x" % r["color"], "name": name, "rgb": list(r["color"]),
         "percentage": r["percentage"], "oklch": list(oklch(r["color"])),
         **dict(zip(("text", "text_contrast"), text_colour(r["color"])))}
        for r, name in zip(records, names)
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
        proc = run_cli("extract", path, "--jobs", 1, *LIBRARY)
        assert proc.returncode == 0, proc.stderr
        (record,) = json_lines(proc)
        assert list(record) == ["file", "analysed_size", "colors", "readable_pairs"]
        assert record["analysed_size"] == [80, 60]
        assert record["file"] == str(path)
        assert record["colors"] == as_cli_colors(ColorExtractor().extract_colors(str(path)))

    @pytest.mark.parametrize("options, settings", [
        (["--colors", "3", "--rgb", "--preprocess"], dict(n_colors=3, preprocessing=True, lab_space=False)),
        (["--algorithm", "dbscan", "-n", "2"], dict(n_colors=2, algorithm="dbscan")),
    ])
    def test_options_reach_the_extractor(self, photos, options, settings):
        path = photos / "b_chelsea.png"
        proc = run_cli("extract", path, *options, "--json", *LIBRARY)
        assert proc.returncode == 0, proc.stderr
        expected = ColorExtractor(**settings).extract_colors(str(path))
        assert json_lines(proc)[0]["colors"] == as_cli_colors(expected)

    def test_max_side_and_mask(self, coffee_path, coffee, tmp_path):
        mask = np.zeros_like(coffee)
        mask[:, :300] = 255
        mask_path = tmp_path / "mask.png"
        cv2.imwrite(str(mask_path), mask)
        proc = run_cli("extract", coffee_path, "--max-side", 60, "--mask", mask_path, *LIBRARY)
        assert proc.returncode == 0, proc.stderr
        small = shrink(coffee, 60)
        assert small.shape[:2] == (40, 60)
        small_mask = cv2.resize(mask, (60, 40), interpolation=cv2.INTER_NEAREST)
        expected = ColorExtractor().extract_colors(small, small_mask)
        assert json_lines(proc)[0]["colors"] == as_cli_colors(expected)

    def test_mask_given_as_file_matches_the_module(self, photos, left_mask):
        path = photos / "c_flipped.png"
        proc = run_cli("extract", path, "--mask", left_mask, *LIBRARY)
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
            ["███", c["hex"], *c["name"].split(), *map(str, c["rgb"]), f"{c['percentage']:.2f}"]
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
        assert [line for line in proc.stderr.splitlines() if ": warning: " not in line] == [
            f"velmora-huebit: error: {mixed_folder / 'broken.png'}: "
            "cannot read the image (not an image file, or a damaged one)",
            "velmora-huebit: 1 of 5 photos failed, 0 with warnings",
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
        for name in ["b.png", "a.JPG", "notes.txt", ".hidden.png", "sub/c.png", "sub/deeper/d.webp", "sub/deeper/e.pam"]:
            path = tmp_path / name
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(b"")
        return tmp_path

    def test_folder_lists_images_in_order(self, tree):
        assert collect_photos([str(tree)], False) == ([str(tree / "a.JPG"), str(tree / "b.png")], [])

    def test_recursive(self, tree):
        found, _ = collect_photos([str(tree)], True)
        assert [pathlib.Path(p).relative_to(tree).as_posix() for p in found] == [
            "a.JPG", "b.png", "sub/c.png", "sub/deeper/d.webp", "sub/deeper/e.pam"]

    def test_globs_named_files_and_duplicates(self, tree):
        found, _ = collect_photos([str(tree / "*.png"), str(tree / "notes.txt"), str(tree / "b.png")], False)
        assert found == [str(tree / "b.png"), str(tree / "notes.txt")]
        assert collect_photos([str(tree / "**" / "*.png")], True)[0][-1] == str(tree / "sub" / "c.png")

    def test_unreadable_folder_is_reported(self, tree, monkeypatch):
        scandir = os.scandir

        def refuse(path="."):
            if os.fspath(path).endswith("sub"):
                raise PermissionError(13, "Permission denied", os.fspath(path))
            return scandir(path)

        monkeypatch.setattr(os, "scandir", refuse)
        found, problems = collect_photos([str(tree)], True)
        assert found == [str(tree / "a.JPG"), str(tree / "b.png")]
        assert problems == [(str(tree / "sub"), "cannot read the folder: Permission denied")]

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
        (["extract", "{photo}", "--max-side", "-1"], "--max-side: must be at least 0"),
        (["extract", "{photo}", "--mask", "missing.png"], "--mask missing.png: no such file"),
        (["extract", "{photo}", "--mask", "{notes}"], "cannot read the image"),
        (["extract", "{photo}", "--chart", "chart.bmpx"], "unknown image format 'bmpx'"),
        (["extract", "{photo}", "--chart", "{notes}/c.png"], "cannot make the folder"),
        (["match", "{photo}"], "give the target colours with --target"),
        (["match", "{photo}", "--targets", "{notes}"], "line 1: expected name,colour"),
        (["match", "{photo}", "-t", "red=#ff000"], "red: malformed colour '#ff000'"),
        (["match", "{photo}", "-t", "red=256,0,0"], "malformed colour"),
        (["match", "{photo}", "-t", "=#ff0000"], "expected NAME=COLOUR"),
        (["match", "{photo}", "-t", "#12345g"], "malformed colour '#12345g' (expected #rgb"),
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
        ("#f80", (255, 136, 0)), ("rgb(228, 0, 43)", (228, 0, 43)), ("hsl(0, 100%, 50%)", (255, 0, 0)),
        ("RebeccaPurple", (102, 51, 153)),
    ])
    def test_colours(self, text, rgb):
        assert parse_color(text) == rgb

    @pytest.mark.parametrize("text", ["ff0000", "#gg0000", "1,2", "1,2,3,4", "-1,0,0", "256,0,0",
                                      "rgb(256,0,0)", "#ff000080", "redd", ""])
    def test_malformed_colours(self, text):
        with pytest.raises(ValueError):
            parse_color(text)


    def test_closed_standard_streams(self, data_dir, tmp_path):
        photo = data_dir / "coffee.png"
        closed_out = run_cli("extract", photo, stdout=subprocess.DEVNULL, close_fd=1)
        assert closed_out.returncode == 2 and "standard output is closed" in closed_out.stderr
        table = tmp_path / "t.csv"
        assert run_cli("extract", photo, "-o", table, close_fd=1).returncode == 0 and table.exists()
        closed_err = run_cli("extract", photo, "--json", close_fd=2)
        assert closed_err.returncode == 0 and json.loads(closed_err.stdout)["file"] == str(photo)


class TestMatch:
    TARGETS = {"cream": (240, 220, 200), "brown": (120, 60, 30)}

    def test_similarity_equals_the_module(self, photos):
        path = photos / "a_coffee.png"
        proc = run_cli("match", path, "-t", "cream=#f0dcc8", "--target", "brown=120,60,30",
                       "--threshold", 40, "--json", *LIBRARY)
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
                       "--table", *(["--pixels"] if pixels else []), *LIBRARY)
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
            assert chart is not None and chart.shape[1] > 1000  # 1200 pixels wide
        assert len(json_lines(proc)) == 2


class TestRealLibraries:
    """Camera photos, logos and folders as found on people's disks."""

    def test_default_shrinks_and_names_the_size(self, coffee_path, coffee):
        proc = run_cli("extract", coffee_path, *LIBRARY)
        (record,) = json_lines(proc)
        assert record["analysed_size"] == [256, 171]
        assert record["colors"] == as_cli_colors(ColorExtractor().extract_colors(shrink(coffee, 256)))
        (full,) = json_lines(run_cli("extract", coffee_path, "--max-side", 0, *LIBRARY))
        assert full["analysed_size"] == [600, 400]
        assert full["colors"] == as_cli_colors(ColorExtractor().extract_colors(coffee_path))

    def test_exif_orientation_is_applied_as_imread_does(self, coffee, tmp_path):
        from PIL import Image

        exif = Image.Exif()
        exif[0x0112] = 6  # turned a quarter
        path = tmp_path / "turned.jpg"
        Image.fromarray(coffee[:60, :80, ::-1]).save(path, exif=exif)
        (record,) = json_lines(run_cli("extract", path, *LIBRARY))
        assert record["analysed_size"] == [60, 80]
        assert record["colors"] == as_cli_colors(ColorExtractor().extract_colors(cv2.imread(str(path))))

    @pytest.mark.filterwarnings("ignore:Number of distinct clusters")
    def test_transparent_background_is_left_out(self, tmp_path):
        logo = np.zeros((120, 160, 4), np.uint8)  # transparent black
        logo[30:90, 40:120] = (0x2b, 0x00, 0xe4, 255)  # #e4002b, opaque
        logo[30:90, 40:60, 3] = 100  # mostly transparent: left out too
        path = tmp_path / "logo.png"
        cv2.imwrite(str(path), logo)
        mask = np.zeros((120, 160), np.uint8)
        mask[:, :100] = 255
        cv2.imwrite(str(tmp_path / "mask.png"), mask)
        runs = [json_lines(run_cli("extract", path, *options, *LIBRARY))[0]["colors"] for options in
                ([], ["--mask", tmp_path / "mask.png"], ["--keep-transparent"])]
        opaque = np.where(logo[:, :, 3] >= 128, 255, 0).astype(np.uint8)
        assert runs[0] == as_cli_colors(ColorExtractor().extract_colors(logo[:, :, :3].copy(), opaque))
        assert [c["percentage"] for c in runs[0]] == [100.0]
        assert runs[1] == runs[0]  # the mask keeps a part of the logo
        assert runs[2][0]["hex"] == "#000000" and runs[2][0]["percentage"] > 70

    def test_broken_names_special_files_and_missing_paths_cost_only_themselves(self, photos, tmp_path):
        folder = tmp_path / "shots"
        folder.mkdir()
        shutil.copy(photos / "a_coffee.png", folder / "good.png")
        shutil.copy(photos / "b_chelsea.png", os.fsdecode(bytes(folder) + b"/caf\xe9.png"))
        os.mkfifo(folder / "pipe.png")
        cut = tmp_path / "cut.jpg"
        cut.write_bytes(cv2.imencode(".jpg", cv2.imread(str(photos / "a_coffee.png")))[1].tobytes()[:-300])
        for jobs in (1, 2):
            proc = run_cli("extract", folder, "missing.png", "/dev/null", cut, "-j", jobs, timeout=60)
            assert proc.returncode == 1
            names = [r["file"] for r in json_lines(proc)]
            assert names[:2] == [f"{folder}/caf\\xe9.png", f"{folder}/good.png"]
            errors = [line for line in proc.stderr.splitlines() if ": error: " in line]
            assert [line.split(": ")[2] for line in errors[:3]] == ["missing.png", f"{folder}/pipe.png", "/dev/null"]
            assert "a FIFO, not a photo" in errors[1] and "character device" in errors[2]
            assert "cut.jpg: the JPEG file is truncated" in proc.stderr  # a warning, or an error where OpenCV gives up
            assert proc.stderr.splitlines()[-1].startswith(f"velmora-huebit: {len(errors)} of 6 photos failed, ")

    def test_a_link_loop_is_walked_once(self, photos, tmp_path):
        (tmp_path / "a" / "b").mkdir(parents=True)
        shutil.copy(photos / "d_stripes.png", tmp_path / "a" / "b" / "s.png")
        (tmp_path / "a" / "b" / "loop").symlink_to(tmp_path / "a")
        proc = run_cli("extract", tmp_path / "**" / "*.png", "-r", "--max-side", 8, timeout=60)
        assert proc.returncode == 0, proc.stderr
        assert [r["file"] for r in json_lines(proc)] == [str(tmp_path / "a" / "b" / "s.png")]

    def test_a_dead_worker_costs_only_its_photo(self, coffee, tmp_path):
        for i in range(6):
            cv2.imwrite(str(tmp_path / f"p{i}.png"), cv2.resize(coffee, (900 + 8 * i, 600)))
        env = dict(os.environ, PYTHONPATH=str(PACKAGE_PARENT))
        proc = subprocess.Popen([sys.executable, "-m", "velmora_huebit", "extract", tmp_path, "-j", "2",
                                 "--max-side", "0"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
                                start_new_session=True)
        from processes import stop_with_every_worker_busy

        # the photos take a split second: the run is stopped while a worker is killed
        victim, _ = stop_with_every_worker_busy(proc.pid, 2)
        os.kill(victim, signal.SIGKILL)
        os.killpg(proc.pid, signal.SIGCONT)
        out, err = proc.stdout.read(), proc.stderr.read()
        assert proc.wait(timeout=60) == 1, err
        assert len(json_lines(subprocess.CompletedProcess([], 0, out))) == 5, err
        [error] = [line for line in err.splitlines() if ": error: " in line]
        assert "killed by SIGKILL" in error and error.split(": ")[2].startswith(str(tmp_path / "p"))

    def test_full_disk(self, photos):
        with open("/dev/full", "w") as full:
            proc = run_cli("extract", photos, "--max-side", 8, stdout=full)
        assert proc.returncode == 1
        assert proc.stderr.splitlines() == ["velmora-huebit: error: cannot write the results: No space left on device"]


class TestPalettes:
    PALETTE = [("brand red", (228, 0, 43)), ("ink", (0, 0, 128)), ("sand", (237, 201, 175))]

    @pytest.mark.parametrize("name, text", [
        ("p.json", '{"brand red": "#e4002b", "ink": "navy", "sand": [237, 201, 175]}'),
        ("p.csv", "name,colour\nbrand red,#e4002b\nink,navy\nsand,237,201,175\n"),
        ("p.gpl", "GIMP Palette\nName: Brand\nColumns: 3\n#\n228   0  43\tbrand red\n  0   0 128\tink\n"
                  "237 201 175\tsand\n"),
    ])
    def test_formats(self, tmp_path, name, text):
        (tmp_path / name).write_text(text)
        assert read_palette(str(tmp_path / name)) == self.PALETTE

    def test_targets_keep_the_order_given_and_fields_one_type(self, photos, tmp_path):
        (tmp_path / "p.json").write_text('{"brand red": "#e4002b", "ink": "navy"}')
        for pixels in ([], ["--pixels"]):
            proc = run_cli("match", photos / "a_coffee.png", "-t", "cream=#f0dcc8", "--targets",
                           tmp_path / "p.json", "-t", "sky=hsl(200, 80%, 60%)", "-t", "teal", *pixels)
            assert proc.returncode == 0, proc.stderr
            targets = json_lines(proc)[0]["targets"]
            assert list(targets) == ["cream", "brand red", "ink", "sky", "teal"]
            assert targets["teal"]["target"] == "#008080"
            for record in targets.values():
                for key, value in record.items():
                    assert isinstance(value, FIELD_TYPES[key]), (key, value)


FIELD_TYPES = dict(target=str, closest_color=list, closest_pixel=list, found_directly=bool, nearest_color=list,
                   present=(str, type(None)),
                   **dict.fromkeys(["percentage", "similarity", "distance", "total_percentage", "close_percentage",
                                    "very_close_percentage", "min_distance", "similarity_score", "delta_e",
                                    "match_share", "close_share", "similar_share"], float))
