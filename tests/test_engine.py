"""The palette engine (velmora_huebit._engine), palette() and the command
line's --engine."""

import io
import json
import math
import pathlib
import subprocess
import sys
import threading

import cv2
import numpy as np
import pytest

import velmora_huebit
from leakcheck import assert_no_leaks
from test_cli import PACKAGE_PARENT, json_lines, run_cli
from velmora_huebit import _engine, palette
from velmora_huebit.outputs.store import settings
from velmora_huebit.analysis.job import Job

RNG = np.random.default_rng(5)
NOISE = RNG.integers(0, 256, (40, 50, 3), dtype=np.uint8)


def records(image, n=5, mask=None, rgb=False):
    found = _engine.find_palette(image, n, mask, rgb=rgb)
    total = sum(pixels for _, pixels in found)
    return [(colour, pixels / total) for colour, pixels in found]


class TestEngine:
    def test_the_same_pixels_give_the_same_palette(self, coffee):
        first = _engine.find_palette(coffee, 5)
        assert first == _engine.find_palette(coffee.copy(), 5)
        # in any order and layout: only the pixels count
        shuffled = RNG.permutation(coffee.reshape(-1, 3)).reshape(coffee.shape)
        assert _engine.find_palette(shuffled, 5) == first
        assert _engine.find_palette(np.asfortranarray(coffee[::-1, ::-1]), 5) == first
        assert _engine.find_palette(coffee[:, :, ::-1], 5, rgb=True) == first
        # and on any thread, several at once (the engine runs without the lock)
        results = [None] * 4

        def run(i):
            results[i] = _engine.find_palette(coffee, 5)

        threads = [threading.Thread(target=run, args=(i,)) for i in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert results == [first] * 4

    def test_palette_is_sound(self, chelsea):
        for n in (1, 2, 5, 12):
            found = _engine.find_palette(chelsea, n)
            assert len(found) == n
            assert sum(p for _, p in found) == chelsea.shape[0] * chelsea.shape[1]
            assert [p for _, p in found] == sorted((p for _, p in found), reverse=True)
            assert all(all(0 <= c <= 255 for c in colour) for colour, _ in found)
        # one colour: the mean of all in L*a*b*, near the mean in sRGB
        ((colour, _),) = _engine.find_palette(chelsea, 1)
        assert np.abs(np.array(colour) - chelsea.reshape(-1, 3).mean(0)[::-1]).max() < 12

    @pytest.mark.parametrize("pixels, n, expected", [
        ([[10, 20, 30]], 5, [((30, 20, 10), 1.0)]),  # one pixel
        ([[0, 0, 0]] * 7, 3, [((0, 0, 0), 1.0)]),  # one colour
        ([[0, 0, 255]] * 3 + [[255, 0, 0]] * 1, 5, [((255, 0, 0), 0.75), ((0, 0, 255), 0.25)]),
        ([[1, 1, 1], [2, 2, 2], [3, 3, 3]], 3, [((1, 1, 1), 1 / 3), ((2, 2, 2), 1 / 3), ((3, 3, 3), 1 / 3)]),
    ])
    def test_fewer_distinct_colours_than_asked(self, pixels, n, expected):
        image = np.array(pixels, np.uint8).reshape(1, -1, 3)
        assert records(image, n) == expected

    def test_masks(self):
        image = np.zeros((4, 4, 3), np.uint8)
        image[:, 2:] = (0, 0, 200)
        mask = np.zeros((4, 4), np.uint8)
        mask[:, 2:] = 129  # above 128 counts
        assert records(image, 5, mask) == [((200, 0, 0), 1.0)]
        mask[:, 2:] = 128
        assert _engine.find_palette(image, 5, mask) == []
        assert _engine.find_palette(image[:0], 5) == []
        huge_empty = np.broadcast_to(np.zeros(3, np.uint8), (0, 2**40, 3))
        assert _engine.find_palette(huge_empty, 5) == []

    @pytest.mark.parametrize("args, error, words", [
        ((NOISE.astype(np.float32), 5), TypeError, "8-bit unsigned"),
        ((NOISE.astype(bool), 5), TypeError, "8-bit unsigned"),
        ((NOISE.astype(object), 5), TypeError, "8-bit unsigned"),
        ((NOISE[:, :, 0], 5), ValueError, "height x width x 3"),
        ((NOISE[None], 5), ValueError, "height x width x 3"),
        ((np.dstack([NOISE, NOISE[:, :, :1]]), 5), ValueError, "height x width x 3"),
        (([[[1, 2, 3]]], 5), TypeError, "not list"),
        ((b"\x01\x02\x03", 5), ValueError, "height x width x 3"),
        ((NOISE, 0), ValueError, "from 1 to 256"),
        ((NOISE, 257), ValueError, "from 1 to 256"),
        ((NOISE, 2**100), ValueError, "from 1 to 256"),
        ((NOISE, -2**100), ValueError, "from 1 to 256"),
        ((NOISE, 2.0), TypeError, "integer"),
        ((NOISE, 5, NOISE[:, :, 0][1:]), ValueError, "40 x 50"),
        ((NOISE, 5, NOISE[:, :, 0].astype(np.int16)), TypeError, "8-bit unsigned"),
        ((NOISE, 5, NOISE), ValueError, "3 dimensions"),
        ((np.broadcast_to(np.zeros(3, np.uint8), (2**20, 2**13, 3)), 5), ValueError, "too large"),
    ])
    def test_bad_input_is_refused_clearly(self, args, error, words):
        with pytest.raises(error, match=words):
            _engine.find_palette(*args)

    def test_no_reference_leaks(self):
        mask = np.full(NOISE.shape[:2], 255, np.uint8)
        calls = [lambda: _engine.find_palette(NOISE, 5, mask),
                 lambda: _engine.find_palette(NOISE, 300),
                 lambda: _engine.find_palette(NOISE.astype(np.int16), 5),
                 lambda: _engine.find_palette(NOISE, 5, mask[1:]),
                 lambda: _engine.find_palette(NOISE, "5"),
                 lambda: _engine.count_within(NOISE, [(1, 2, 3), (200, 9, 9)], (2, 5, 10), mask, step=3),
                 lambda: _engine.count_within(NOISE, [(1, 2, 3)], (5, 2, 10)),
                 lambda: _engine.count_within(NOISE, [(1, 2, 3)], [2, 5, "10"]),
                 lambda: _engine.count_within(NOISE, [(1, 2)], (2, 5, 10)),
                 lambda: _engine.count_within(NOISE, [(1, 2, 3)], (2, 5, 10), mask[1:]),
                 lambda: palette(NOISE, mask=mask.astype(bool)),
                 lambda: palette(NOISE, n_colors=0),
                 lambda: palette("/nonexistent.png"),
                 lambda: palette(b"not an image")]
        assert_no_leaks(calls, (NOISE, mask), errors=(TypeError, ValueError, OSError), rounds=200)


class TestPalette:
    def test_every_input_gives_the_same_records(self, coffee_path, coffee, tmp_path):
        from PIL import Image

        expected = palette(coffee_path)
        assert [list(r) for r in expected] == [["color", "hex", "percentage", "name"]] * 5
        assert math.isclose(sum(r["percentage"] for r in expected), 100, abs_tol=0.05)
        rgb = coffee[:, :, ::-1]
        same = [palette(pathlib.Path(coffee_path)), palette(pathlib.Path(coffee_path).read_bytes()),
                palette(coffee), palette(rgb, channels="rgb"), palette(np.ascontiguousarray(rgb), channels="rgb"),
                palette(Image.open(coffee_path)), palette(np.dstack([coffee, np.full(coffee.shape[:2], 255, np.uint8)]))]
        assert all(found == expected for found in same)
        grey = cv2.cvtColor(coffee, cv2.COLOR_BGR2GRAY)
        assert all(len(set(r["color"])) == 1 for r in palette(grey))

    def test_transparency_and_masks(self, tmp_path):
        from PIL import Image

        logo = np.zeros((120, 160, 4), np.uint8)  # transparent black
        logo[30:90, 40:120] = (0x2b, 0x00, 0xe4, 255)
        cv2.imwrite(str(tmp_path / "logo.png"), logo)
        red = [{"color": (0xe4, 0x00, 0x2b), "hex": "#e4002b", "percentage": 100.0, "name": "crimson"}]
        assert palette(tmp_path / "logo.png") == red
        assert palette(logo) == red
        assert palette(Image.open(tmp_path / "logo.png")) == red
        assert palette(logo, keep_transparent=True, names=None)[0] == {"color": (0, 0, 0), "hex": "#000000",
                                                                       "percentage": 75.0}
        left = np.zeros((120, 160), bool)
        left[:, :60] = True
        cv2.imwrite(str(tmp_path / "left.png"), left.astype(np.uint8) * 255)
        both = palette(logo, mask=left, keep_transparent=True, names="xkcd")
        assert palette(logo, mask=tmp_path / "left.png", keep_transparent=True, names="xkcd") == both
        assert palette(logo, mask=Image.fromarray(left), keep_transparent=True, names="xkcd") == both
        assert both == [{"color": (0, 0, 0), "hex": "#000000", "percentage": 83.33, "name": "black"},
                        {"color": (0xe4, 0, 0x2b), "hex": "#e4002b", "percentage": 16.67, "name": "cherry red"}]
        assert palette(logo, mask=~np.ones_like(left)) == []

    @pytest.mark.parametrize("call, error, words", [
        (lambda: palette([[1, 2, 3]]), TypeError, "path, the bytes of an image file"),
        (lambda: palette(NOISE.astype(np.float64)), TypeError, "8-bit values"),
        (lambda: palette(NOISE[None]), ValueError, "height x width"),
        (lambda: palette(NOISE, n_colors=True), TypeError, "whole number"),
        (lambda: palette(NOISE, n_colors=1000), ValueError, "from 1 to 256"),
        (lambda: palette(NOISE, max_side=-1), ValueError, "0 .full size. or more"),
        (lambda: palette(NOISE, channels="hsv"), ValueError, "'bgr' or 'rgb'"),
        (lambda: palette(NOISE, mask=NOISE[:, :, 0][1:]), ValueError, "mask is 50x39 pixels but the image is 50x40"),
        (lambda: palette(NOISE, mask=NOISE.astype(np.int32)), TypeError, "mask must hold"),
        (lambda: palette(NOISE, mask=[1]), TypeError, "mask must be"),
        (lambda: palette(b"not an image"), ValueError, "image data: cannot read"),
        (lambda: palette("/nonexistent/photo.png"), FileNotFoundError, "nonexistent"),
        (lambda: palette("/"), ValueError, "is a folder"),
    ])
    def test_bad_input_is_refused_clearly(self, call, error, words):
        with pytest.raises(error, match=words):
            call()

    def test_imports_neither_scikit_learn_nor_matplotlib(self, coffee_path):
        code = (f"import sys, velmora_huebit; velmora_huebit.palette({coffee_path!r}); "
                "from velmora_huebit.cli import main; main(['extract', '--json', " f"{coffee_path!r}]); "
                f"velmora_huebit.match({coffee_path!r}, {{'red': 'red'}}); main(['match', '-t', 'red', {coffee_path!r}]); "
                "print(sorted(m for m in ('sklearn', 'matplotlib', 'velmora_huebit.color_extractor_cy') "
                "if m in sys.modules))")
        proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=PACKAGE_PARENT)
        assert proc.stdout.splitlines()[-1] == "[]", proc.stderr


class TestCommandLine:
    def test_extract_prints_what_palette_gives(self, coffee_path, chelsea, tmp_path):
        from PIL import Image

        exif = Image.Exif()
        exif[0x0112] = 6  # turned a quarter
        Image.fromarray(chelsea[:, :, ::-1]).save(tmp_path / "turned.jpg", exif=exif)
        mask = np.zeros((400, 600), np.uint8)
        mask[:, :300] = 255
        cv2.imwrite(str(tmp_path / "mask.png"), mask)
        photos = [coffee_path, str(tmp_path / "turned.jpg")]
        for options, arguments in [([], {}), (["-n", "3", "--max-side", "0"], dict(n_colors=3, max_side=0))]:
            for jobs in ("1", "2"):
                lines = json_lines(run_cli("extract", *photos, "--jobs", jobs, *options))
                assert [[{key: c[key] for key in ("hex", "name", "rgb", "percentage")} for c in line["colors"]]
                        for line in lines] == [
                    [{"hex": r["hex"], "name": r["name"], "rgb": list(r["color"]),
                      "percentage": r["percentage"]} for r in palette(photo, **arguments)] for photo in photos]
        (masked,) = json_lines(run_cli("extract", coffee_path, "--mask", tmp_path / "mask.png"))
        assert [c["rgb"] for c in masked["colors"]] == [
            list(r["color"]) for r in palette(coffee_path, mask=tmp_path / "mask.png")]

    def test_match_uses_the_palette_and_the_modules_measures(self, coffee_path):
        colours = [c["rgb"] for c in json_lines(run_cli("extract", coffee_path))[0]["colors"]]
        proc = run_cli("match", coffee_path, "-t", "cream=#eed5bd", "-t", "ink=#000080", "--threshold", 30)
        (record,) = json_lines(proc)
        cream, ink = record["targets"]["cream"], record["targets"]["ink"]
        assert cream["closest_color"] in colours and ink["closest_color"] in colours
        assert cream["found_directly"] and 0 < cream["percentage"] < 100 and ink["percentage"] == 0.0

    @pytest.mark.parametrize("options, words", [
        (["--algorithm", "dbscan"], "--algorithm dbscan works with --engine library only"),
        (["--preprocess"], "--preprocess works with --engine library only"),
        (["--rgb"], "--rgb works with --engine library only"),
        (["--colors", "300"], "at most 256 colours"),
    ])
    def test_library_options_need_the_library(self, options, words, coffee_path):
        proc = run_cli("extract", coffee_path, *options)
        assert proc.returncode == 2 and words in proc.stderr.splitlines()[0]
        assert run_cli("extract", coffee_path, *options, "--engine", "library", "--max-side", 32).returncode == 0

    def test_fewer_colours_warn_and_the_engine_is_a_setting(self, tmp_path):
        cv2.imwrite(str(tmp_path / "two.png"), np.repeat(np.array([[[0, 0, 255], [255, 0, 0]]], np.uint8), 5, 0))
        proc = run_cli("extract", tmp_path / "two.png")
        assert "only 2 distinct colours, fewer than the 5 asked for" in proc.stderr
        assert settings(Job("extract"), {})["engine"] == "palette"
        assert settings(Job("extract", engine="library"), {})["engine"] == "library"
