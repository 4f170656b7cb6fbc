"""Which engine analyses the photos: the palette engine (the default; its
own k-means in CIE L*a*b*, velmora_huebit._engine) or the module's
ColorExtractor (--engine library). Either is an object with the module's
methods that cli.work calls, picklable so that it travels to workers."""

from __future__ import annotations

import warnings

from velmora_huebit.analysis.job import Job

PALETTE, LIBRARY = "palette", "library"
ENGINES = (PALETTE, LIBRARY)


class PaletteEngine:
    """extract_colors by the palette engine."""

    def __init__(self, n_colors: int):
        self.n_colors = n_colors

    def extract_colors(self, image, mask=None, counted=None):
        from velmora_huebit.analysis.palette import dominant_colors

        records = dominant_colors(image, mask, self.n_colors, counted=counted)
        if 0 < len(records) < self.n_colors:
            warnings.warn(f"only {len(records)} distinct colours, fewer than the "
                          f"{self.n_colors} asked for", stacklevel=2)
        return records


def make_extractor(job: Job, settings: dict):
    """What analyses the photos of a run; settings are the module's
    constructor arguments (n_colors, algorithm, preprocessing, lab_space)."""
    if job.engine == LIBRARY:
        from velmora_huebit.color_extractor_cy import ColorExtractor

        return ColorExtractor(**settings)
    if job.command == "match":
        from velmora_huebit.analysis.match import PaletteMatcher

        return PaletteMatcher(settings["n_colors"])
    return PaletteEngine(settings["n_colors"])


def in_process_safe(job: Job) -> bool:
    """Whether the photos may be analysed in the command's own process: the
    palette engine's extraction and match on its colours cannot crash it.
    What goes through the module (scikit-learn, OpenCV's filters, match
    --pixels) runs in workers, so that a photo that kills one costs only
    itself."""
    return job.engine == PALETTE and not job.pixels


def preload(job: Job, charts: bool = False, buckets: bool = False) -> list[str]:
    """The libraries a worker of this job needs, imported once by the fork
    server (the command line draws its charts with Matplotlib's Figure;
    obstore or s3fs reads photos in buckets)."""
    from velmora_huebit.photos.storage import readers

    found = ["numpy", "cv2", "PIL.Image"] + (readers(job.storage) if buckets else [])
    if not in_process_safe(job):
        found += ["sklearn.cluster", "sklearn.preprocessing", "sklearn.metrics.pairwise"]
    if charts:
        found.append("matplotlib.figure")
    return found


def load(modules: list[str]) -> None:
    """Imports a worker's libraries, as preload names them, passing over one
    that is not installed as a fork server's preload does (s3fs, for a
    bucket of another kind). scikit-learn imports pandas (and with it
    pyarrow) in case it is handed a data frame: some 60 MB in every worker,
    which only ever hands it arrays. So unless pandas is loaded already,
    scikit-learn is imported as if it were not installed; pandas is
    importable again afterwards."""
    import importlib
    import sys

    for name in modules:
        hide = name.startswith("sklearn") and "pandas" not in sys.modules
        if hide:
            sys.modules["pandas"] = None  # type: ignore[assignment]
        try:
            importlib.import_module(name)
        except ImportError:
            pass
        finally:
            if hide:
                del sys.modules["pandas"]
