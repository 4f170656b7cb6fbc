"""Command line: dominant colours, target-colour matching and charts for
photos, folders and globs, spread over worker processes.

    velmora-huebit extract PHOTO... [--colors N] [--chart FILE.png] [--json] ...
    velmora-huebit match PHOTO... --target NAME=#RRGGBB ... [--pixels] ...

In a terminal the results are tables with colour swatches; with --json, or
when standard output is not a terminal, one JSON object per photo and line.
Exit status: 0 when every photo was analysed, 1 when any failed, 2 for bad
arguments, 130 when interrupted.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import dataclasses
import glob
import json
import math
import multiprocessing
import os
import re
import sys
import warnings

PROG = "velmora-huebit"

# What a folder contributes: files OpenCV can usually decode. Files named
# explicitly or matched by a glob are tried whatever their suffix.
IMAGE_SUFFIXES = frozenset(
    ".png .jpg .jpeg .jpe .jp2 .bmp .dib .tif .tiff .webp .avif .gif "
    ".pbm .pgm .ppm .pnm .pfm .sr .ras .exr .hdr .pic".split()
)

_HEX = re.compile(r"#([0-9a-fA-F]{6})")
_TRIPLE = re.compile(r"\s*(\d{1,3})\s*,\s*(\d{1,3})\s*,\s*(\d{1,3})\s*")


class UsageError(Exception):
    """A bad argument found after parsing; reported like argparse's own."""


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        # two lines instead of the whole usage block
        self.exit(2, f"{self.prog}: error: {message}\nTry '{self.prog} --help' for more.\n")


# --------------------------------------------------------------------------
# Arguments


def _whole_number(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if not 1 <= value <= 2**31 - 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {text}")
    return value


def _threshold(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    # 0 counts exact matches only; a negative distance matches nothing
    if not (math.isfinite(value) and value >= 0):
        raise argparse.ArgumentTypeError(f"must be a number of 0 or more, got {text}")
    return value


def parse_color(text: str) -> tuple[int, int, int]:
    """'#RRGGBB' or 'R,G,B' (0-255 each) as an (r, g, b) tuple of ints."""
    match = _HEX.fullmatch(text.strip())
    if match:
        value = int(match.group(1), 16)
        return (value >> 16, (value >> 8) & 0xFF, value & 0xFF)
    match = _TRIPLE.fullmatch(text)
    if match:
        rgb = tuple(int(part) for part in match.groups())
        if all(channel <= 255 for channel in rgb):
            return rgb
    raise ValueError(f"malformed colour {text!r} (expected #RRGGBB or R,G,B with values 0-255)")


def _target(text: str) -> tuple[str, tuple[int, int, int]]:
    name, sep, colour = text.partition("=")
    name = name.strip()
    if not sep or not name:
        raise argparse.ArgumentTypeError(f"expected NAME=#RRGGBB or NAME=R,G,B, got {text!r}")
    try:
        return name, parse_color(colour)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(f"{name}: {exc}") from None


def _add_common_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "photos", nargs="+", metavar="PHOTO",
        help="image file, folder of images, or glob pattern such as 'shots/*.jpg'",
    )
    analysis = parser.add_argument_group("analysis")
    analysis.add_argument(
        "-n", "--colors", type=_whole_number, default=5, metavar="N",
        help="number of dominant colours to extract (default: 5)",
    )
    analysis.add_argument(
        "--algorithm", choices=("kmeans", "dbscan"), default="kmeans",
        help="clustering algorithm (default: kmeans); dbscan needs a lot of "
             "memory and time on large photos, so combine it with --max-side",
    )
    analysis.add_argument(
        "--no-preprocessing", action="store_true",
        help="skip the lighting normalisation and denoising",
    )
    analysis.add_argument(
        "--rgb", action="store_true", help="cluster in RGB instead of L*a*b*",
    )
    analysis.add_argument(
        "--mask", metavar="MASK",
        help="mask image of the photo's size; only its white areas (above 128) are analysed",
    )
    analysis.add_argument(
        "--max-side", type=_whole_number, metavar="N",
        help="shrink photos whose longer side exceeds N pixels (area "
             "interpolation) before analysis; off by default, so results equal "
             "the module's",
    )
    files = parser.add_argument_group("files and processes")
    files.add_argument(
        "-r", "--recursive", action="store_true",
        help="descend into subfolders (and let ** in patterns match them)",
    )
    files.add_argument(
        "-j", "--jobs", type=_whole_number, metavar="N",
        help=f"worker processes (default: the number of cores, {_cores()})",
    )
    output = parser.add_argument_group("output").add_mutually_exclusive_group()
    output.add_argument(
        "--json", action="store_true",
        help="JSON Lines, one object per photo (the default when output is not a terminal)",
    )
    output.add_argument(
        "--table", action="store_true", help="tables even when output is not a terminal",
    )


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Dominant colours of photos, target-colour matching and colour charts.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    extract = commands.add_parser(
        "extract", help="dominant colours with hex code, RGB and share",
        description="Dominant colours of each photo, largest share first.",
    )
    _add_common_options(extract)
    extract.add_argument(
        "--chart", metavar="FILE.png",
        help="save a bar chart of the colours; with several photos the photo's "
             "name is added to FILE (or replaces {stem} in it)",
    )
    extract.set_defaults(subparser=extract)

    match = commands.add_parser(
        "match", help="how much of each photo shows the given target colours",
        description="For each target colour: the nearest dominant colour and the "
                    "share credited to the target, or with --pixels the share of "
                    "pixels near it.",
    )
    _add_common_options(match)
    match.add_argument(
        "-t", "--target", type=_target, action="append", required=True,
        metavar="NAME=COLOUR", help="target colour as NAME=#RRGGBB or NAME=R,G,B (repeatable)",
    )
    match.add_argument(
        "--pixels", action="store_true",
        help="pixel-level matching (distance bands 15/30/50) instead of the dominant colours",
    )
    match.add_argument(
        "--threshold", type=_threshold, metavar="T",
        help="largest L*a*b* distance at which a dominant colour still counts "
             "as the target (default: 50)",
    )
    match.set_defaults(subparser=match)
    return parser


def _version() -> str:
    try:
        from importlib.metadata import version

        return version("velmora_huebit")
    except Exception:  # running from a source tree without metadata
        return "(source tree)"


def _cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


# --------------------------------------------------------------------------
# Which files


def _folder_images(folder: str, recursive: bool) -> list[str]:
    found = []
    for root, dirs, files in os.walk(folder):
        dirs[:] = sorted(d for d in dirs if not d.startswith(".")) if recursive else []
        found.extend(
            os.path.join(root, name) for name in sorted(files)
            if not name.startswith(".") and os.path.splitext(name)[1].lower() in IMAGE_SUFFIXES
        )
    return found


def collect_photos(arguments: list[str], recursive: bool) -> list[str]:
    """Files named, in folders, or matched by patterns, in a stable order,
    each once. Raises UsageError for an argument that yields nothing."""
    photos: list[str] = []
    seen: set[str] = set()

    def add(path: str) -> None:
        key = os.path.normcase(os.path.abspath(path))
        if key not in seen:
            seen.add(key)
            photos.append(path)

    for argument in arguments:
        if os.path.isdir(argument):
            images = _folder_images(argument, recursive)
            if not images:
                raise UsageError(f"no images in folder {argument}")
            for path in images:
                add(path)
        elif os.path.exists(argument):
            add(argument)
        elif glob.has_magic(argument):
            matches = sorted(glob.glob(argument, recursive=recursive))
            before = len(photos)
            for path in matches:
                if os.path.isdir(path):
                    for image in _folder_images(path, recursive):
                        add(image)
                else:
                    add(path)
            if len(photos) == before:
                raise UsageError(f"no files match {argument}")
        else:
            raise UsageError(f"no such file or folder: {argument}")
    return photos


def chart_paths(template: str, photos: list[str]) -> list[str]:
    """One chart file per photo: the template itself for a single photo,
    otherwise with the photo's stem in place of {stem} or added to the name."""
    if len(photos) == 1 and "{stem}" not in template:
        return [template]
    root, suffix = os.path.splitext(template)
    paths, used = [], set()
    for photo in photos:
        stem = os.path.splitext(os.path.basename(photo))[0]
        base = template.replace("{stem}", stem) if "{stem}" in template else f"{root}-{stem}{suffix}"
        path, n = base, 2
        while path in used:  # same stem in two folders
            head, tail = os.path.splitext(base)
            path, n = f"{head}-{n}{tail}", n + 1
        used.add(path)
        paths.append(path)
    return paths


def _check_chart_template(template: str) -> None:
    from matplotlib.backend_bases import FigureCanvasBase

    suffix = os.path.splitext(template)[1].lower().lstrip(".")
    formats = FigureCanvasBase.get_supported_filetypes()
    if suffix not in formats:
        raise UsageError(
            f"--chart {template}: unknown image format {suffix or '(none)'!r} "
            f"(use one of: {', '.join(sorted(formats))})"
        )
    folder = os.path.dirname(template) or "."
    if not os.path.isdir(folder):
        raise UsageError(f"--chart {template}: no such folder {folder}")


# --------------------------------------------------------------------------
# The work for one photo (runs in the worker processes)


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


def _quiet_opencv() -> None:
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


class PhotoError(Exception):
    """A failure explained in words for the user."""


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


def _save_chart(extractor, colors: list, path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")  # the chart always ends with show(): never open a window
    import matplotlib.pyplot as plt

    try:
        with warnings.catch_warnings():
            warnings.filterwarnings("ignore", message=".*non-interactive.*cannot be shown")
            extractor.visualize_colors(colors, path)
    finally:
        plt.close("all")


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
                    _save_chart(extractor, result, chart)
                else:
                    warnings.warn(f"no colours found, chart {chart} not written", stacklevel=1)
            except Exception as exc:
                error = f"chart {chart}: {_describe(exc)}"
    return Outcome(result=result, error=error, warnings=_messages(caught))


def _messages(caught) -> tuple:
    seen = []
    for w in caught:
        text = str(w.message).strip()
        if text not in seen:
            seen.append(text)
    return tuple(seen)


_worker: dict = {}


def _init_worker(extractor, job: Job, threads: int) -> None:
    _worker["extractor"] = extractor
    _worker["job"] = job
    _quiet_opencv()
    _limit_threads(threads)


def _work(index: int, path: str, chart: str | None) -> tuple[int, Outcome]:
    return index, run_one(_worker["extractor"], _worker["job"], path, chart)


def _single_threaded_kmeans():
    """scikit-learn's k-means sums its partial results per OpenMP thread, so
    the thread count can move a centre by a fraction and, cast to 8 bits, a
    colour by one step. One thread per photo makes the results the same for
    every --jobs and every machine; the cores are used by the processes."""
    from threadpoolctl import threadpool_limits

    return threadpool_limits(1, user_api="openmp")


def _limit_threads(threads: int) -> None:
    # several workers each running a full-width thread pool only fight over the cores
    import cv2
    from threadpoolctl import threadpool_limits

    cv2.setNumThreads(threads)
    _worker["thread_limits"] = (_single_threaded_kmeans(), threadpool_limits(threads, user_api="blas"))


# --------------------------------------------------------------------------
# Running over many photos


def _run_serial(extractor, job, tasks, on_done):
    for index, (path, chart) in enumerate(tasks):
        with _single_threaded_kmeans():
            outcome = run_one(extractor, job, path, chart)
        on_done()
        yield index, outcome


def _forkserver():
    """Workers fork from a server process that has done the heavy imports
    once. Started before this process imports them, the two overlap.

    The server preloads the libraries, not this package: it imports with the
    working directory on its path, where a source checkout would shadow the
    installed package."""
    from multiprocessing import forkserver

    context = multiprocessing.get_context("forkserver")
    context.set_forkserver_preload(["numpy", "cv2", "sklearn.cluster", "sklearn.preprocessing",
                                    "sklearn.metrics.pairwise", "PIL.Image", "matplotlib.pyplot"])
    forkserver.ensure_running()
    return context


def _run_pool(extractor, job, tasks, workers, on_done):
    """Outcomes in the order of the tasks, as soon as each one and all
    before it are done."""
    threads = max(1, _cores() // workers)
    pool = concurrent.futures.ProcessPoolExecutor(
        max_workers=workers, mp_context=_forkserver(),
        initializer=_init_worker, initargs=(extractor, job, threads),
    )
    try:
        futures = {
            pool.submit(_work, index, path, chart): index
            for index, (path, chart) in enumerate(tasks)
        }
        ready: dict[int, Outcome] = {}
        next_index = 0
        for future in concurrent.futures.as_completed(futures):
            index = futures[future]
            try:
                ready[index] = future.result()[1]
            except concurrent.futures.BrokenExecutor:
                ready[index] = Outcome(error="a worker process died (out of memory? try --max-side)")
            on_done()
            while next_index in ready:
                yield next_index, ready.pop(next_index)
                next_index += 1
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


class _Progress:
    """A bar on standard error while photos are analysed, when it is a terminal."""

    def __init__(self, total: int):
        self.total = total
        self.progress = None
        self.task = None

    def __enter__(self):
        if sys.stderr.isatty():
            from rich.console import Console
            from rich.progress import (BarColumn, MofNCompleteColumn, Progress, SpinnerColumn,
                                       TextColumn, TimeElapsedColumn, TimeRemainingColumn)

            self.progress = Progress(
                SpinnerColumn(), TextColumn("analysing"), BarColumn(), MofNCompleteColumn(),
                TimeElapsedColumn(), TimeRemainingColumn(),
                console=Console(stderr=True), transient=True,
                redirect_stdout=False, redirect_stderr=True,
            )
            self.progress.start()
            self.task = self.progress.add_task("analysing", total=self.total)
        return self

    @property
    def on_screen(self) -> bool:
        """Whether results for standard output go above the bar: both
        streams are the terminal, and the bar is showing."""
        return self.progress is not None and sys.stdout.isatty()

    @property
    def console(self):
        return self.progress.console

    def say(self, text: str) -> None:
        """One line on standard error, above the bar while it shows."""
        if self.progress is not None:
            # soft wrap: a long line stays one line for the terminal to wrap
            self.progress.console.print(text, soft_wrap=True, markup=False, highlight=False)
        else:
            print(text, file=sys.stderr, flush=True)

    def advance(self) -> None:
        if self.progress is not None:
            self.progress.advance(self.task)

    def __exit__(self, *exc_info):
        if self.progress is not None:
            self.progress.stop()
        return False


# --------------------------------------------------------------------------
# Output


def hex_code(rgb) -> str:
    r, g, b = (int(c) for c in rgb)
    return f"#{r:02x}{g:02x}{b:02x}"


def _plain(value):
    if isinstance(value, dict):
        return {key: _plain(item) for key, item in value.items()}
    if isinstance(value, (tuple, list)):
        return [_plain(item) for item in value]
    if hasattr(value, "item") and not isinstance(value, (bool, int, float, str)):
        return value.item()  # numpy scalars
    return value


def json_record(path: str, job: Job, result) -> dict:
    if job.command == "extract":
        return {
            "file": path,
            "colors": [
                {"hex": hex_code(c["color"]), "rgb": list(c["color"]), "percentage": c["percentage"]}
                for c in result
            ],
        }
    targets = {}
    for name, record in result.items():
        targets[name] = {"target": hex_code(job.targets[name]), **_plain(record)}
    return {"file": path, "targets": targets}


class JsonOutput:
    def __init__(self, job: Job, progress: "_Progress"):
        self.job = job
        self.progress = progress

    def emit(self, path: str, result) -> None:
        line = json.dumps(json_record(path, self.job, result), default=_plain)
        if self.progress.on_screen:
            # one unbroken line above the bar, never wrapped into two
            self.progress.console.print(line, soft_wrap=True, markup=False, highlight=False, emoji=False)
        else:
            sys.stdout.write(line + "\n")
            sys.stdout.flush()


class TableOutput:
    def __init__(self, job: Job, progress: "_Progress"):
        from rich.console import Console

        self.job = job
        self.progress = progress
        self.console = Console(highlight=False)
        if not self.console.is_terminal:
            # nobody's window to fit: let tables take their natural width instead of cropping cells
            self.console = Console(highlight=False, width=1 << 16)

    def _table(self):
        from rich import box
        from rich.table import Table

        return Table(box=box.SIMPLE_HEAD, pad_edge=False)

    def emit(self, path: str, result) -> None:
        if self.job.command == "extract":
            table = self._extract_table(result)
        elif self.job.pixels:
            table = self._pixels_table(result)
        else:
            table = self._similarity_table(result)
        from rich.text import Text

        # above the bar when both share the terminal
        console = self.progress.console if self.progress.on_screen else self.console
        # the path on a line of its own, never wrapped or read as markup, so it can be copied
        console.print(Text(path, style="bold"), soft_wrap=True)
        console.print(table)

    def _extract_table(self, colors):
        table = self._table()
        self._columns(table, "colour", "RGB", "share %")
        for c in colors:
            r, g, b = c["color"]
            table.add_row(self._labelled(c["color"], hex_code(c["color"])),
                          f"{r:3d} {g:3d} {b:3d}", f"{c['percentage']:.2f}")
        if not colors:
            table.caption = "no colours found (is the mask empty?)"
        return table

    def _labelled(self, rgb, label):
        from rich.text import Text

        r, g, b = (int(c) for c in rgb)
        return Text.assemble(("███", f"rgb({r},{g},{b})"), " ", label)

    def _columns(self, table, *titles):
        for title in titles:
            left = title in ("colour", "RGB", "target", "closest", "nearest pixel")
            table.add_column(title, justify="left" if left else "right", no_wrap=True)

    def _similarity_table(self, records):
        table = self._table()
        self._columns(table, "target", "closest", "distance", "similarity %", "share %", "direct")
        for name, rec in records.items():
            table.add_row(
                self._labelled(self.job.targets[name], name),
                self._labelled(rec["closest_color"], hex_code(rec["closest_color"])),
                f"{rec['distance']:.2f}", f"{rec['similarity']:.2f}", f"{rec['percentage']:.2f}",
                "yes" if rec["found_directly"] else "no",
            )
        if not records:
            table.caption = "no colours found (is the mask empty?)"
        return table

    def _pixels_table(self, records):
        table = self._table()
        self._columns(table, "target", "nearest pixel", "distance", "score",
                      "< 15 %", "< 30 %", "< 50 %")
        for name, rec in records.items():
            table.add_row(
                self._labelled(self.job.targets[name], name),
                self._labelled(rec["closest_pixel"], hex_code(rec["closest_pixel"])),
                f"{rec['min_distance']:.2f}", f"{rec['similarity_score']:.2f}",
                f"{rec['very_close_percentage']:.2f}", f"{rec['close_percentage']:.2f}",
                f"{rec['total_percentage']:.2f}",
            )
        if not records:
            table.caption = "no pixels to match (is the mask empty?)"
        return table


# --------------------------------------------------------------------------
# Entry


def _prepare(args) -> tuple[Job, list[tuple[str, str | None]]]:
    photos = collect_photos(args.photos, args.recursive)
    charts = [None] * len(photos)
    if getattr(args, "chart", None):
        _check_chart_template(args.chart)
        charts = chart_paths(args.chart, photos)

    mask = None
    if args.mask is not None:
        import cv2

        _quiet_opencv()
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


def _run(args, job: Job, tasks) -> int:
    workers = min(args.jobs or _cores(), len(tasks))
    if workers > 1:
        _forkserver()
    from velmora_huebit import ColorExtractor

    _quiet_opencv()
    extractor = ColorExtractor(
        n_colors=args.colors, algorithm=args.algorithm,
        preprocessing=not args.no_preprocessing, lab_space=not args.rgb,
    )
    as_table = args.table or (not args.json and sys.stdout.isatty())
    if args.algorithm == "dbscan" and args.max_side is None:
        print(f"{PROG}: note: dbscan's memory and time grow fast with the pixel count; "
              "large photos may need --max-side (for example 200)", file=sys.stderr)

    failed = 0
    with _Progress(len(tasks)) as progress:
        output = (TableOutput if as_table else JsonOutput)(job, progress)
        if workers > 1:
            outcomes = _run_pool(extractor, job, tasks, workers, progress.advance)
        else:
            outcomes = _run_serial(extractor, job, tasks, progress.advance)
        for index, outcome in outcomes:
            path = tasks[index][0]
            for message in outcome.warnings:
                progress.say(f"{PROG}: warning: {path}: {message}")
            if outcome.result is not None:
                output.emit(path, outcome.result)
            if outcome.error is not None:
                failed += 1
                progress.say(f"{PROG}: error: {path}: {outcome.error}")
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


if __name__ == "__main__":
    sys.exit(main())
