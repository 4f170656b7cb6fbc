"""Brand matching in the units designers use: for each target colour, the
CIEDE2000 difference to every counted pixel of the photo, the share of
pixels within each tolerance (a match, a close and a similar colour), the
nearest colour of the photo and its difference, and the tightest tolerance
that holds enough of the photo for the target to be present.

The pixels are those the shares of extract are counted on (analysis.shares:
the larger decode, sampled to about COUNT_PIXELS), so a share here is a
share of the photo's pixels, not of a palette. Each distinct colour is
converted and measured once (colour.space, NumPy only: no scikit-learn, no
clustering).
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from collections.abc import Mapping

    from velmora_huebit.records import DeltaERecord

TOLERANCES = (2.0, 5.0, 10.0)  # ΔE2000: about a just-noticeable difference, close, similar
BANDS = ("match", "close", "similar")
MIN_SHARE = 0.5  # percent of the pixels within a tolerance for the target to count as present


def check_tolerances(tolerances: Any) -> tuple[float, float, float]:
    """Three ΔE2000 tolerances, each above 0, in rising order."""
    import math

    try:
        found = tuple(float(t) for t in tolerances)
    except (TypeError, ValueError):
        raise TypeError(f"tolerances must be three numbers, not {tolerances!r:.60}") from None
    if len(found) != 3 or not all(math.isfinite(t) and t > 0 for t in found) or sorted(found) != list(found):
        raise ValueError(f"tolerances must be three ΔE2000 values above 0 in rising order (match, close, "
                         f"similar), not {tolerances!r:.60}")
    return found  # type: ignore[return-value]


def check_min_share(min_share: Any) -> float:
    import math

    if isinstance(min_share, bool) or not isinstance(min_share, (int, float)):
        raise TypeError(f"min_share must be a number, not {type(min_share).__name__}")
    if not (math.isfinite(min_share) and 0 <= min_share <= 100):
        raise ValueError(f"min_share must be a percentage from 0 to 100, not {min_share}")
    return float(min_share)


def delta_e_match(image, mask, targets: Mapping[Any, tuple[int, int, int]], rgb: bool = False,
                  tolerances=TOLERANCES, min_share: float = MIN_SHARE) -> dict[Any, DeltaERecord]:
    """The ΔE2000 record of each target against the pixels of an 8-bit image
    (blue-green-red, or red-green-blue with rgb) where the mask (or None) is
    above 128; a large image is sampled as its shares are counted. {} when
    no pixel is left."""
    import numpy as np

    from velmora_huebit.analysis.palette import grey
    from velmora_huebit.analysis.shares import sample_step, sampled
    from velmora_huebit.colour.space import ciede2000, srgb_to_lab

    pixels = sampled(image, grey(mask), sample_step(image)).astype(np.uint32)
    if not len(pixels) or not targets:
        return {}
    red, blue = (0, 2) if rgb else (2, 0)
    packed = pixels[:, red] << 16 | pixels[:, 1] << 8 | pixels[:, blue]
    colours, counts = np.unique(packed, return_counts=True)  # ascending: ties go to the lower colour
    found = np.stack([colours >> 16, colours >> 8 & 255, colours & 255], axis=1)
    labs = srgb_to_lab(found)
    total = float(counts.sum())
    results: dict[Any, DeltaERecord] = {}
    for name, target in targets.items():
        differences = ciede2000(srgb_to_lab(target), labs)
        nearest = int(differences.argmin())
        shares = [round(float(counts[differences <= t].sum()) / total * 100, 2) for t in tolerances]
        present = next((band for band, share in zip(BANDS, shares) if share > 0 and share >= min_share), None)
        results[name] = {"nearest_color": tuple(int(c) for c in found[nearest]),
                         "delta_e": round(float(differences[nearest]), 2),
                         "match_share": shares[0], "close_share": shares[1], "similar_share": shares[2],
                         "present": present}
    return results
