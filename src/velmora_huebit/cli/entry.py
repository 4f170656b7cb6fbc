"""main(): parse the arguments, gather the photos and the job, run the
photos through a runner and hand each result to the output."""

from __future__ import annotations

import contextlib
import os
import sys

from velmora_huebit.cli.arguments import PROG, UsageError, build_parser
from velmora_huebit.cli.charts import chart_paths, check_chart_template
from velmora_huebit.cli.output import JsonOutput, OutputError, TableOutput
from velmora_huebit.cli.photos import collect_photos, display_name
from velmora_huebit.cli.progress import Progress
from velmora_huebit.cli.reading import PhotoError, read_mask
from velmora_huebit.cli.runners import Runner, Task, choose_runner
from velmora_huebit.cli.work import Job, quiet_opencv


def _prepare(args) -> tuple[Job, list[Task], list[tuple[str, str]]]:
    """The job, the tasks (photo, chart), and the problems found on the way
    (arguments that name no photo), each reported like a failed photo."""
    photos, problems = collect_photos(args.photos, args.recursive)
    charts = [None] * len(photos)
    if getattr(args, "chart", None):
        check_chart_template(args.chart)
        charts = chart_paths(args.chart, photos)

    mask = None
    if args.mask is not None:
        quiet_opencv()
        try:
            mask = read_mask(args.mask)
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
        command=args.command, mask=mask, max_side=args.max_side,
        keep_transparent=args.keep_transparent, targets=targets,
        pixels=getattr(args, "pixels", False), threshold=getattr(args, "threshold", None),
    )
    return job, list(zip(photos, charts)), problems


def analyse_all(runner: Runner, extractor, job: Job, tasks: list[Task], output, progress: Progress) -> int:
    """Every photo through the runner, results to the output, warnings and
    errors to standard error; the number of photos that failed."""
    failed = 0
    with contextlib.closing(runner.run(extractor, job, tasks, progress.advance)) as outcomes:
        for index, outcome in outcomes:
            name = display_name(tasks[index][0])
            for message in outcome.warnings:
                progress.say(f"{PROG}: warning: {name}: {message}")
            if outcome.result is not None:
                output.emit(tasks[index][0], outcome)
            if outcome.error is not None:
                failed += 1
                progress.say(f"{PROG}: error: {name}: {outcome.error}")
    return failed


def _run(args, job: Job, tasks: list[Task], problems: list[tuple[str, str]]) -> int:
    for name, message in problems:
        print(f"{PROG}: error: {display_name(name)}: {message}", file=sys.stderr)
    failed = len(problems)
    if tasks:
        failed += _run_tasks(args, job, tasks)
    total = len(tasks) + len(problems)
    if failed:
        noun = "photo" if total == 1 else "photos"
        print(f"{PROG}: {failed} of {total} {noun} failed", file=sys.stderr)
        return 1
    return 0


def _run_tasks(args, job: Job, tasks: list[Task]) -> int:
    # before the heavy imports below: a pool's fork server starts meanwhile
    runner = choose_runner(args.jobs, len(tasks))
    from velmora_huebit import ColorExtractor

    quiet_opencv()
    extractor = ColorExtractor(
        n_colors=args.colors, algorithm=args.algorithm,
        preprocessing=args.preprocess, lab_space=not args.rgb,
    )
    as_table = args.table or (not args.json and sys.stdout.isatty())

    with Progress(len(tasks)) as progress:
        output = (TableOutput if as_table else JsonOutput)(job, progress)
        return analyse_all(runner, extractor, job, tasks, output, progress)


def _silence_stdout() -> None:
    # keep Python's final flush of standard output from failing once more
    os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
        try:
            job, tasks, problems = _prepare(args)
        except UsageError as exc:
            args.subparser.error(str(exc))
    except SystemExit as exc:  # argparse: --help, --version, bad arguments
        return exc.code if isinstance(exc.code, int) else (0 if exc.code is None else 2)
    try:
        return _run(args, job, tasks, problems)
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
