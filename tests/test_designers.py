"""What designers reach for: OKLCH and WCAG contrast against an independent
library (ColorAide), and the swatch roles on photos whose answer is plain,
made here: a saturated red object on grey, a pastel photo, a night photo."""

import json

import cv2
import numpy as np
import pytest
from coloraide import Color

import velmora_huebit
from test_cli import run_cli
from velmora_huebit.colour import space, swatches
from velmora_huebit.colour.roles import NAMES


def _color(rgb):
    return Color("srgb", [c / 255 for c in rgb])


def test_oklch_and_contrast_agree_with_coloraide():
    rng = np.random.default_rng(30)
    colours = [tuple(int(c) for c in rgb) for rgb in rng.integers(0, 256, (300, 3))]
    colours += [(0, 0, 0), (255, 255, 255), (128, 128, 128), (255, 0, 0), (0, 0, 255), (255, 255, 0)]
    found = space.srgb_to_oklch(colours)
    for rgb, (lightness, chroma, hue) in zip(colours, found):
        theirs = _color(rgb).convert("oklch")
        assert lightness == pytest.approx(theirs["lightness"], abs=2e-6)
        assert chroma == pytest.approx(theirs["chroma"], abs=2e-6)
        if chroma > 0.01:  # a grey's hue is noise, given as 0
            assert (hue - theirs["hue"] + 180) % 360 - 180 == pytest.approx(0, abs=1e-3)
        ratio = _color(rgb).contrast(_color(colours[0]), method="wcag21")
        assert space.contrast(rgb, colours[0]) == pytest.approx(ratio, rel=1e-3)
        text, shown = swatches.text_colour(rgb)
        best = max(_color(rgb).contrast("black", method="wcag21"), _color(rgb).contrast("white", method="wcag21"))
        assert shown == pytest.approx(best, abs=0.011) and shown <= best + 1e-3  # cut, never rounded up
        assert text == ("black" if _color(rgb).contrast("black", method="wcag21") >= best else "white")
    assert space.oklch_css((255, 0, 0)) == "oklch(62.80% 0.2577 29.23)"
    assert space.oklch((128, 128, 128))[1:] == (0.0, 0.0)


def test_readable_pairs_reach_their_level():
    palette = [(0, 0, 0), (255, 255, 255), (118, 118, 118), (119, 119, 119), (40, 40, 40)]
    found = {(i, j): (ratio, level) for i, j, ratio, level in swatches.readable_pairs(palette)}
    assert found[(0, 1)] == (21.0, "AAA")
    assert found[(1, 2)][1] == "AA"  # #767676 on white: 4.54, the lightest grey that passes
    assert (1, 3) not in found  # #777777: 4.48
    assert found[(1, 4)][1] == "AAA" and (0, 4) not in found


def photo(size=(120, 160), background=(128, 128, 128)):
    return np.full((*size, 3), background[::-1], np.uint8)  # BGR, as OpenCV gives it


def red_on_grey():
    image = photo()
    cv2.circle(image, (80, 60), 40, (30, 30, 210), -1)
    return image


def pastel():
    image = photo(background=(246, 242, 236))
    for i, colour in enumerate([(250, 200, 210), (200, 228, 250), (210, 240, 210)]):
        image[:, 40 + 40 * i:80 + 40 * i] = colour[::-1]
    return image


def night():
    image = photo(background=(10, 12, 24))
    image[90:, :] = (30, 30, 34)[::-1]  # dark ground
    for x in range(10, 160, 30):
        cv2.circle(image, (x, 70), 4, (80, 200, 250), -1)  # street lights, warm yellow
    return image


def roles_of(image, n=5):
    return {r["role"]: r["color"] for r in velmora_huebit.palette(image, n, roles=True) if "role" in r}


class TestRoles:
    def test_red_object_on_grey(self):
        roles = roles_of(red_on_grey())
        assert set(roles) == {"vibrant", "muted"}
        r, g, b = roles["vibrant"]
        assert r > 180 and g < 60 and b < 60
        assert max(roles["muted"]) - min(roles["muted"]) < 10  # the grey

    def test_pastel_photo_has_light_roles_only(self):
        roles = roles_of(pastel())
        assert roles and set(roles) <= {"vibrant_light", "muted_light"}
        assert "vibrant_light" in roles and "muted_light" in roles
        assert space.oklch(roles["muted_light"])[1] < space.oklch(roles["vibrant_light"])[1]

    def test_night_photo_has_dark_roles_and_lights(self):
        roles = roles_of(night())
        assert "muted_dark" in roles and space.oklch(roles["muted_dark"])[0] < 0.3
        assert not {"muted", "muted_light", "vibrant"} & set(roles)
        lights = roles.get("vibrant_light")
        assert lights is not None and lights[0] > 200 and lights[2] < 120

    def test_roles_reach_json_tables_and_exports(self, tmp_path):
        cv2.imwrite(str(tmp_path / "red.png"), red_on_grey())
        proc = run_cli("extract", tmp_path / "red.png", "--roles", "-o", tmp_path / "t.csv",
                       *(arg for suffix in ("css", "ase", "json") for arg in ("--export", tmp_path / f"{{stem}}.{suffix}")))
        assert proc.returncode == 0, proc.stderr
        record = json.loads((tmp_path / "red.json").read_text())
        assert list(record["roles"]) == list(NAMES)
        vibrant = record["roles"]["vibrant"]
        assert vibrant["hex"] in [c["hex"] for c in record["colors"]] and record["roles"]["muted_dark"] is None
        import pandas

        table = pandas.read_csv(tmp_path / "t.csv")
        assert table.set_index("hex")["role"].get(vibrant["hex"]) == "vibrant"
        css = (tmp_path / "red.css").read_text()
        assert f"--vibrant: {vibrant['hex']};" in css and "--vibrant: oklch(" in css
        from velmora_huebit.colour.parse import read_palette

        assert ("vibrant", tuple(vibrant["rgb"])) in read_palette(str(tmp_path / "red.ase"))
        assert table[["oklch_l", "oklch_c", "oklch_h", "text_contrast"]].dtypes.eq(float).all()
        import velmora_huebit

        found = next(velmora_huebit.analyse(tmp_path / "red.png", roles=True)).records
        assert [r.get("role") for r in found] == [r.get("role") for r in velmora_huebit.palette(tmp_path / "red.png",
                                                                                                 roles=True)]
        assert "vibrant" in [r.get("role") for r in found]
