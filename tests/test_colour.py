"""The Python layers' one sRGB to CIE L*a*b* conversion, pinned to the
palette engine's twin in C++ (engine/lab.h: OpenCV's constants) so that a
colour the engine finds is named and sorted as the engine saw it."""

import itertools
import pathlib
import re

import numpy as np
import pytest

from velmora_huebit.colour import space

ENGINE = pathlib.Path(__file__).resolve().parents[1] / "src" / "velmora_huebit" / "engine"


def _numbers(text: str, name: str) -> list[float]:
    """The numbers a C++ constant is set to: name = x or name[...] = {x, ...}."""
    found = re.search(rf"\b{name}\b[^=]*=\s*(\{{.*?\}};|[-\d.e]+)", text, re.S)
    assert found, name
    return [float(x) for x in re.findall(r"-?\d+\.\d*(?:e-?\d+)?", found.group(1))]


@pytest.fixture(scope="module")
def engine_lab():
    if not (ENGINE / "lab.h").exists():
        pytest.skip("the engine's sources are not here (an installed wheel)")
    header = (ENGINE / "lab.h").read_text()
    linear = np.array(_numbers((ENGINE / "srgb_tables.h").read_text(), "kLinear"))
    to_xyz = np.array(_numbers(header, "kToXyz")).reshape(3, 3)
    white = np.array([_numbers(header, "kWhiteX")[0], 1.0, _numbers(header, "kWhiteZ")[0]])
    knee, slope = _numbers(header, "kKnee")[0], _numbers(header, "kSlope")[0]

    def to_lab(rgb):  # the formula of lab.h's to_lab, in NumPy
        xyz = linear[rgb] @ to_xyz.T / white
        f = np.where(xyz > knee, np.cbrt(xyz), slope * xyz + 16 / 116)
        lightness = np.where(xyz[:, 1] > knee, 116 * f[:, 1] - 16, 903.3 * xyz[:, 1])
        return np.stack([lightness, 500 * (f[:, 0] - f[:, 1]), 200 * (f[:, 1] - f[:, 2])], axis=-1)

    return linear, to_lab


def test_the_engine_and_the_python_layers_see_one_colour_alike(engine_lab):
    linear, to_lab = engine_lab
    values = np.arange(256)
    assert np.allclose(linear, [space.linear(v) for v in values], rtol=1e-15, atol=0)
    rgb = np.array(list(itertools.product(range(0, 256, 5), repeat=3)))
    difference = np.linalg.norm(to_lab(rgb) - space.srgb_to_lab(rgb), axis=1)
    # the two sets of constants agree to a hundredth of a just-noticeable difference
    assert difference.max() < 0.02


def test_one_conversion_for_names_sorting_and_labels():
    assert space.lab((255, 255, 255)) == pytest.approx((100.0, 0.0, 0.0), abs=1e-4)
    assert space.lab((177, 89, 46)) == tuple(space.srgb_to_lab([177, 89, 46]))
    assert space.hex_code((np.uint8(10), 255, 0)) == "#0aff00"
    assert space.contrast((0, 0, 0), (255, 255, 255)) == pytest.approx(21)


def test_the_css_names_are_pillows():
    from PIL import ImageColor

    from velmora_huebit.colour._css import COLOURS

    assert COLOURS == {name: space.hex_code(ImageColor.getrgb(name)[:3]) for name in sorted(ImageColor.colormap)}
