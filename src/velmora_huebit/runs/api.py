"""analyse(): a whole run from Python, as the command line makes it: photos,
folders, globs and bucket URLs listed as the run goes, analysed in this
process, a pool of worker processes or on a Dask cluster, each photo's
result yielded in order, and the table (--output) and the report (--report)
written along the way. write_table and write_report write results that
were collected first."""

from __future__ import annotations

import dataclasses
import os
import warnings
from typing import Any, Callable, Iterable, Iterator, Literal

from velmora_huebit.analysis.engines import ENGINES, LIBRARY, PALETTE, make_extractor
from velmora_huebit.analysis.job import Job, Outcome, status
from velmora_huebit.analysis.match import parse_targets
from velmora_huebit.analysis.palette import DEFAULT_MAX_SIDE, MAX_COLORS
from velmora_huebit.analysis.views import View
from velmora_huebit.colour.names import NAME_LISTS
from velmora_huebit.colour.swatches import SORTS
from velmora_huebit.errors import OutputError
from velmora_huebit.photos.reading import DEFAULT_MAX_PIXELS, PhotoError, read_mask
from velmora_huebit.photos.storage import is_url
from velmora_huebit.runs.work import quiet_opencv

__all__ = ["PhotoResult", "analyse", "write_table", "write_report"]

Progress = Callable[[int, int | None], None]  # (photos done, photos listed or None while unknown)


@dataclasses.dataclass(frozen=True)
class PhotoResult:
    """One photo of a run. records is what the command line prints for it:
    the list of colour records (extract) or the dict of target records
    (match); None when the photo failed, and error then says why in words.
    An error beside records means the photo was analysed but something
    after it failed. Sizes are (width, height): analysed, and of the photo."""

    photo: str
    records: Any
    error: str | None = None
    warnings: tuple[str, ...] = ()
    size: tuple[int, int] | None = None
    full_size: tuple[int, int] | None = None
    # what the writers need: the run's settings and the outcome as the runners gave it
    job: Job | None = dataclasses.field(default=None, repr=False, compare=False)
    settings: dict = dataclasses.field(default_factory=dict, repr=False, compare=False)
    outcome: Outcome | None = dataclasses.field(default=None, repr=False, compare=False)

    @property
    def status(self) -> str:
        """"ok", "warning" (a doubtful palette: see warnings), "empty" or
        "failed", as the table's status column says."""
        return status(self.outcome or Outcome(result=self.records, error=self.error))


def _say(problems: list[str]) -> Callable[[str, str], None]:
    """What the table's store says, as warnings; its errors are kept for the
    OutputError that ends the run."""

    def say(level: str, text: str) -> None:
        if level == "error":
            problems.append(text)
        warnings.warn(text, stacklevel=3)

    return say


def _result(photo: str, outcome: Outcome, job: Job, settings: dict) -> PhotoResult:
    records = outcome.result
    if job.view.roles and job.command == "extract" and records:
        from velmora_huebit.colour.roles import mark_roles

        # as palette(roles=True) gives them; the outcome the writers read stays as it came
        records = mark_roles([dict(record) for record in records])
    return PhotoResult(photo, records, outcome.error, tuple(outcome.warnings), outcome.size,
                       outcome.full_size, job, settings, outcome)


def _targets(targets: Any) -> dict:
    parsed = parse_targets(targets)
    if not parsed:
        raise ValueError("targets: give at least one, such as {'cream': '#f0cfaf'}")
    return {str(name): colour for name, colour in parsed.items()}


def _job(n_colors, targets, pixels, threshold, mask, engine, max_side, max_pixels, keep_transparent,
         names, sort, storage_options, thumbnails: bool, delta_e: dict, roles: bool = False) -> tuple[Job, dict]:
    if engine not in ENGINES:
        raise ValueError(f"engine must be one of {', '.join(map(repr, ENGINES))}, not {engine!r}")
    if isinstance(n_colors, bool) or not isinstance(n_colors, int) or n_colors < 1:
        raise ValueError(f"n_colors must be a whole number of at least 1, not {n_colors!r}")
    if engine == PALETTE and n_colors > MAX_COLORS:
        raise ValueError(f"n_colors: the palette engine finds at most {MAX_COLORS} colours")
    if names is not None and names not in NAME_LISTS:
        raise ValueError(f"names must be one of {', '.join(map(repr, NAME_LISTS))} or None, not {names!r}")
    if sort not in SORTS:
        raise ValueError(f"sort must be one of {', '.join(map(repr, SORTS))}, not {sort!r}")
    if pixels and threshold is not None:
        raise ValueError("threshold applies to the dominant-colour match, not to pixels")
    if targets is None and (pixels or threshold is not None):
        raise ValueError("pixels and threshold need targets")
    if threshold is not None and not threshold > 0:
        raise ValueError(f"threshold must be above 0, not {threshold!r}")
    if delta_e:
        from velmora_huebit.analysis.delta_e import check_min_share, check_tolerances

        if targets is None or pixels or threshold is not None or engine == LIBRARY:
            raise ValueError("tolerances and min_share apply to the ΔE2000 match: targets, on the "
                             "palette engine, without pixels or threshold")
        delta_e = {"tolerances": check_tolerances(delta_e.get("tolerances", (2.0, 5.0, 10.0))),
                   "min_share": check_min_share(delta_e.get("min_share", 0.5))}
    if isinstance(mask, (str, os.PathLike)):
        quiet_opencv()
        try:
            mask = read_mask(os.fspath(mask), max_pixels=max_pixels, grey=True, quiet=True,
                             storage=storage_options)
        except PhotoError as exc:
            raise ValueError(f"mask {os.fspath(mask)}: {exc}") from None
    command = "extract" if targets is None else "match"
    thumbnail = 0
    if thumbnails:
        from velmora_huebit.outputs.report import THUMBNAIL_SIDE

        thumbnail = THUMBNAIL_SIDE
    job = Job(command=command, mask=mask, max_side=max_side, max_pixels=max_pixels,
              keep_transparent=bool(keep_transparent), targets=None if targets is None else _targets(targets),
              pixels=bool(pixels), threshold=None if threshold is None else float(threshold),
              names=names, view=View(sort=sort, dbscan=False, thumbnail=thumbnail, roles=bool(roles)), engine=engine,
              storage=storage_options or None, **delta_e)
    # the module's settings as the command line gives them: no preprocessing, L*a*b*
    settings = dict(n_colors=n_colors, algorithm="kmeans", preprocessing=False, lab_space=True)
    return job, settings


def analyse(
    photos: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
    n_colors: int = 5,
    *,
    targets: dict[str, Any] | None = None,
    pixels: bool = False,
    threshold: float | None = None,
    tolerances: tuple[float, float, float] | None = None,
    min_share: float | None = None,
    mask: Any = None,
    engine: Literal["palette", "library"] = "palette",
    max_side: int = DEFAULT_MAX_SIDE,
    max_pixels: int = DEFAULT_MAX_PIXELS,
    keep_transparent: bool = False,
    names: Literal["css", "xkcd"] | None = "css",
    sort: Literal["share", "lightness", "hue"] = "share",
    roles: bool = False,
    recursive: bool = False,
    jobs: int | None = None,
    dask: str | None = None,
    storage_options: dict[str, Any] | None = None,
    table: str | None = None,
    resume: bool = False,
    report: str | None = None,
    on_progress: Progress | None = None,
) -> Iterator[PhotoResult]:
    """Analyse photos as ``velmora-huebit extract`` (or ``match``, with
    targets) does, and yield a PhotoResult per photo in the order listed.

    photos: paths of photos or folders, globs, or URLs (s3://bucket/prefix/),
    one or an iterable of them; folders are searched one level deep, or all
    the way down with recursive. storage_options are the fsspec options of
    the buckets (for S3, s3fs's: ``{"anon": True}``, ``{"endpoint_url":
    ...}``). A listing problem (a folder without photos) comes as a result
    with its error.

    targets: a dict of names and colours ((R, G, B), or texts such as
    ``"#f0cfaf"``, ``"rgb(240, 207, 175)"`` or ``"navy"``) makes it a match:
    each result's records are then the target records: in CIEDE2000 (as
    velmora_huebit.match() gives them, with its tolerances and min_share),
    or with the module's measures on the dominant colours (a threshold, or
    engine="library": threshold 50 by default) or on the pixels
    (pixels=True).

    n_colors, mask (a path or an array of the photos' size), max_side,
    max_pixels, keep_transparent, names and sort work as the command line's
    options of the same names; roles=True marks each photo's swatch roles
    (as palette(roles=True), and in the table and report, as extract
    --roles). engine="library" analyses with the module's ColorExtractor
    instead of the palette engine.

    jobs: worker processes (default: one per core; photos that the palette
    engine extracts run in this process with jobs=1). dask: a scheduler's
    address, or "local" for a local cluster (needs the dask extra).

    table: a .parquet or .csv file (or an s3:// URL) written as the run goes
    and safe from a killed run; with resume, the photos it holds are left
    out. report: an HTML page of the run. Both are complete when the
    iteration ends (or stops early). on_progress(done, total) is called as
    each photo finishes (total None while a lazy listing is unknown).

    Raises ValueError or TypeError for bad arguments before anything runs,
    SettingError (velmora_huebit.errors) for a table, report or cluster that
    cannot work, OutputError when the table cannot be written."""
    job, settings = _job(n_colors, targets, pixels, threshold, mask, engine, max_side, max_pixels,
                         keep_transparent, names, sort, storage_options, thumbnails=report is not None,
                         delta_e={key: value for key, value in (("tolerances", tolerances), ("min_share", min_share))
                                  if value is not None}, roles=roles)
    if isinstance(photos, (str, os.PathLike)):
        photos = [photos]
    from velmora_huebit.runs.tasks import Listing

    listing = Listing(tuple(os.fspath(p) for p in photos), recursive, storage_options or None)
    if resume and table is None:
        raise ValueError("resume needs a table")
    if report is not None:
        from velmora_huebit.outputs.report import check_report_path

        check_report_path(report)
        from velmora_huebit.outputs.guard import Guard

        Guard(list(listing.photos), recursive, overwrite=True).check("report", os.fspath(report))
    if dask is not None:
        from velmora_huebit.runs.dask_runner import check_dask

        dask = "" if dask == "local" else dask  # as the command line's bare --dask
        check_dask(dask, jobs)
    problems: list[str] = []
    say = _say(problems)
    store = None
    if table is not None:
        from velmora_huebit.outputs.tables import open_table

        from velmora_huebit.outputs.guard import Guard

        listed = Guard(list(listing.photos), recursive, overwrite=True).is_photo
        store = open_table(os.fspath(table), job, settings, resume, say, storage_options, listed=listed)
    return _run(job, settings, listing, store, report, jobs, dask, on_progress, problems)


def _run(job, settings, listed, store, report_path, jobs, dask, on_progress, problems):
    import contextlib

    from velmora_huebit.photos.limits import set_decoder_limits
    from velmora_huebit.runs.runners import choose_runner, cores, numbered
    from velmora_huebit.runs.tasks import PhotoTasks

    # the workers started here read the photos with the run's pixel limit
    set_decoder_limits(job.max_pixels, pillow=False)
    listing = PhotoTasks(listed, store.done if store is not None else set())
    failed: list[tuple[str, str]] = []
    listing.on_problem = lambda name, message: failed.append((name, message))
    if dask is not None:
        from velmora_huebit.runs.dask_runner import DaskRunner

        tasks: Any = listing
        total = None
        runner: Any = DaskRunner(dask, jobs or cores())
    else:
        tasks = list(listing)
        total = len(tasks)
        runner = choose_runner(jobs, len(tasks), job, buckets=any(is_url(path) for path, _ in tasks),
                               paths=[path for path, _ in tasks[:17]])
    quiet_opencv()
    extractor = make_extractor(job, settings)
    done = 0

    def advance() -> None:
        nonlocal done
        done += 1
        if on_progress is not None:
            on_progress(done, total)

    report = None
    if report_path is not None:
        from velmora_huebit.outputs.report import Report

        report = Report(report_path, job, settings)
    output = None
    if store is not None:
        from velmora_huebit.outputs.store import StoreOutput

        output = StoreOutput(job, store)
    with store or contextlib.nullcontext(), report or contextlib.nullcontext():

        def failures() -> Iterator[PhotoResult]:
            while failed:
                name, message = failed.pop(0)
                if report is not None:
                    report.failure(name, message)
                yield PhotoResult(name, None, message, job=job, settings=settings)

        yield from failures()
        if listed.photos and (tasks or dask is not None):
            given, task_of = numbered(tasks)
            with contextlib.closing(runner.run(extractor, job, given, advance)) as outcomes:
                for index, outcome in outcomes:
                    yield from failures()
                    path = task_of(index)[0]
                    if output is not None:
                        output.emit(path, outcome)
                    if report is not None:
                        if outcome.result is not None:
                            report.emit(path, outcome)
                        if outcome.error is not None:
                            report.failure(path, outcome.error)
                    yield _result(path, outcome, job, settings)
        yield from failures()
    if store is not None and store.failed:
        raise OutputError(problems[-1] if problems else f"cannot write {store.path}")


def _written(results: Iterable[PhotoResult]) -> Iterator[PhotoResult]:
    for result in results:
        if result.job is None or result.outcome is None and result.error is None:
            raise TypeError("write_table and write_report take the results of velmora_huebit.analyse")
        yield result


def write_table(results: Iterable[PhotoResult], path: str, *, storage_options: dict[str, Any] | None = None) -> int:
    """Writes the results of analyse() (collected in a list, or filtered) as
    the table analyse(table=path) writes: Parquet (.parquet) or CSV (.csv),
    a row per photo and colour or target, and a row for a photo that failed.
    Returns the photos written; with no results, nothing is written."""
    results = iter(_written(results))
    first = next(results, None)
    if first is None:
        return 0
    from velmora_huebit.outputs.store import StoreOutput
    from velmora_huebit.outputs.tables import open_table

    assert first.job is not None
    problems: list[str] = []
    say = _say(problems)
    store = open_table(os.fspath(path), first.job, first.settings, False, say, storage_options)
    count = 0
    with store:
        output = StoreOutput(first.job, store)
        for result in (first, *results):
            output.emit(result.photo, result.outcome or Outcome(error=result.error))
            count += 1
    if store.failed:
        raise OutputError(problems[-1] if problems else f"cannot write {path}")
    return count


def write_report(results: Iterable[PhotoResult], path: str, *, title: str | None = None) -> int:
    """Writes the results of analyse() as the HTML report analyse(report=path)
    writes (without thumbnails, unless analyse made them for a report),
    headed by title if given. Returns the photos in it; with no results,
    nothing is written."""
    from velmora_huebit.outputs.report import Report, check_report_path

    check_report_path(os.fspath(path))
    results = iter(_written(results))
    first = next(results, None)
    if first is None:
        return 0
    assert first.job is not None
    count = 0
    with Report(os.fspath(path), first.job, first.settings, title=title) as report:
        for result in (first, *results):
            if result.records is not None and result.outcome is not None:
                report.emit(result.photo, result.outcome)
            if result.error is not None:
                report.failure(result.photo, result.error)
            count += 1
    return count

