"""Shares counted on a larger decode than the palette was found on
(analysis.shares and the engine's count_nearest)."""

import pathlib

import cv2
import numpy as np
import pytest

from velmora_huebit import _engine, palette


def nearest_counts(image, colours):
    """Each pixel's nearest colour in L*a*b* (OpenCV's float conversion), counted."""
    lab = cv2.cvtColor(image.astype(np.float32) / 255, cv2.COLOR_BGR2LAB).reshape(-1, 3)
    centres = cv2.cvtColor(np.array([[c[::-1] for c in colours]], np.float32) / 255, cv2.COLOR_BGR2LAB)[0]
    labels = ((lab[:, None] - centres[None]) ** 2).sum(axis=2).argmin(axis=1)
    return np.bincount(labels, minlength=len(colours)).tolist()


def test_count_nearest_is_the_nearest_colour_of_every_pixel():
    rng = np.random.default_rng(3)
    image = rng.integers(0, 256, (120, 90, 3), dtype=np.uint8)
    colours = [(250, 20, 20), (20, 200, 40), (30, 30, 220), (128, 128, 128), (240, 240, 240)]
    # a cell of the colour cube goes whole to the colour of its corners: a
    # few colours between them may be nearer another
    found = _engine.count_nearest(image, colours)
    assert np.abs(np.subtract(found, nearest_counts(image, colours))).max() <= image.size // 3 // 1000
    # masks, RGB order and strided views as find_palette reads them
    mask = np.zeros(image.shape[:2], np.uint8)
    mask[::2] = 255
    assert _engine.count_nearest(image, colours, mask) == _engine.count_nearest(image[::2], colours)
    assert _engine.count_nearest(np.ascontiguousarray(image[:, :, ::-1]), colours, rgb=True) == \
        _engine.count_nearest(image, colours)
    with pytest.raises(ValueError):
        _engine.count_nearest(image, colours, step=0)
    with pytest.raises(TypeError):
        _engine.count_nearest(image, [(1, 2)])


@pytest.mark.parametrize("pattern", ["columns", "rows", "checks"])
def test_sampling_sees_every_phase_of_fine_patterns(pattern):
    y, x = np.mgrid[0:400, 0:400]
    dark = {"columns": x % 2, "rows": y % 2, "checks": (x + y) % 2}[pattern] == 0
    image = np.repeat(np.where(dark, np.uint8(0), np.uint8(255))[:, :, None], 3, axis=2)
    for step in (2, 3, 4, 8):
        black, white = _engine.count_nearest(image, [(0, 0, 0), (255, 255, 255)], step=step)
        assert abs(black / (black + white) - 0.5) < 0.03, step


def test_palette_shares_of_fine_detail_are_those_of_the_full_photo(tmp_path):
    # thin navy threads on mustard: a shrink blends them into a colour of their own
    y, x = np.mgrid[0:1600, 0:2560]
    navy = ((x // 3) % 3 == 0) | ((y // 3) % 4 == 0)
    image = np.where(navy[:, :, None], np.array([90, 40, 20], np.uint8), np.array([40, 170, 210], np.uint8))
    path = tmp_path / "cloth.png"
    cv2.imwrite(str(path), image)
    found = palette(path, 3, names=None)
    truth = nearest_counts(image, [r["color"] for r in found])
    for record, pixels in zip(found, truth):
        assert abs(record["percentage"] - pixels / navy.size * 100) < 1.0
    assert sum(r["percentage"] for r in found) == pytest.approx(100, abs=0.05)


# ---- palette(): hex, file objects, distinct names ---------------------------------


def test_palette_takes_file_objects_and_gives_hex(tmp_path):
    import io

    path = pathlib.Path(__file__).parent / "data" / "coffee.png"
    expected = palette(path, 4)
    assert all(r["hex"] == "#%02x%02x%02x" % r["color"] for r in expected)
    with open(path, "rb") as opened:
        assert palette(opened, 4) == expected
    assert palette(io.BytesIO(path.read_bytes()), 4) == expected
    with open(path) as text, pytest.raises(TypeError, match="binary mode"):
        palette(text, 4)


def test_no_two_colours_of_a_palette_share_a_name():
    from velmora_huebit.colour.names import distinct_names

    # near-blacks tinted navy, green and brown, and three greys close together
    colours = [(16, 18, 40), (8, 30, 12), (38, 24, 12), (4, 4, 4), (6, 6, 6), (9, 9, 9), (112, 128, 144)]
    for names in ("css", "xkcd"):
        found = distinct_names(colours, names)
        assert len(set(found)) == len(found), found
    css = distinct_names(colours, "css")
    assert css[3] == "black" and css[6] == "slategray"
    assert {"dark navy", "dark green", "dark brown"} <= set(distinct_names(
        [(12, 12, 30), (8, 22, 10), (28, 18, 10)], "css")), css
