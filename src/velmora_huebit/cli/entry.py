"""main(): parse the arguments, gather the photos and the job, run the
photos through a runner and hand each result to the output."""

from __future__ import annotations

import os
import sys

from velmora_huebit.cli.arguments import PROG, UsageError, build_parser
from velmora_huebit.cli.charts import chart_paths, check_chart_template
from velmora_huebit.cli.output import JsonOutput, TableOutput
from velmora_huebit.cli.photos import collect_photos
from velmora_huebit.cli.progress import Progress
from velmora_huebit.cli.runners import Runner, Task, choose_runner
from velmora_huebit.cli.work import Job, quiet_opencv


def _prepare(args) -> tuple[Job, list[Task]]:
    photos = collect_photos(args.photos, args.recursive)
    charts = [None] * len(photos)
    if getattr(args, "chart", None):
        check_chart_template(args.chart)
        charts = chart_paths(args.chart, photos)

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
    return job, list(zip(photos, charts))


def analyse_all(runner: Runner, extractor, job: Job, tasks: list[Task], output, progress: Progress) -> int:
    """Every photo through the runner, results to the output, warnings and
    errors to standard error; the number of photos that failed."""
    failed = 0
    for index, outcome in runner.run(extractor, job, tasks, progress.advance):
        path = tasks[index][0]
        for message in outcome.warnings:
            progress.say(f"{PROG}: warning: {path}: {message}")
        if outcome.result is not None:
            output.emit(path, outcome.result)
        if outcome.error is not None:
            failed += 1
            progress.say(f"{PROG}: error: {path}: {outcome.error}")
    return failed


def _run(args, job: Job, tasks: list[Task]) -> int:
    # before the heavy imports below: a pool's fork server starts meanwhile
    runner = choose_runner(args.jobs, len(tasks))
    from velmora_huebit import ColorExtractor

    quiet_opencv()
    extractor = ColorExtractor(
        n_colors=args.colors, algorithm=args.algorithm,
        preprocessing=not args.no_preprocessing, lab_space=not args.rgb,
    )
    as_table = args.table or (not args.json and sys.stdout.isatty())
    if args.algorithm == "dbscan" and args.max_side is None:
        print(f"{PROG}: note: dbscan's memory and time grow fast with the pixel count; "
              "large photos may need --max-side (for example 200)", file=sys.stderr)

    with Progress(len(tasks)) as progress:
        output = (TableOutput if as_table else JsonOutput)(job, progress)
        failed = analyse_all(runner, extractor, job, tasks, output, progress)
    if failed:
        noun = "photo" if len(tasks) == 1 else "photos"
        print(f"{PROG}: {failed} of {len(tasks)} {noun} failed", file=sys.stderr)
        return 1
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
        try:
            job, tasks = _prepare(args)
        except UsageError as exc:
            args.subparser.error(str(exc))
    except SystemExit as exc:  # argparse: --help, --version, bad arguments
        return exc.code if isinstance(exc.code, int) else (0 if exc.code is None else 2)
    try:
        return _run(args, job, tasks)
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # the reader went away (| head); stop quietly, and keep Python's
        # final flush from complaining about the closed pipe
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
