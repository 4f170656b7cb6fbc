"""One photo's work as a run describes it (Job) and what comes of it
(Outcome): plain data that the runners carry to workers and the outputs
turn into records, rows and files."""

from __future__ import annotations

import dataclasses

from velmora_huebit.analysis.views import View
from velmora_huebit.photos.reading import DEFAULT_MAX_PIXELS


@dataclasses.dataclass(frozen=True)
class Job:
    """What to do with every photo of a run."""

    command: str
    mask: object = None  # mask array (BGR as cv2.imread gives it, or its grey plane) or None
    max_side: int = 0  # 0: full resolution
    max_pixels: int = DEFAULT_MAX_PIXELS  # larger images are refused from their header; 0: no limit
    keep_transparent: bool = False
    targets: dict | None = None
    pixels: bool = False
    threshold: float | None = None
    names: str | None = None  # extract: the list colours are named from, None for no names
    view: View = View()  # sorting, the DBSCAN check, report thumbnails
    engine: str = "palette"  # or "library": ColorExtractor
    storage: dict | None = None  # options of the filesystem of s3:// photos (see storage)


@dataclasses.dataclass(frozen=True)
class Outcome:
    result: object = None
    error: str | None = None
    warnings: tuple = ()
    size: tuple | None = None  # (width, height) analysed
    full_size: tuple | None = None  # (width, height) of the photo
    thumbnail: bytes | None = None  # JPEG for the report
    # the warnings that make the palette doubtful (a truncated photo, one almost all
    # transparent, DBSCAN's one colour): the photo's status is then "warning"
    doubts: tuple = ()


STATUSES = ("ok", "warning", "empty", "failed")


def status(outcome: Outcome) -> str:
    """What a photo's record, row and summary say of it: failed (no
    result), empty (no colours), warning (see Outcome.doubts) or ok."""
    if outcome.result is None:
        return "failed"
    if not outcome.result:
        return "empty"
    return "warning" if outcome.doubts else "ok"
