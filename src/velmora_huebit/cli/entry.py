"""main(): parse the arguments, gather the photos and the job, run the
photos through a runner and hand each result to the output."""

from __future__ import annotations

import contextlib
import os
import sys
from typing import Iterable

from velmora_huebit.cli.arguments import PROG, MissingExtra, UsageError, build_parser, cores
from velmora_huebit.cli.charts import check_chart_template
from velmora_huebit.cli.output import JsonOutput, OutputError, TableOutput
from velmora_huebit.cli.photos import display_name
from velmora_huebit.cli.progress import Progress
from velmora_huebit.cli.reading import PhotoError, read_mask
from velmora_huebit.cli.runners import Runner, Task, choose_runner
from velmora_huebit.cli.tasks import PhotoTasks
from velmora_huebit.cli.work import Job, quiet_opencv


def _extractor_settings(args) -> dict:
    return dict(n_colors=args.colors, algorithm=args.algorithm,
                preprocessing=args.preprocess, lab_space=not args.rgb)


def _prepare(args) -> tuple[Job, PhotoTasks, object]:
    """The job, the listing of the photos (with their chart files), and the
    --output store or None."""
    if getattr(args, "chart", None):
        check_chart_template(args.chart)

    mask = None
    if args.mask is not None:
        quiet_opencv()
        try:
            mask = read_mask(args.mask, max_pixels=args.max_pixels, grey=True, quiet=True)
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


class _Tally:
    """Photos and failures of a run, for the summary line."""

    def __init__(self, progress: Progress):
        self.progress = progress
        self.count = 0
        self.failed = 0

    def failure(self, name: str, message: str) -> None:
        self.count += 1
        self.failed += 1
        self.progress.say(f"{PROG}: error: {display_name(name)}: {message}")


def analyse_all(runner: Runner, extractor, job: Job, tasks: Iterable[Task], output,
                progress: Progress, tally: _Tally) -> None:
    """Every photo through the runner, results to the output, warnings and
    errors to standard error, counted in the tally."""
    if isinstance(tasks, list):  # the process pool looks ahead in a list
        listed: Iterable[Task] = tasks
        task_of = tasks.__getitem__
    else:
        pending: dict[int, Task] = {}  # handed to the runner, outcome not back yet

        def numbered():
            for index, task in enumerate(tasks):
                pending[index] = task
                yield task

        listed, task_of = numbered(), pending.pop
    with contextlib.closing(runner.run(extractor, job, listed, progress.advance)) as outcomes:
        for index, outcome in outcomes:
            path = task_of(index)[0]
            for message in outcome.warnings:
                progress.say(f"{PROG}: warning: {display_name(path)}: {message}")
            if outcome.result is not None:
                output.emit(path, outcome)
            if outcome.error is not None:
                tally.failure(path, outcome.error)
            else:
                tally.count += 1


def _run(args, job: Job, listing: PhotoTasks, store) -> int:
    lazy = args.dask is not None
    problems: list[tuple[str, str]] = []
    if lazy:
        from velmora_huebit.cli.dask_runner import DaskRunner

        # the photos are listed as the cluster takes them, never held all at once
        tasks: Iterable[Task] = listing
        runner: Runner = DaskRunner(args.dask, args.jobs or cores())
    else:
        listing.on_problem = lambda name, message: problems.append((name, message))
        tasks = list(listing)
        # before the heavy imports below: a pool's fork server starts meanwhile
        runner = choose_runner(args.jobs, len(tasks))
    from velmora_huebit import ColorExtractor

    quiet_opencv()
    extractor = ColorExtractor(**_extractor_settings(args))
    as_table = args.table or (not args.json and sys.stdout.isatty())

    # the store folds its rows into the --output file however the run ends
    with store or contextlib.nullcontext(), Progress(None if lazy else len(tasks)) as progress:
        tally = _Tally(progress)
        for name, message in problems:  # found before the run: reported first
            tally.failure(name, message)
        listing.on_problem = tally.failure
        if lazy:
            listing.count_in_background(progress)
        if store is not None:
            from velmora_huebit.cli.parquet import ParquetOutput

            output = ParquetOutput(job, store)
        else:
            output = (TableOutput if as_table else JsonOutput)(job, progress)
        if tasks or lazy:
            analyse_all(runner, extractor, job, tasks, output, progress, tally)
    if listing.skipped:
        print(f"{PROG}: {listing.skipped} photos already in {args.output}, not analysed again",
              file=sys.stderr)
    if tally.failed:
        noun = "photo" if tally.count == 1 else "photos"
        print(f"{PROG}: {tally.failed} of {tally.count} {noun} failed", file=sys.stderr)
        return 1
    return 0


def _silence_stdout() -> None:
    # keep Python's final flush of standard output from failing once more
    os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())


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
    except UsageError as exc:  # found once the run began: a scheduler out of reach
        print(f"{PROG} {args.command}: error: {exc}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # the reader went away (| head): stop quietly
        _silence_stdout()
        return 1
    except OutputError as exc:
        print(f"{PROG}: error: cannot write the results: {exc}", file=sys.stderr)
        _silence_stdout()
        return 1
