"""Colour names: the nearest named colour of a list, by CIEDE2000.

::

    from velmora_huebit.colour.names import nearest_name, add_names

    nearest_name((177, 89, 46))                # 'sienna'
    nearest_name((177, 89, 46), names="xkcd")  # 'rust brown'... per the survey
    add_names(records)  # a 'name' beside each record's 'color'

The lists:

- ``"css"``: the 148 colour names of CSS (as Pillow's ``ImageColor`` knows
  them), which designers know and stylesheets take; where two names give
  one colour (aqua and cyan, gray and grey) the first in alphabetical order.
- ``"xkcd"``: the 949 names of the XKCD colour survey (public domain, CC0),
  finer and in everyday words, some of them crude.

Colours are (R, G, B) in sRGB, 0-255; they are compared in CIE L*a*b* (D65)
by the CIEDE2000 colour difference (CIE 142-2001, as Sharma, Wu and Dalal
set it out in 2005). Needs NumPy only: naming a colour never loads
Matplotlib or scikit-learn.
"""

from __future__ import annotations

import functools
from typing import Any, Iterable, Sequence, TypeVar

from numpy.typing import ArrayLike

import numpy as np

__all__ = ["NAME_LISTS", "nearest_name", "nearest_names", "add_names", "srgb_to_lab", "ciede2000"]

NAME_LISTS = ("css", "xkcd")

# sRGB (IEC 61966-2-1) to CIE XYZ, and the D65 white point
_RGB_TO_XYZ = np.array([[0.4124564, 0.3575761, 0.1804375],
                        [0.2126729, 0.7151522, 0.0721750],
                        [0.0193339, 0.1191920, 0.9503041]])
_WHITE = np.array([0.95047, 1.0, 1.08883])
_EPSILON = 216 / 24389
_KAPPA = 24389 / 27


def srgb_to_lab(rgb: ArrayLike) -> np.ndarray:
    """CIE L*a*b* (D65) of sRGB colours 0-255, shape (..., 3) in and out."""
    c = np.asarray(rgb, dtype=np.float64) / 255.0
    linear = np.where(c <= 0.04045, c / 12.92, ((c + 0.055) / 1.055) ** 2.4)
    xyz = linear @ _RGB_TO_XYZ.T / _WHITE
    f = np.where(xyz > _EPSILON, np.cbrt(xyz), (_KAPPA * xyz + 16) / 116)
    fx, fy, fz = f[..., 0], f[..., 1], f[..., 2]
    lab: np.ndarray = np.stack([116 * fy - 16, 500 * (fx - fy), 200 * (fy - fz)], axis=-1)
    return lab


_COS = {d: np.cos(np.radians(d)) for d in (6, 30, 63)}
_SIN = {d: np.sin(np.radians(d)) for d in (6, 30, 63)}


def _seventh(x: np.ndarray) -> np.ndarray:
    x2 = x * x
    power: np.ndarray = x2 * x2 * x2 * x
    return power


def ciede2000(lab1: ArrayLike, lab2: ArrayLike) -> np.ndarray:
    """The CIEDE2000 difference of L*a*b* colours (kL = kC = kH = 1), shape
    (..., 3) each, broadcast against each other."""
    # not broadcast up front: what depends on one side only is worked out on that side's shape
    lab1, lab2 = np.asarray(lab1, np.float64), np.asarray(lab2, np.float64)
    L1, a1, b1 = lab1[..., 0], lab1[..., 1], lab1[..., 2]
    L2, a2, b2 = lab2[..., 0], lab2[..., 1], lab2[..., 2]

    # powers and cosines by products: a name lookup is mostly this function
    c_mean7 = _seventh((np.hypot(a1, b1) + np.hypot(a2, b2)) / 2)
    g = 0.5 * (1 - np.sqrt(c_mean7 / (c_mean7 + 25.0**7)))
    a1, a2 = (1 + g) * a1, (1 + g) * a2
    c1, c2 = np.hypot(a1, b1), np.hypot(a2, b2)
    h1, h2 = np.degrees(np.arctan2(b1, a1)), np.degrees(np.arctan2(b2, a2))
    h1, h2 = np.where(h1 < 0, h1 + 360, h1), np.where(h2 < 0, h2 + 360, h2)
    achromatic = c1 * c2 == 0  # a hue difference means nothing for a grey

    dh = h2 - h1
    dh = np.where(dh > 180, dh - 360, np.where(dh < -180, dh + 360, dh))
    dh = np.where(achromatic, 0.0, dh)
    d_l, d_c = L2 - L1, c2 - c1
    d_h = 2 * np.sqrt(c1 * c2) * np.sin(np.radians(dh / 2))

    l_mean = (L1 + L2) / 2
    c_mean = (c1 + c2) / 2
    h_sum = h1 + h2
    h_mean = np.where(np.abs(h1 - h2) <= 180, h_sum / 2,
                      np.where(h_sum < 360, (h_sum + 360) / 2, (h_sum - 360) / 2))
    h_mean = np.where(achromatic, h_sum, h_mean)

    cos1, sin1 = np.cos(np.radians(h_mean)), np.sin(np.radians(h_mean))
    cos2, sin2 = 2 * cos1 * cos1 - 1, 2 * sin1 * cos1
    cos3, sin3 = cos2 * cos1 - sin2 * sin1, sin2 * cos1 + cos2 * sin1
    cos4, sin4 = 2 * cos2 * cos2 - 1, 2 * sin2 * cos2
    # 1 - 0.17 cos(h - 30°) + 0.24 cos(2h) + 0.32 cos(3h + 6°) - 0.20 cos(4h - 63°)
    t = (1 - 0.17 * (cos1 * _COS[30] + sin1 * _SIN[30]) + 0.24 * cos2
         + 0.32 * (cos3 * _COS[6] - sin3 * _SIN[6]) - 0.20 * (cos4 * _COS[63] + sin4 * _SIN[63]))
    d_theta = 30 * np.exp(-(((h_mean - 275) / 25) ** 2))
    c_mean7 = _seventh(c_mean)
    r_c = 2 * np.sqrt(c_mean7 / (c_mean7 + 25.0**7))
    s_l = 1 + 0.015 * (l_mean - 50) ** 2 / np.sqrt(20 + (l_mean - 50) ** 2)
    s_c = 1 + 0.045 * c_mean
    s_h = 1 + 0.015 * c_mean * t
    r_t = -np.sin(np.radians(2 * d_theta)) * r_c
    difference: np.ndarray = np.sqrt((d_l / s_l) ** 2 + (d_c / s_c) ** 2 + (d_h / s_h) ** 2
                   + r_t * (d_c / s_c) * (d_h / s_h))
    return difference


def _named_colours(names: str) -> dict[str, str]:
    if names == "css":
        from PIL import ImageColor

        # its values turn from hex texts into tuples as they are looked up
        return {name: "#%02x%02x%02x" % ImageColor.getrgb(name)[:3] for name in sorted(ImageColor.colormap)}
    if names == "xkcd":
        from velmora_huebit.colour._xkcd import COLOURS

        return COLOURS
    raise ValueError(f"unknown list of colour names {names!r} (use one of: {', '.join(NAME_LISTS)})")


@functools.lru_cache(maxsize=None)
def _table(names: str) -> tuple[tuple[str, ...], np.ndarray]:
    listed = _named_colours(names)
    rgb = np.array([[int(code[i:i + 2], 16) for i in (1, 3, 5)] for code in listed.values()])
    return tuple(listed), srgb_to_lab(rgb)


def nearest_names(colours: Iterable[Sequence[int]], names: str = "css") -> list[str]:
    """The nearest named colour of each (R, G, B) colour; on a tie, the name
    listed first."""
    labels, table = _table(names)
    rgb = np.asarray(list(colours) if not isinstance(colours, np.ndarray) else colours, dtype=np.float64)
    if rgb.size == 0:
        return []
    if rgb.ndim != 2 or rgb.shape[1] != 3:
        raise ValueError(f"expected (R, G, B) colours, got an array of shape {rgb.shape}")
    if not (np.isfinite(rgb).all() and rgb.min() >= 0 and rgb.max() <= 255):
        raise ValueError("colour components must lie between 0 and 255")
    lab = srgb_to_lab(rgb)
    found = []
    for start in range(0, len(lab), 1024):  # a bounded distance matrix for long lists
        chunk = lab[start:start + 1024, None, :]
        found.extend(np.argmin(ciede2000(chunk, table[None, :, :]), axis=1).tolist())
    return [labels[i] for i in found]


def nearest_name(rgb: Sequence[int], names: str = "css") -> str:
    """The nearest named colour of one (R, G, B) colour."""
    return nearest_names([rgb], names)[0]


Records = TypeVar("Records", bound=Sequence[Any])


def add_names(records: Records, names: str = "css") -> Records:
    """Gives each colour record (a dict with an (R, G, B) 'color') a 'name'
    of the list; returns the records."""
    for record, name in zip(records, nearest_names([r["color"] for r in records], names)):
        record["name"] = name
    return records
