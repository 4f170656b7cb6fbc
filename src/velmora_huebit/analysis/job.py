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
    tolerances: tuple = (2.0, 5.0, 10.0)  # match in ΔE2000: the match, close and similar tolerances
    min_share: float = 0.5  # ... and the percentage of pixels within one that makes a target present
    names: str | None = None  # extract: the list colours are named from, None for no names
    view: View = View()  # sorting, the DBSCAN check, report thumbnails
    engine: str = "palette"  # or "library": ColorExtractor
    storage: dict | None = None  # options of the filesystem of s3:// photos (see storage)

    @property
    def kind(self) -> str:
        """What each photo's result is: "extract" (colour records), or match's
        records: "delta_e" (CIEDE2000, on the palette engine), or with the
        module's measures "pixels" (--pixels) or "similarity" (the dominant
        colours, with --engine library or a --threshold)."""
        if self.command == "extract":
            return "extract"
        if self.pixels:
            return "pixels"
        return "similarity" if self.engine == "library" or self.threshold is not None else "delta_e"


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


def match_settings(job: Job) -> str:
    """How a match run measures, in words: its units and bands."""
    if job.kind == "delta_e":
        return (f"ΔE2000 tolerances {' / '.join(f'{t:g}' for t in job.tolerances)}, "
                f"present from {job.min_share:g} % of the pixels")
    if job.kind == "pixels":
        return "pixels, OpenCV L*a*b* distance bands 15 / 30 / 50"
    return f"dominant colours, OpenCV L*a*b* distance threshold {50.0 if job.threshold is None else job.threshold:g}"


STATUSES = ("ok", "warning", "empty", "failed")


def status(outcome: Outcome) -> str:
    """What a photo's record, row and summary say of it: failed (no
    result), empty (no colours), warning (see Outcome.doubts) or ok."""
    if outcome.result is None:
        return "failed"
    if not outcome.result:
        return "empty"
    return "warning" if outcome.doubts else "ok"
