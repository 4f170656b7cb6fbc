"""velmora_huebit.match(): how much of an image shows each of some named
target colours, as the command line's ``match`` reports it: in CIEDE2000 by
default (delta_e), or with the module's measures (pixels=True, or a
threshold given).

``similarity`` is ColorExtractor.analyze_color_similarity's arithmetic on
colour records given to it (distance in OpenCV's 8-bit L*a*b*, nearest
record, threshold, bands), with every colour converted in one cv2.cvtColor
call instead of two one-pixel calls per pair. ``PaletteMatcher`` is the
command line's match with the palette engine: similarity on the engine's
colours, and pixel matching by the module (loaded only for that).
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, Literal, TypeVar, overload

from velmora_huebit.analysis.delta_e import MIN_SHARE, TOLERANCES, check_min_share, check_tolerances, delta_e_match
from velmora_huebit.analysis.palette import DEFAULT_MAX_SIDE, _count, check_channels, dominant_colors, load_prepared

if TYPE_CHECKING:
    from collections.abc import Mapping

    from velmora_huebit.analysis.palette import ImageLike, MaskLike
    from velmora_huebit.records import ColorRecord, DeltaERecord, MatchRecord, SimilarityRecord

    Colour = tuple[int, int, int]
    TargetLike = Colour | list[int] | str

Name = TypeVar("Name")


def similarity(records: list[ColorRecord], targets: Mapping[Any, Colour],
               threshold: float = 50.0) -> dict[Any, SimilarityRecord]:
    """The similarity record of each target against the colour records, as
    analyze_color_similarity gives them for that extraction: the nearest
    record (the earlier on a tie), its share scaled down linearly up to the
    threshold (inclusive; 0 counts exact matches only), found directly below
    a distance of 10. Targets are (r, g, b) tuples of ints 0-255."""
    import cv2
    import numpy as np

    threshold = float(threshold)
    if not records or not targets:
        return {}
    names = list(targets)
    colours = [r["color"] for r in records] + [targets[n] for n in names]
    lab = cv2.cvtColor(np.array([colours], np.uint8), cv2.COLOR_RGB2LAB)[0].astype(np.int64)
    # exact integer sums, so each square root is the module's to the last bit
    squares = ((lab[len(records):, None, :] - lab[None, :len(records), :]) ** 2).sum(axis=2)
    distances = np.sqrt(squares.astype(np.float64))
    nearest = distances.argmin(axis=1)  # the first of equal distances
    results: dict[Any, SimilarityRecord] = {}
    for name, row, index in zip(names, distances, nearest.tolist()):
        record, distance = records[index], float(row[index])
        score: float = 0
        percentage: float = 0
        if distance <= threshold:
            # a zero threshold holds exact matches alone: the full share, not a division by zero
            x = 100.0 if threshold == 0.0 else (threshold - distance) / threshold * 100
            score = x if x > 0 else 0
            percentage = record["percentage"] * (score / 100)
        results[name] = {"percentage": round(percentage, 2), "similarity": round(score, 2),
                         "closest_color": record["color"], "distance": round(distance, 2),
                         "found_directly": distance < 10.0}
    return results


class PaletteMatcher:
    """The command line's match with the palette engine: similarity on the
    colours the engine finds (the same records as ``extract`` prints), and
    the module's pixel matching as ``--engine library`` does it without
    preprocessing. Picklable: it travels to the workers."""

    def __init__(self, n_colors: int = 5):
        self.n_colors = n_colors
        self._library: Any = None  # the module's ColorExtractor, made when first needed

    def __getstate__(self) -> dict[str, int]:
        return {"n_colors": self.n_colors}

    def __setstate__(self, state: dict[str, int]) -> None:
        self.n_colors, self._library = state["n_colors"], None

    def analyze_color_similarity(self, image, target_colors, mask=None, similarity_threshold=50.0):
        return similarity(dominant_colors(image, mask, self.n_colors), target_colors, similarity_threshold)

    def find_color_matches(self, image, target_colors, mask=None):
        if self._library is None:
            # the module loads scikit-learn and Matplotlib: only for --pixels
            from velmora_huebit.color_extractor_cy import ColorExtractor

            self._library = ColorExtractor(self.n_colors, "kmeans", False, True)
        return self._library.find_color_matches(image, target_colors, mask)


def _target(name: Any, colour: Any) -> Colour:
    if isinstance(colour, str):
        from velmora_huebit.colour.parse import parse_color

        try:
            return parse_color(colour)
        except ValueError as exc:
            raise ValueError(f"target {name!r}: {exc}") from None
    if isinstance(colour, (tuple, list)) and len(colour) == 3 and all(
            not isinstance(c, bool) and hasattr(type(c), "__index__") for c in colour):
        values = tuple(c.__index__() for c in colour)
        if all(0 <= c <= 255 for c in values):
            return values
        raise ValueError(f"target {name!r}: values must lie between 0 and 255, not {values}")
    raise TypeError(f"target {name!r} must be (r, g, b) with whole numbers 0-255 or a colour "
                    f"text such as '#f0cfaf', not {colour!r:.60}")


def parse_targets(targets: Any) -> dict[Any, Colour]:
    """Targets as (r, g, b) tuples: given as such, as lists, or as colour
    texts ('#f0cfaf', '51,22,18', 'seagreen')."""
    from collections.abc import Mapping

    if not isinstance(targets, Mapping):
        raise TypeError(f"targets must be a dict of names and colours, not {type(targets).__name__}")
    return {name: _target(name, colour) for name, colour in targets.items()}


def _threshold(threshold: Any) -> float:
    if isinstance(threshold, bool) or not isinstance(threshold, (int, float)):
        raise TypeError(f"threshold must be a number, not {type(threshold).__name__}")
    if not (math.isfinite(threshold) and threshold >= 0):
        raise ValueError(f"threshold must be a number of 0 or more, not {threshold}")
    return float(threshold)


@overload
def match(image: ImageLike, targets: Mapping[Name, TargetLike], n_colors: int = 5, *,
          mask: MaskLike | None = None, max_side: int = DEFAULT_MAX_SIDE, channels: Literal["bgr", "rgb"] = "bgr",
          keep_transparent: bool = False, threshold: None = None, pixels: Literal[False] = False,
          tolerances: tuple[float, float, float] = TOLERANCES,
          min_share: float = MIN_SHARE) -> dict[Name, DeltaERecord]: ...
@overload
def match(image: ImageLike, targets: Mapping[Name, TargetLike], n_colors: int = 5, *,
          mask: MaskLike | None = None, max_side: int = DEFAULT_MAX_SIDE, channels: Literal["bgr", "rgb"] = "bgr",
          keep_transparent: bool = False, threshold: float,
          pixels: Literal[False] = False) -> dict[Name, SimilarityRecord]: ...
@overload
def match(image: ImageLike, targets: Mapping[Name, TargetLike], n_colors: int = 5, *,
          mask: MaskLike | None = None, max_side: int = DEFAULT_MAX_SIDE, channels: Literal["bgr", "rgb"] = "bgr",
          keep_transparent: bool = False, threshold: None = None,
          pixels: Literal[True]) -> dict[Name, MatchRecord]: ...


def match(
    image: ImageLike,
    targets: Mapping[Name, TargetLike],
    n_colors: int = 5,
    *,
    mask: MaskLike | None = None,
    max_side: int = DEFAULT_MAX_SIDE,
    channels: Literal["bgr", "rgb"] = "bgr",
    keep_transparent: bool = False,
    threshold: float | None = None,
    pixels: bool = False,
    tolerances: tuple[float, float, float] = TOLERANCES,
    min_share: float = MIN_SHARE,
) -> dict[Name, DeltaERecord] | dict[Name, SimilarityRecord] | dict[Name, MatchRecord]:
    """How much of an image shows each target colour, exactly as
    ``velmora-huebit match`` reports it with the same settings.

    image, n_colors, mask, max_side, channels, keep_transparent: as for
    ``palette()``.
    targets: a dict of names and colours, each (r, g, b) with whole numbers
    0-255 (a tuple or a list) or a colour as the command line's --target
    takes it ('#f0cfaf', '51,22,18', 'seagreen').

    tolerances: the CIEDE2000 differences (match, close, similar; by default
    2, 5 and 10) within which a pixel counts for a target.
    min_share: the percentage of the pixels that must lie within a
    tolerance for the target to be present there (default 0.5).

    Returns a dict of the targets' names, in their order, each with a
    ΔE2000 record: ``{'nearest_color', 'delta_e', 'match_share',
    'close_share', 'similar_share', 'present'}`` (the photo's pixel colour
    nearest the target and its CIEDE2000 difference; the percentages of
    the pixels within each tolerance; "match", "close" or "similar", the
    tightest tolerance holding at least min_share, or None). The pixels are
    those extract counts shares on (a large photo is sampled).

    With the module's measures instead (as ``match --engine library``):
    threshold: compare the dominant colours, counting one as a target up to
    this distance (0 or more; 0 counts exact matches only). Distances are
    Euclidean in OpenCV's 8-bit L*a*b* (black to white is 255).
    pixels: measure every pixel in those units (as ``match --pixels``; the
    threshold does not apply).
    Each target then has a similarity record: ``{'percentage', 'similarity', 'closest_color',
    'distance', 'found_directly'}`` (the nearest of the n_colors dominant
    colours, credited with its share scaled down linearly to 0 at the
    threshold, found directly below a distance of 10); with pixels=True a
    match record: ``{'total_percentage', 'close_percentage',
    'very_close_percentage', 'closest_pixel', 'min_distance',
    'similarity_score'}`` (the shares of pixels within 50, 30 and 15, the
    nearest pixel; NumPy numbers, as ColorExtractor.find_color_matches gives
    them). ``{}`` when no pixel is left.
    """
    check_channels(channels)
    wanted = parse_targets(targets)
    k = _count(n_colors)
    if pixels and threshold is not None:
        raise ValueError("threshold applies to the dominant colours, not to pixels=True")
    limit = None if threshold is None else _threshold(threshold)
    within = check_tolerances(tolerances)
    least = check_min_share(min_share)
    prepared = load_prepared(image, mask, max_side, channels, keep_transparent)
    if prepared is None:
        return {}
    shrunk, plane, rgb, larger = prepared
    if limit is None and not pixels:
        return delta_e_match(shrunk, plane, wanted, rgb, within, least, counted=larger)
    if pixels:
        import numpy as np

        # the module reads blue-green-red
        bgr = np.ascontiguousarray(shrunk[:, :, ::-1]) if rgb else shrunk
        return PaletteMatcher(k).find_color_matches(bgr, wanted, plane)
    return similarity(dominant_colors(shrunk, plane, k, rgb=rgb), wanted, limit)
