"""What happens to one photo: read it, run the module on it, draw its chart.
Runs in the worker processes; every failure comes back as words for the user."""

from __future__ import annotations

import dataclasses
import warnings

from velmora_huebit.cli.charts import save_chart


@dataclasses.dataclass(frozen=True)
class Job:
    """What to do with every photo of a run."""

    command: str
    mask: object = None  # mask array (BGR as cv2.imread gives it) or None
    max_side: int | None = None
    targets: dict | None = None
    pixels: bool = False
    threshold: float | None = None


@dataclasses.dataclass(frozen=True)
class Outcome:
    result: object = None
    error: str | None = None
    warnings: tuple = ()


class PhotoError(Exception):
    """A failure explained in words for the user."""


def quiet_opencv() -> None:
    import cv2

    # imread reports unreadable files itself; we print one line of our own.
    # OpenCV 4.x has the setter at the top level, 5.x in cv2.utils.logging.
    logging = getattr(cv2.utils, "logging", None)
    if logging is not None:
        logging.setLogLevel(logging.LOG_LEVEL_SILENT)
    else:
        cv2.setLogLevel(0)  # silent


def _shrink(image, max_side: int):
    import cv2

    height, width = image.shape[:2]
    if max(height, width) <= max_side:
        return image
    scale = max_side / max(height, width)
    size = (max(1, round(width * scale)), max(1, round(height * scale)))
    return cv2.resize(image, size, interpolation=cv2.INTER_AREA)


def load_inputs(path: str, job: Job):
    """The photo (and mask) as arrays, shrunk when asked."""
    import cv2

    image = cv2.imread(path)
    if image is None:
        raise PhotoError("cannot read the image (missing, unreadable or not an image file)")
    mask = job.mask
    if mask is not None and mask.shape[:2] != image.shape[:2]:
        raise PhotoError(
            f"mask is {mask.shape[1]}x{mask.shape[0]} pixels but the photo is "
            f"{image.shape[1]}x{image.shape[0]}"
        )
    if job.max_side is not None:
        image = _shrink(image, job.max_side)
        if mask is not None and mask.shape[:2] != image.shape[:2]:
            # nearest neighbour keeps the mask's edges where they were
            mask = cv2.resize(mask, image.shape[1::-1], interpolation=cv2.INTER_NEAREST)
    return image, mask


def analyse(extractor, job: Job, path: str):
    """The module's result for one photo: colour records for extract, the
    dict of similarity or match records for match."""
    image, mask = load_inputs(path, job)
    if job.command == "extract":
        return extractor.extract_colors(image, mask)
    if job.pixels:
        return extractor.find_color_matches(image, job.targets, mask)
    threshold = 50.0 if job.threshold is None else job.threshold
    return extractor.analyze_color_similarity(image, job.targets, mask, threshold)


def _describe(exc: BaseException) -> str:
    if isinstance(exc, PhotoError):
        return str(exc)
    if isinstance(exc, MemoryError):
        return "out of memory (try --max-side)"
    return f"{type(exc).__name__}: {exc}"


def _messages(caught) -> tuple:
    seen = []
    for w in caught:
        text = str(w.message).strip()
        if text not in seen:
            seen.append(text)
    return tuple(seen)


def run_one(extractor, job: Job, path: str, chart: str | None) -> Outcome:
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = analyse(extractor, job, path)
        except Exception as exc:
            return Outcome(error=_describe(exc), warnings=_messages(caught))
        error = None
        if chart is not None:
            # the colours stand even when their chart cannot be written
            try:
                if result:
                    save_chart(extractor, result, chart)
                else:
                    warnings.warn(f"no colours found, chart {chart} not written", stacklevel=1)
            except Exception as exc:
                error = f"chart {chart}: {_describe(exc)}"
    return Outcome(result=result, error=error, warnings=_messages(caught))
