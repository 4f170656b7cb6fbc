"""main(): parse the arguments, gather the photos and the job, run the
photos through a runner and hand each result to the output."""

from __future__ import annotations

import contextlib
import gc
import os
import sys
from typing import Iterable

from velmora_huebit.cli.arguments import PROG, UsageError, build_parser
from velmora_huebit.analysis.palette import MAX_COLORS
from velmora_huebit.outputs.charts import check_chart_template
from velmora_huebit.analysis.engines import make_extractor
from velmora_huebit.cli.output import JsonOutput, TableOutput
from velmora_huebit.errors import MissingExtra, OutputError, RunStopped, SettingError
from velmora_huebit.photos.sources import display_name, printable
from velmora_huebit.cli.progress import Progress
from velmora_huebit.photos.limits import keep_heap, set_decoder_limits
from velmora_huebit.photos.reading import PhotoError, read_mask
from velmora_huebit.runs.runners import (PoolRunner, Runner, Task, choose_runner, cores, fork_early, keep_early,
                                         numbered, stop_early)
from velmora_huebit.photos.storage import BREAK_AFTER, is_url, unreachable
from velmora_huebit.runs.tasks import Listing, PhotoTasks
from velmora_huebit.analysis.views import View
from velmora_huebit.analysis.job import Job, status
from velmora_huebit.cli.summary import summary_line
from velmora_huebit.runs.work import quiet_opencv, warm


def _extractor_settings(args) -> dict:
    return dict(n_colors=args.colors, algorithm=args.algorithm,
                preprocessing=args.preprocess, lab_space=not args.rgb)


def _check_engine(args) -> None:
    """Options that only the module's ColorExtractor has need --engine library."""
    if args.engine == "library":
        return
    for given, option in ((args.algorithm != "kmeans", f"--algorithm {args.algorithm}"),
                          (args.preprocess, "--preprocess"), (args.rgb, "--rgb")):
        if given:
            raise UsageError(f"{option} works with --engine library only")
    if args.colors > MAX_COLORS:
        raise UsageError(f"--colors: the palette engine finds at most {MAX_COLORS} colours "
                         "(--engine library has no such limit)")


def _prepare(args) -> tuple[Job, PhotoTasks, object]:
    """The job, the listing of the photos (with their chart files), and the
    --output store or None."""
    _check_engine(args)
    if getattr(args, "chart", None):
        check_chart_template(args.chart)
    if args.report is not None:
        from velmora_huebit.outputs.report import check_report_path

        check_report_path(args.report)
    elif args.title is not None:
        raise UsageError("--title names the --report page; give --report FILE.html too")
    for template in getattr(args, "export", None) or ():
        from velmora_huebit.outputs.exports import check_export_template

        check_export_template(template)
    _check_overwrites(args)

    args.s3_options = _storage(args)
    mask = None
    if args.mask is not None:
        quiet_opencv()
        try:
            mask = read_mask(args.mask, max_pixels=args.max_pixels, grey=True, quiet=True,
                             storage=args.s3_options)
        except PhotoError as exc:
            raise UsageError(f"--mask {display_name(args.mask)}: {exc}") from None

    targets = None
    if args.command == "match":
        if args.pixels and args.threshold is not None:
            raise UsageError("--threshold applies to the dominant-colour match, not to --pixels")
        if not args.targets:
            raise UsageError("give the target colours with --target NAME=COLOUR or --targets FILE")
        targets = {}
        for name, rgb in args.targets:
            if name in targets:
                raise UsageError(f"target {name!r} given twice")
            targets[name] = rgb

    job = Job(
        command=args.command, mask=mask, max_side=args.max_side, max_pixels=args.max_pixels,
        keep_transparent=args.keep_transparent, targets=targets,
        pixels=getattr(args, "pixels", False), threshold=getattr(args, "threshold", None),
        **_delta_e_settings(args),
        names=None if getattr(args, "names", "none") == "none" else args.names,
        view=View(sort=getattr(args, "sort", "share"), dbscan=args.algorithm == "dbscan",
                  thumbnail=_thumbnail_side(args), roles=getattr(args, "roles", False)),
        engine=args.engine,
        storage=args.s3_options or None,
    )
    if args.resume and args.output is None:
        raise UsageError("--resume needs --output FILE.parquet or FILE.csv")
    if args.dask is not None:
        from velmora_huebit.runs.dask_runner import check_dask

        check_dask(args.dask, args.jobs)
    store = _open_store(args, job) if args.output is not None else None
    listing = Listing(tuple(args.photos), args.recursive, args.s3_options, getattr(args, "chart", None),
                      tuple(getattr(args, "export", None) or ()), args.overwrite or args.resume)
    return job, PhotoTasks(listing, store.done if store is not None else set()), store


def _delta_e_settings(args) -> dict:
    """match's ΔE2000 tolerances and presence share, when given."""
    given = {key: value for key in ("tolerances", "min_share")
             if args.command == "match" and (value := getattr(args, key)) is not None}
    if given and (args.pixels or args.threshold is not None or args.engine == "library"):
        raise UsageError("--tolerances and --min-share measure in ΔE2000: not with --pixels, "
                         "--threshold or --engine library, which use the module's distances")
    return given


def _check_overwrites(args) -> None:
    """The files of the run that are known before the listing (the chart
    and palette files are checked as each photo is listed)."""
    from velmora_huebit.outputs.guard import Guard

    if args.overwrite and args.resume:
        raise UsageError("--resume adds to the --output file, --overwrite replaces it: give one of them")
    templates = [template for template in [getattr(args, "chart", None), *(getattr(args, "export", None) or ())]
                 if template]
    if len(set(map(os.path.abspath, templates))) < len(templates):
        raise UsageError(f"{' and '.join(templates)}: two files of each photo would have the same name")
    guard = Guard(args.photos, args.recursive, args.overwrite or args.resume)
    if args.report is not None:
        guard.check("--report", args.report)
        # past 100 photos the thumbnails go to FILE_files, replacing a previous run's
        root = os.path.splitext(args.report)[0]
        if guard.is_photo(os.path.join(f"{root}_files", "000001.jpg")):
            raise UsageError(f"--report {args.report}: its thumbnails would go among the photos, "
                             f"in {root}_files")
    if args.output is not None and guard.is_photo(args.output):
        guard.check("--output", args.output)  # the store refuses existing files itself


def _storage(args) -> dict:
    """The filesystem options for s3:// URLs; MissingExtra when the URLs
    given need a package that is not installed."""
    from velmora_huebit.photos.storage import access_options, check_protocol, endpoint, is_url

    urls = [name for name in [*args.photos, args.mask, args.output] if name and is_url(name)]
    for url in urls:
        missing = check_protocol(url)
        if missing:
            raise MissingExtra(missing)
    if args.endpoint_url is not None:
        import urllib.parse

        parts = urllib.parse.urlsplit(args.endpoint_url)
        if parts.scheme not in ("http", "https") or not parts.hostname:
            shown = endpoint("s3://", {"endpoint_url": args.endpoint_url}) if parts.hostname else args.endpoint_url
            raise UsageError(f"--endpoint-url {shown}: not an endpoint such as http://localhost:9000")
    return access_options(args.anonymous, args.endpoint_url)


def _say(level: str, text: str) -> None:
    print(printable(f"{PROG}: {level}: {text}"), file=sys.stderr, flush=True)


def _thumbnail_side(args) -> int:
    if args.report is None:
        return 0
    from velmora_huebit.outputs.report import THUMBNAIL_SIDE

    return THUMBNAIL_SIDE


def _open_report(args, job: Job):
    from velmora_huebit.outputs.report import Report

    return Report(args.report, job, _extractor_settings(args), title=args.title)


def _open_store(args, job: Job):
    from velmora_huebit.outputs.tables import open_table

    from velmora_huebit.outputs.guard import Guard

    listed = Guard(args.photos, args.recursive, overwrite=True).is_photo
    return open_table(args.output, job, _extractor_settings(args), args.resume, _say, args.s3_options,
                      overwrite=args.overwrite, listed=listed)


class _Tally:
    """Photos and failures of a run, for the summary line."""

    def __init__(self, progress: Progress):
        self.progress = progress
        self.count = 0
        self.failed = 0
        self.warned = 0  # analysed, with status "warning"
        self.report = None  # --report, told of each failure too

    def failure(self, name: str, message: str) -> None:
        self.count += 1
        self.failed += 1
        self.progress.say(f"{PROG}: error: {display_name(name)}: {message}")
        if self.report is not None:
            self.report.failure(name, message)


def analyse_all(runner: Runner, extractor, job: Job, tasks: Iterable[Task], output,
                progress: Progress, tally: _Tally, exporter=None) -> None:
    """Every photo through the runner, results to the output (and palette
    files), warnings and errors to standard error, counted in the tally."""
    listed, task_of = numbered(tasks)
    out_of_reach = 0  # photos in a row whose server could not be reached
    with contextlib.closing(runner.run(extractor, job, listed, progress.advance)) as outcomes:
        for index, outcome in outcomes:
            path = task_of(index)[0]
            for message in outcome.warnings:
                progress.say(f"{PROG}: warning: {display_name(path)}: {message}")
            # an --output table has a row for a photo that failed, too
            if outcome.result is not None or getattr(output, "keeps_failures", False):
                output.emit(path, outcome)
            problems = [] if outcome.error is None else [outcome.error]
            if exporter is not None:
                problems += exporter.write(path, outcome)
            if problems:
                tally.failure(path, "; ".join(problems))
            else:
                tally.count += 1
                tally.warned += status(outcome) == "warning"
            out_of_reach = out_of_reach + 1 if outcome.error and unreachable(outcome.error) else 0
            if out_of_reach >= BREAK_AFTER:  # the server is gone: the rest would fail alike
                raise RunStopped(f"{outcome.error}: {BREAK_AFTER} photos in a row could not be read, "
                                   "the run stops here")


def _run(args, job: Job, listing: PhotoTasks, store) -> int:
    lazy = args.dask is not None
    unwritten = False  # the store's journal could not be written: the run stopped
    problems: list[tuple[str, str]] = []
    if lazy:
        from velmora_huebit.runs.dask_runner import DaskRunner

        # the photos are listed as the cluster takes them, never held all at once
        tasks: Iterable[Task] = listing
        runner: Runner = DaskRunner(args.dask, args.jobs or cores(), charts=bool(getattr(args, "chart", None)))
    else:
        charts = bool(getattr(args, "chart", None))
        early = None
        if any(is_url(photo) for photo in args.photos):
            quiet_opencv()
            early = fork_early(args.jobs, job, make_extractor(job, _extractor_settings(args)), charts)
        listing.on_problem = lambda name, message: problems.append((name, message))
        try:
            tasks = list(listing)
        except BaseException:
            stop_early(early)
            raise
        gc.freeze()  # the modules and the listing (a million photos, perhaps) live to the end: never scanned again
        # before the heavy imports below: a pool's fork server starts meanwhile
        runner = keep_early(early, choose_runner(args.jobs, len(tasks), job, charts=charts,
                                                 buckets=any(is_url(path) for path, _ in tasks),
                                                 paths=[path for path, _ in tasks[:17]]))
    quiet_opencv()
    extractor = make_extractor(job, _extractor_settings(args))
    if isinstance(runner, PoolRunner):  # forked before a progress bar's thread starts, with what they need
        warm(job)
        runner.start(extractor, job)
    as_table = args.table or (not args.json and sys.stdout.isatty())

    # the store folds its rows into the --output file however the run ends; so does the report
    report = _open_report(args, job) if args.report is not None else None
    with store or contextlib.nullcontext(), report or contextlib.nullcontext(), \
            Progress(None if lazy else len(tasks), args.color) as progress:
        tally = _Tally(progress)
        tally.report = report
        for name, message in problems:  # found before the run: reported first
            tally.failure(name, message)
        listing.on_problem = tally.failure
        if lazy:
            listing.count_in_background(progress.set_total)
        if store is not None:
            from velmora_huebit.outputs.store import StoreOutput

            output = StoreOutput(job, store)
        else:
            output = TableOutput(job, progress, args.color) if as_table else JsonOutput(job, progress)
        exporter = None
        if getattr(args, "export", None):
            from velmora_huebit.outputs.exports import Exporter, is_library

            exporter = Exporter(job, listing.export_paths, lambda name, message: progress.say(
                f"{PROG}: warning: {display_name(name)}: {message}"),
                libraries=tuple(template for template in args.export if is_library(template)))
        if report is not None:
            from velmora_huebit.outputs.report import WithReport

            output = WithReport(output, report)
        try:
            if tasks or lazy:
                try:
                    analyse_all(runner, extractor, job, tasks, output, progress, tally, exporter)
                except OutputError as exc:
                    if store is None:
                        raise
                    # said before the store folds what its journal holds
                    progress.say(f"{PROG}: error: cannot write the results: {exc}")
                    unwritten = True
        finally:  # the palette libraries hold what was done, however the run ends
            for problem in exporter.close() if exporter is not None else ():
                progress.say(f"{PROG}: error: cannot write {problem}")
                unwritten = True
    if listing.skipped:
        print(printable(f"{PROG}: {listing.skipped} photos already in {args.output}, not analysed again"),
              file=sys.stderr)
    print(printable(summary_line(args, tally, exporter)), file=sys.stderr)
    if tally.failed or (args.strict and tally.warned):
        return 1
    # a fold that failed said so, and kept the parts for --resume
    return 1 if unwritten or (store is not None and store.failed) else 0


def _silence_stdout() -> None:
    # keep Python's final flush of standard output from failing once more
    os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())


def main(argv: list[str] | None = None) -> int:
    # before NumPy loads: its BLAS threads would make forking the workers
    # unsafe, and nothing here or in them multiplies matrices large enough
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    if sys.stderr is None:  # started with standard error closed: its lines go nowhere, the results still out
        sys.stderr = open(os.devnull, "w")
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
        if args.command == "serve":
            from velmora_huebit.cli.serve import serve

            return serve(args)
        if args.command == "search":
            from velmora_huebit.cli.search import run_search

            return run_search(args)
        if sys.stdout is None:  # started with standard output closed
            if not any(getattr(args, name, None) for name in ("output", "report", "chart", "export")):
                _say("error", "standard output is closed and no --output, --report, --chart or "
                              "--export was given: the results would be lost")
                return 2
            sys.stdout = open(os.devnull, "w")
        # before OpenCV loads, here and in the workers that inherit the environment
        if hasattr(args, "max_pixels"):
            set_decoder_limits(args.max_pixels)
            keep_heap()  # photo after photo, here or in the workers
        try:
            job, listing, store = _prepare(args)
        except MissingExtra as exc:
            _say("error", str(exc))
            return 2
        except SettingError as exc:
            args.subparser.error(str(exc))
    except SystemExit as exc:  # argparse: --help, --version, bad arguments
        return exc.code if isinstance(exc.code, int) else (0 if exc.code is None else 2)
    except KeyboardInterrupt:  # while a large --output file is read back, say
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    try:
        return _run(args, job, listing, store)
    except SettingError as exc:  # found once the run began: a scheduler or a bucket's server out of reach, or gone
        resume = (f"; the photos finished are in {args.output}: the same command with --resume analyses the rest"
                  if args.output is not None and isinstance(exc, RunStopped) else "")
        print(printable(f"{PROG} {args.command}: error: {exc}{resume}"), file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        if args.output is not None:
            print(f"{PROG}: the photos finished are in {args.output}; "
                  "the same command with --resume analyses the rest", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # the reader went away (| head): stop quietly
        _silence_stdout()
        return 1
    except OutputError as exc:
        _say("error", f"cannot write the results: {exc}")
        _silence_stdout()
        return 1
