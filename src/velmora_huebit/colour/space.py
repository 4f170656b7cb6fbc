"""sRGB, CIE L*a*b*, OKLCH and the colour difference, in one place: every
conversion of the Python layers (names, sort orders, label contrast, hex
codes) uses these constants. The palette engine has its own twin in C++
(engine/lab.h, with OpenCV's constants, which the benchmarks measure by);
tests/test_colour.py pins the two together. OpenCV's 8-bit L*a*b*, the
module's distance, is cv2.cvtColor's and not converted here.

Colours are (R, G, B) in sRGB (IEC 61966-2-1), 0-255; L*a*b* is CIE 1976
with the D65 white point; OKLab and its polar OKLCH are Björn Ottosson's
(2020), as CSS Color 4 takes them; the difference is CIEDE2000 (CIE 142-2001, as
Sharma, Wu and Dalal set it out in 2005). NumPy only.
"""

from __future__ import annotations

import functools
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import ArrayLike

__all__ = ["srgb_to_lab", "lab", "srgb_to_oklch", "oklch", "oklch_all", "oklch_css", "ciede2000", "linear", "luminance",
           "contrast", "hex_code"]

# sRGB (IEC 61966-2-1) to CIE XYZ, and the D65 white point
_RGB_TO_XYZ = ((0.4124564, 0.3575761, 0.1804375),
               (0.2126729, 0.7151522, 0.0721750),
               (0.0193339, 0.1191920, 0.9503041))
_WHITE = (0.95047, 1.0, 1.08883)
_EPSILON = 216 / 24389
_KAPPA = 24389 / 27

# NumPy is imported where it is used: the command line's option parser reads
# colours through this module, and should start without it.


@functools.cache
def _arrays() -> tuple[np.ndarray, np.ndarray, dict, dict]:
    import numpy as np

    cos = {d: np.cos(np.radians(d)) for d in (6, 30, 63)}
    sin = {d: np.sin(np.radians(d)) for d in (6, 30, 63)}
    return np.array(_RGB_TO_XYZ), np.array(_WHITE), cos, sin


def _linear(c: np.ndarray) -> np.ndarray:
    """The sRGB curve undone: channel values 0-1 to linear light."""
    import numpy as np

    found: np.ndarray = np.where(c <= 0.04045, c / 12.92, ((c + 0.055) / 1.055) ** 2.4)
    return found


@functools.cache
def _linear_table() -> np.ndarray:
    import numpy as np

    return _linear(np.arange(256, dtype=np.float64) / 255.0)


def srgb_to_lab(rgb: ArrayLike) -> np.ndarray:
    """CIE L*a*b* (D65) of sRGB colours 0-255, shape (..., 3) in and out."""
    import numpy as np

    to_xyz, white, _, _ = _arrays()
    given = np.asarray(rgb)
    if given.dtype == np.uint8:
        # through a table of the curve: the same numbers, without a power per channel
        linear = _linear_table()[given]
    else:
        linear = _linear(given.astype(np.float64) / 255.0)
    xyz = linear @ to_xyz.T / white
    f = np.where(xyz > _EPSILON, np.cbrt(xyz), (_KAPPA * xyz + 16) / 116)
    fx, fy, fz = f[..., 0], f[..., 1], f[..., 2]
    lab: np.ndarray = np.stack([116 * fy - 16, 500 * (fx - fy), 200 * (fy - fz)], axis=-1)
    return lab


def _seventh(x: np.ndarray) -> np.ndarray:
    x2 = x * x
    power: np.ndarray = x2 * x2 * x2 * x
    return power


def ciede2000(lab1: ArrayLike, lab2: ArrayLike) -> np.ndarray:
    """The CIEDE2000 difference of L*a*b* colours (kL = kC = kH = 1), shape
    (..., 3) each, broadcast against each other."""
    import numpy as np

    _, _, cos_of, sin_of = _arrays()
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
    t = (1 - 0.17 * (cos1 * cos_of[30] + sin1 * sin_of[30]) + 0.24 * cos2
         + 0.32 * (cos3 * cos_of[6] - sin3 * sin_of[6]) - 0.20 * (cos4 * cos_of[63] + sin4 * sin_of[63]))
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



# OKLab: linear sRGB to cone responses (LMS), cube roots, then to L, a, b
# (the matrices as CSS Color 4 prints them)
_RGB_TO_LMS = ((0.4122214708, 0.5363325363, 0.0514459929),
               (0.2119034982, 0.6806995451, 0.1073969566),
               (0.0883024619, 0.2817188376, 0.6299787005))
_LMS_TO_OKLAB = ((0.2104542553, 0.7936177850, -0.0040720468),
                 (1.9779984951, -2.4285922050, 0.4505937099),
                 (0.0259040371, 0.7827717662, -0.8086757660))
# Below this chroma a colour is a grey: its hue is noise of the arithmetic,
# given as 0 (CSS writes "none"; JSON has no such value).
OKLCH_GREY = 2e-4


@functools.cache
def _oklab_matrices() -> tuple[np.ndarray, np.ndarray]:
    import numpy as np

    return np.array(_RGB_TO_LMS).T, np.array(_LMS_TO_OKLAB).T


def srgb_to_oklch(rgb: ArrayLike) -> np.ndarray:
    """OKLCH of sRGB colours 0-255, shape (..., 3) in and out: lightness 0-1,
    chroma (0 to about 0.32 in sRGB), hue in degrees 0-360 (0 for greys)."""
    import numpy as np

    to_lms, to_oklab = _oklab_matrices()
    c = np.asarray(rgb, dtype=np.float64) / 255.0
    ok = np.cbrt(_linear(c) @ to_lms) @ to_oklab
    chroma = np.hypot(ok[..., 1], ok[..., 2])
    hue = np.degrees(np.arctan2(ok[..., 2], ok[..., 1])) % 360
    found: np.ndarray = np.stack([ok[..., 0], chroma, np.where(chroma < OKLCH_GREY, 0.0, hue)], axis=-1)
    return found


def oklch(rgb: Any) -> tuple[float, float, float]:
    """OKLCH of one sRGB colour as plain floats, rounded as records give
    them: lightness and chroma to 4 decimals, hue to 2."""
    return oklch_all([rgb])[0]


def oklch_all(colours: list) -> list[tuple[float, float, float]]:
    """oklch() of each colour, in one conversion."""
    if not colours:
        return []
    found = srgb_to_oklch([[int(c) for c in rgb] for rgb in colours]).tolist()
    return [(round(lightness, 4), round(chroma, 4), round(hue, 2) % 360) for lightness, chroma, hue in found]


def oklch_css(rgb: Any, found: tuple[float, float, float] | None = None) -> str:
    """The colour as CSS Color 4 writes it: oklch(62.8% 0.2577 29.23)
    (found: its oklch(), where already worked out)."""
    lightness, chroma, hue = found or oklch(rgb)
    return f"oklch({lightness * 100:.2f}% {chroma:.4f} {hue:.2f})"


def lab(rgb: Any) -> tuple[float, float, float]:
    """CIE L*a*b* of one sRGB colour, as plain floats."""
    found = srgb_to_lab([int(c) for c in rgb])
    return float(found[0]), float(found[1]), float(found[2])


def linear(channel: int) -> float:
    """Linear light of one 8-bit sRGB channel value, 0 to 1 (the curve of
    _linear, in plain floats for the few colours of a chart's labels)."""
    c = channel / 255
    return c / 12.92 if c <= 0.04045 else ((c + 0.055) / 1.055) ** 2.4


def luminance(rgb: Any) -> float:
    """WCAG relative luminance of an sRGB colour, 0 (black) to 1 (white),
    with WCAG's own rounded weights."""
    r, g, b = (linear(int(c)) for c in rgb)
    return 0.2126 * r + 0.7152 * g + 0.0722 * b


def contrast(a: Any, b: Any) -> float:
    """WCAG contrast ratio of two colours, 1 (none) to 21 (black on white)."""
    la, lb = luminance(a), luminance(b)
    return (max(la, lb) + 0.05) / (min(la, lb) + 0.05)


def hex_code(rgb: Any) -> str:
    """#rrggbb of an (R, G, B) colour."""
    r, g, b = (int(c) for c in rgb)
    return f"#{r:02x}{g:02x}{b:02x}"
