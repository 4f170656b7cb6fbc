"""main(): parse the arguments, gather the photos and the job, run the
photos through a runner and hand each result to the output."""

from __future__ import annotations

import contextlib
import os
import sys
from typing import Iterable

from velmora_huebit.cli.arguments import PROG, MissingExtra, UsageError, build_parser, cores
from velmora_huebit.cli.charts import check_chart_template
from velmora_huebit.cli.output import JsonOutput, TableOutput
from velmora_huebit.cli.photos import check_photo_arguments
from velmora_huebit.cli.progress import Progress
from velmora_huebit.cli.runners import Runner, Task, choose_runner
from velmora_huebit.cli.tasks import PhotoTasks
from velmora_huebit.cli.work import Job, quiet_opencv


def _extractor_settings(args) -> dict:
    return dict(n_colors=args.colors, algorithm=args.algorithm,
                preprocessing=not args.no_preprocessing, lab_space=not args.rgb)


def _prepare(args) -> tuple[Job, PhotoTasks, object]:
    check_photo_arguments(args.photos, args.recursive)
    if getattr(args, "chart", None):
        check_chart_template(args.chart)

    mask = None
    if args.mask is not None:
        import cv2

        quiet_opencv()
        if not os.path.isfile(args.mask):
            raise UsageError(f"--mask: no such file: {args.mask}")
        mask = cv2.imread(args.mask)  # as a colour image, as the module reads mask files
        if mask is None:
            raise UsageError(f"--mask: cannot read {args.mask} as an image")

    targets = None
    if args.command == "match":
        if args.pixels and args.threshold is not None:
            raise UsageError("--threshold applies to the dominant-colour match, not to --pixels")
        targets = {}
        for name, rgb in args.target:
            if name in targets:
                raise UsageError(f"target {name!r} given twice")
            targets[name] = rgb

    job = Job(
        command=args.command, mask=mask, max_side=args.max_side, targets=targets,
        pixels=getattr(args, "pixels", False), threshold=getattr(args, "threshold", None),
    )
    if args.resume and args.output is None:
        raise UsageError("--resume needs --output FILE.parquet")
    if args.dask is not None:
        from velmora_huebit.cli.dask_runner import check_dask

        check_dask(args.dask, args.jobs)
    store = _open_store(args, job) if args.output is not None else None
    return job, PhotoTasks(args, store.done if store is not None else set()), store


def _open_store(args, job: Job):
    if not args.output.lower().endswith(".parquet"):
        raise UsageError(f"--output {args.output}: only Parquet files (.parquet) are written; "
                         "JSON Lines go to standard output")
    folder = os.path.dirname(args.output) or "."
    if not os.path.isdir(folder):
        raise UsageError(f"--output {args.output}: no such folder {folder}")
    try:
        from velmora_huebit.cli.parquet import ParquetStore
    except ImportError:
        raise MissingExtra("--output needs pyarrow: pip install 'velmora_huebit[parquet]'") from None
    return ParquetStore(args.output, job, _extractor_settings(args), args.resume)


def analyse_all(runner: Runner, extractor, job: Job, tasks: Iterable[Task], output,
                progress: Progress) -> tuple[int, int]:
    """Every photo through the runner, results to the output, warnings and
    errors to standard error; the number of photos, and of those that failed."""
    pending: dict[int, Task] = {}  # handed to the runner, outcome not back yet
    listed = 0

    def numbered():
        nonlocal listed
        for listed, task in enumerate(tasks, 1):
            pending[listed - 1] = task
            yield task
        progress.set_total(listed)

    failed = 0
    for index, outcome in runner.run(extractor, job, numbered(), progress.advance):
        path = pending.pop(index)[0]
        for message in outcome.warnings:
            progress.say(f"{PROG}: warning: {path}: {message}")
        if outcome.result is not None:
            output.emit(path, outcome.result)
        if outcome.error is not None:
            failed += 1
            progress.say(f"{PROG}: error: {path}: {outcome.error}")
    return listed, failed


def _run(args, job: Job, listing: PhotoTasks, store) -> int:
    lazy = args.dask is not None
    if lazy:
        from velmora_huebit.cli.dask_runner import DaskRunner

        # the photos are listed as the cluster takes them, never held all at once
        tasks: Iterable[Task] = listing
        runner: Runner = DaskRunner(args.dask, args.jobs or cores())
    else:
        tasks = list(listing)
        # before the heavy imports below: a pool's fork server starts meanwhile
        runner = choose_runner(args.jobs, len(tasks))
    from velmora_huebit import ColorExtractor

    quiet_opencv()
    extractor = ColorExtractor(**_extractor_settings(args))
    as_table = args.table or (not args.json and sys.stdout.isatty())
    if args.algorithm == "dbscan" and args.max_side is None:
        print(f"{PROG}: note: dbscan's memory and time grow fast with the pixel count; "
              "large photos may need --max-side (for example 200)", file=sys.stderr)

    # the store folds its rows into the --output file however the run ends
    with store or contextlib.nullcontext(), Progress(None if lazy else len(tasks)) as progress:
        if lazy:
            listing.count_in_background(progress)
        if store is not None:
            from velmora_huebit.cli.parquet import ParquetOutput

            output = ParquetOutput(job, store)
        else:
            output = (TableOutput if as_table else JsonOutput)(job, progress)
        count, failed = analyse_all(runner, extractor, job, tasks, output, progress)
    if listing.skipped:
        print(f"{PROG}: {listing.skipped} photos already in {args.output}, not analysed again",
              file=sys.stderr)
    if failed:
        noun = "photo" if count == 1 else "photos"
        print(f"{PROG}: {failed} of {count} {noun} failed", file=sys.stderr)
        return 1
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
        try:
            job, listing, store = _prepare(args)
        except MissingExtra as exc:
            print(f"{PROG}: error: {exc}", file=sys.stderr)
            return 2
        except UsageError as exc:
            args.subparser.error(str(exc))
    except SystemExit as exc:  # argparse: --help, --version, bad arguments
        return exc.code if isinstance(exc.code, int) else (0 if exc.code is None else 2)
    try:
        return _run(args, job, listing, store)
    except UsageError as exc:  # found once the run began: a scheduler out of reach, a listing
        print(f"{PROG} {args.command}: error: {exc}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # the reader went away (| head); stop quietly, and keep Python's
        # final flush from complaining about the closed pipe
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
