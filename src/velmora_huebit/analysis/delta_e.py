"""Brand matching in the units designers use: for each target colour, the
CIEDE2000 difference to every counted pixel of the photo, the share of
pixels within each tolerance (a match, a close and a similar colour), the
nearest colour of the photo and its difference, and the tightest tolerance
that holds enough of the photo for the target to be present.

The pixels are those the shares of extract are counted on (analysis.shares:
the larger decode, sampled to about COUNT_PIXELS), so a share here is a
share of the photo's pixels, not of a palette. The palette engine counts
them (engine/delta_e.cpp: each distinct colour measured once, the
interpreter lock released; no scikit-learn, no clustering).
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
                  tolerances=TOLERANCES, min_share: float = MIN_SHARE, counted=None) -> dict[Any, DeltaERecord]:
    """The ΔE2000 record of each target against the pixels of an 8-bit image
    (blue-green-red, or red-green-blue with rgb) where the mask (or None) is
    above 128, or of counted, the larger (image, mask) that shares are
    counted on, when given; a large image is sampled as its shares are
    counted. {} when no pixel is left."""
    from velmora_huebit._engine import MAX_COLORS, count_within
    from velmora_huebit.analysis.palette import grey
    from velmora_huebit.analysis.shares import sample_step

    if counted is not None:
        image, mask = counted
    names, colours = list(targets), list(targets.values())
    found: list = []
    total = 0
    for start in range(0, len(colours), MAX_COLORS):  # the engine takes so many at once
        total, part = count_within(image, colours[start:start + MAX_COLORS], tuple(tolerances), grey(mask),
                                   rgb=rgb, step=sample_step(image))
        found += part
    if not total:
        return {}
    results: dict[Any, DeltaERecord] = {}
    for name, (within, nearest, difference) in zip(names, found):
        shares = [round(n / total * 100, 2) for n in within]
        present = next((band for band, share in zip(BANDS, shares) if share > 0 and share >= min_share), None)
        results[name] = {"nearest_color": nearest, "delta_e": round(difference, 2),
                         "match_share": shares[0], "close_share": shares[1], "similar_share": shares[2],
                         "present": present}
    return results
