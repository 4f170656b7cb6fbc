"""What happens to one photo: read it, run the engine on it, draw its chart.
Runs in the worker processes; every failure comes back as words for the user."""

from __future__ import annotations

import re
import warnings

from velmora_huebit.photos.sources import display_name
from velmora_huebit.photos.limits import out_of_memory, out_of_memory_message
from velmora_huebit.photos.reading import PhotoError, read_photo
from velmora_huebit.analysis.engines import PALETTE, PaletteEngine
from velmora_huebit.analysis.job import Job, Outcome
from velmora_huebit.analysis.views import arrange, thumbnail


def quiet_opencv() -> None:
    import cv2

    # OpenCV reports undecodable files itself; we print one line of our own.
    # OpenCV 4.x has the setter at the top level, 5.x in cv2.utils.logging.
    logging = getattr(cv2.utils, "logging", None)
    if logging is not None:
        logging.setLogLevel(logging.LOG_LEVEL_SILENT)
    else:
        cv2.setLogLevel(0)  # silent


def warm(job: Job) -> None:
    """Imports now what each photo of the job needs, so that workers forked
    from this process start with it (and share it)."""
    from velmora_huebit.analysis import palette  # noqa: F401

    if job.engine == "palette" and job.command == "extract":
        import velmora_huebit._engine  # noqa: F401
    if job.names and job.command == "extract":
        from velmora_huebit.colour.names import nearest_name

        nearest_name((0, 0, 0), job.names)  # the table of names, built once for every worker


def fetch_ahead(job: Job, path: str) -> None:
    """Starts reading a photo in a bucket now, for when its turn comes."""
    from velmora_huebit.photos.storage import fetch_ahead, is_url, options_for

    if is_url(path):
        fetch_ahead(path, options_for(path, job.storage))


def load_inputs(path: str, job: Job):
    """(image, mask, warnings, photo size, counted): the photo shrunk when
    asked, the mask that combines the user's mask with the photo's
    transparency, and the larger (image, mask) that the palette engine
    counts shares on (see analysis.shares) or None."""
    from velmora_huebit.analysis import shares
    from velmora_huebit.analysis.palette import prepare

    # extract's shares and ΔE2000 matching (the module's measures keep the shrunk image)
    larger = (job.engine == PALETTE and job.kind in ("extract", "delta_e")
              and shares.reading_side(job.max_side) != job.max_side)
    # shrunk as it is read (unless kept larger for the shares), with an alpha
    # plane only when some pixel is transparent
    photo = read_photo(path, with_alpha=not job.keep_transparent,
                       max_side=shares.reading_side(job.max_side) if larger else job.max_side,
                       max_pixels=job.max_pixels, shrink=not larger, quiet=True, storage=job.storage,
                       picked=shares.pick(job.max_side, job.mask) if larger else None)
    mask = job.mask
    if mask is not None and mask.shape[1::-1] != photo.size:
        raise PhotoError(
            f"mask is {mask.shape[1]}x{mask.shape[0]} pixels but the photo is "
            "{}x{}".format(*photo.size)
        )
    image, plane = prepare(photo.image, photo.alpha, mask, job.max_side)
    counted = shares.counted(photo.image, photo.alpha, mask, image, photo.picked) if larger else None
    return image, plane, photo.notes, photo.size, counted


def analyse(extractor, job: Job, image, mask, counted=None):
    """The module's result for one photo: colour records for extract, the
    dict of similarity or match records for match. counted: the larger
    (image, mask) of load_inputs, for the palette engine."""
    if job.command == "extract":
        if counted is not None and isinstance(extractor, PaletteEngine):
            return extractor.extract_colors(image, mask, counted=counted)
        return extractor.extract_colors(image, mask)
    if job.kind == "delta_e":
        from velmora_huebit.analysis.delta_e import delta_e_match

        return delta_e_match(image, mask, job.targets, tolerances=job.tolerances, min_share=job.min_share,
                             counted=counted)
    if job.pixels:
        return extractor.find_color_matches(image, job.targets, mask)
    threshold = 50.0 if job.threshold is None else job.threshold
    return extractor.analyze_color_similarity(image, job.targets, mask, threshold)


def _describe(exc: BaseException) -> str:
    if isinstance(exc, PhotoError):
        return str(exc)
    if out_of_memory(exc):
        return out_of_memory_message()
    return f"{type(exc).__name__}: {exc}"


# scikit-learn's words for a photo with fewer colours than asked for
_FEW_COLOURS = re.compile(r"Number of distinct clusters \((\d+)\) found smaller than n_clusters \((\d+)\).*")


def _messages(caught) -> tuple:
    seen = []
    for w in caught:
        if issubclass(w.category, (DeprecationWarning, PendingDeprecationWarning)):
            continue  # a library's note to programmers (an old Matplotlib's on pyparsing), not about the photo
        text = _FEW_COLOURS.sub(r"only \1 distinct colours, fewer than the \2 asked for", str(w.message).strip())
        if text not in seen:
            seen.append(text)
    return tuple(seen)


def run_one(extractor, job: Job, path: str, chart: str | None) -> Outcome:
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            image, mask, notes, full_size, counted = load_inputs(path, job)
            result = analyse(extractor, job, image, mask, counted)
            if job.names and job.command == "extract":
                from velmora_huebit.colour.names import add_names

                add_names(result, job.names)
            if job.command == "extract":
                result, note = arrange(job.view, result, image, mask)
                notes = (*notes, note) if note else notes
        except Exception as exc:
            return Outcome(error=_describe(exc), warnings=_messages(caught))
        for note in notes:
            warnings.warn(note, stacklevel=1)
        error = None
        size = (image.shape[1], image.shape[0])
        if chart is not None:
            # the colours stand even when their chart cannot be written
            try:
                if result:
                    from velmora_huebit.outputs.charts import save_chart

                    save_chart(job, path, result, size, chart)
                else:
                    warnings.warn(f"no colours found, chart {display_name(chart)} not written", stacklevel=1)
            except Exception as exc:
                error = f"chart {display_name(chart)}: {_describe(exc)}"
    return Outcome(result=result, error=error, warnings=_messages(caught), size=size, full_size=full_size,
                   thumbnail=thumbnail(image, job.view.thumbnail) if job.view.thumbnail else None,
                   doubts=tuple(notes))
