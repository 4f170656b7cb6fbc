"""The option parser and the checks of single option values."""

from __future__ import annotations

import argparse
import functools
import math

from velmora_huebit.colour.parse import PaletteError, parse_color, read_palette, shown_name
from velmora_huebit.photos.sources import printable
from velmora_huebit.colour.swatches import SORTS
from velmora_huebit.cli.terminal import LEVELS
from velmora_huebit.errors import SettingError
from velmora_huebit.runs.runners import cores
from velmora_huebit.photos.reading import DEFAULT_MAX_PIXELS

PROG = "velmora-huebit"

# Photos are analysed at this longer side unless --max-side says otherwise:
# the palettes are as faithful as at full size, and far quicker to find
# (bench/bench_fidelity.py, bench/bench_cli.py).
DEFAULT_MAX_SIDE = 256


class UsageError(SettingError):
    """A bad argument found after parsing; reported like argparse's own, as
    are the library's SettingErrors."""


class _Version(argparse.Action):
    """--version, with the version read only when asked for."""

    def __init__(self, option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS,
                 help="show program's version number and exit"):
        super().__init__(option_strings, dest=dest, default=default, nargs=0, help=help)

    def __call__(self, parser, namespace, values, option_string=None):
        from velmora_huebit._version import version

        print(f"{parser.prog} {version()}")
        parser.exit()


@functools.cache
def _width() -> int:
    import shutil

    return shutil.get_terminal_size().columns - 2  # as argparse's formatter takes it


class _Parser(argparse.ArgumentParser):
    def _get_formatter(self):
        # the terminal is asked once, not once for every option added
        return self.formatter_class(prog=self.prog, width=_width())

    def error(self, message):
        # two lines instead of the whole usage block; a name in the message is shown escaped
        self.exit(2, f"{self.prog}: error: {printable(message)}\nTry '{self.prog} --help' for more.\n")

    def parse_args(self, args=None, namespace=None):
        # argparse reports unknown options from the top parser, which knows
        # none of the command's options: the command's parser tells instead,
        # with the option probably meant
        args, unknown = self.parse_known_args(args, namespace)
        if unknown:
            parser = getattr(args, "subparser", self)
            parser.error(f"unrecognized arguments: {' '.join(unknown)}{_suggestion(parser, unknown)}")
        return args


def _suggestion(parser: argparse.ArgumentParser, unknown: list[str]) -> str:
    known = [option for option, action in parser._option_string_actions.items()
             if option.startswith("--") and action.help is not argparse.SUPPRESS]
    for word in unknown:
        if word.startswith("--"):
            import difflib

            close = difflib.get_close_matches(word.partition("=")[0], known, n=1, cutoff=0.6)
            if close:
                return f" (did you mean {close[0]}?)"
    return ""


def _level(text: str) -> str:
    if text in LEVELS:
        return text
    hint = f"; the number of colours is --colors {text}" if text.isdigit() else ""
    raise argparse.ArgumentTypeError(f"expected {', '.join(LEVELS)}, got {text!r}{hint}")


def _whole_number(text: str, least: int = 1) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if not least <= value <= 2**31 - 1:
        raise argparse.ArgumentTypeError(f"must be at least {least}, got {text}")
    return value


def _side(text: str) -> int:
    return _whole_number(text, least=0)


def _pixel_count(text: str) -> int:
    try:
        value = int(text)  # 50_000_000 reads too
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be at least 0, got {text}")
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


def _tolerances(text: str) -> tuple[float, float, float]:
    from velmora_huebit.analysis.delta_e import check_tolerances

    try:
        return check_tolerances(part.strip() for part in text.split(","))
    except (TypeError, ValueError):
        raise argparse.ArgumentTypeError(
            f"expected three ΔE2000 values above 0 in rising order, such as 2,5,10, got {text!r}") from None


def _percentage(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not (math.isfinite(value) and 0 <= value <= 100):
        raise argparse.ArgumentTypeError(f"must be a percentage from 0 to 100, got {text}")
    return value


def _target(text: str) -> list[tuple[str, tuple[int, int, int]]]:
    """NAME=COLOUR, or a colour alone, named by its own text."""
    name, sep, colour = text.partition("=")
    name = name.strip()
    if not sep:
        name, colour = text.strip(), text
    if not name:
        raise argparse.ArgumentTypeError(f"expected NAME=COLOUR such as red=#e4002b, got {text!r}")
    # escaped as names from a palette file are: a name cannot drive the terminal
    name = shown_name(name)
    try:
        return [(name, parse_color(colour))]
    except ValueError as exc:
        raise argparse.ArgumentTypeError(f"{name}: {exc}" if sep else str(exc)) from None


def _palette(path: str) -> list[tuple[str, tuple[int, int, int]]]:
    try:
        return read_palette(path)
    except OSError as exc:
        raise argparse.ArgumentTypeError(f"cannot read {path}: {exc.strerror or exc}") from None
    except (PaletteError, UnicodeDecodeError) as exc:
        raise argparse.ArgumentTypeError(f"{path}: {exc}") from None


class _AddTargets(argparse.Action):
    """--target and --targets add to one list, in the order given."""

    def __call__(self, parser, namespace, values, option_string=None):
        setattr(namespace, self.dest, (getattr(namespace, self.dest) or []) + values)


def _add_common_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "photos", nargs="+", metavar="PHOTO",
        help="image file, folder of images, or glob pattern such as 'shots/*.jpg'; or a "
             "URL: s3://bucket/prefix/, s3://bucket/shots/*.jpg (needs the s3 extra), or "
             "another one fsspec reads",
    )
    analysis = parser.add_argument_group("analysis")
    analysis.add_argument(
        "-n", "--colors", type=_whole_number, default=5, metavar="N",
        help="number of dominant colours to extract (default: 5)",
    )
    # the spelling of the help text works too (and --colour, as its prefix)
    analysis.add_argument(
        "--colours", dest="colors", type=_whole_number, default=argparse.SUPPRESS, help=argparse.SUPPRESS,
    )
    analysis.add_argument(
        "--engine", choices=("palette", "library"), default="palette",
        help="palette (the default): the native palette engine, k-means in CIE L*a*b* on "
             "the photo's distinct colours, fast and the same on every machine; library: "
             "the module's ColorExtractor with scikit-learn, which --algorithm dbscan, "
             "--preprocess and --rgb need",
    )
    analysis.add_argument(
        "--algorithm", choices=("kmeans", "dbscan"), default="kmeans",
        help="clustering algorithm of --engine library (default: kmeans); dbscan finds "
             "the dense groups of colours and may report fewer than --colors",
    )
    analysis.add_argument(
        "--preprocess", action="store_true",
        help="normalise the lighting (CLAHE on the lightness) and smooth (bilateral filter) "
             "before clustering (--engine library), for comparisons between photos lit differently; it "
             "shifts the reported colours (brighter, more contrast) and their shares, so "
             "it is off by default",
    )
    analysis.add_argument(
        "--no-preprocessing", dest="preprocess", action="store_false",
        help="no lighting normalisation (the default)",
    )
    analysis.add_argument(
        "--rgb", action="store_true", help="cluster in RGB instead of L*a*b* (--engine library)",
    )
    analysis.add_argument(
        "--mask", metavar="MASK",
        help="mask image of the photo's size; only its white areas (above 128) are analysed",
    )
    analysis.add_argument(
        "--keep-transparent", action="store_true",
        help="analyse transparent pixels too (by default pixels whose alpha is below "
             "128 are left out, together with --mask)",
    )
    analysis.add_argument(
        "--max-side", type=_side, default=DEFAULT_MAX_SIDE, metavar="N",
        help=f"shrink photos whose longer side exceeds N pixels (area interpolation) "
             f"before analysis (default: {DEFAULT_MAX_SIDE}, as faithful as full size "
             f"and far quicker); 0 analyses the full resolution. Every result names "
             f"the size analysed",
    )
    analysis.add_argument(
        "--max-pixels", type=_pixel_count, default=DEFAULT_MAX_PIXELS, metavar="N",
        help=f"refuse, from its header and before decoding anything, an image that "
             f"takes more memory to decode than N pixels of 8-bit colour (default: "
             f"{DEFAULT_MAX_PIXELS:_}, which keeps a process under 400 MB): a JPEG "
             f"reduced for --max-side counts at its reduced size; transparency, "
             f"WebP, GIF, JPEG 2000, AVIF and progressive JPEGs count for more. "
             f"Photos and --mask alike; 0 for no limit",
    )
    files = parser.add_argument_group("files and processes")
    files.add_argument(
        "-r", "--recursive", action="store_true",
        help="descend into subfolders (and let ** in patterns match them)",
    )
    files.add_argument(
        "--anonymous", action="store_true",
        help="read s3:// URLs without credentials (public buckets); otherwise the credentials "
             "are taken where the AWS tools find them (AWS_* variables, ~/.aws, AWS_PROFILE, "
             "an instance role)",
    )
    files.add_argument(
        "--endpoint-url", metavar="URL",
        help="the S3 endpoint for s3:// URLs, for S3-compatible stores (MinIO, Ceph, R2, ...), "
             "such as http://localhost:9000 (default: AWS, or AWS_ENDPOINT_URL)",
    )
    files.add_argument(
        "-j", "--jobs", type=_whole_number, metavar="N",
        help=f"worker processes (default: the number of cores, {cores()}, less those busy with other work)",
    )
    outputs = parser.add_argument_group("output")
    output = outputs.add_mutually_exclusive_group()
    output.add_argument(
        "--json", action="store_true",
        help="JSON Lines, one object per photo (the default when output is not a terminal)",
    )
    output.add_argument(
        "--table", action="store_true", help="tables even when output is not a terminal",
    )

    # many photos: a Dask cluster, and results in a Parquet file that a later run can resume
    files.add_argument(
        "--dask", nargs="?", const="", metavar="ADDRESS",
        help="run on a Dask cluster: a local one of --jobs worker processes, or "
             "the scheduler at ADDRESS (such as tcp://host:8786), whose workers "
             "read the photos (and write the charts) at the same absolute paths; "
             "put the photos before --dask (needs the dask extra)",
    )
    output.add_argument(
        "-o", "--output", metavar="FILE",
        help="write a table instead of standard output, one row per photo and "
             "colour (or target) and one per photo that failed: FILE.parquet "
             "(needs the parquet extra) or FILE.csv, or such a file in a bucket "
             "(s3://bucket/results.parquet: kept in a local folder as the run "
             "goes, and uploaded when it ends)",
    )
    outputs.add_argument(
        "--resume", action="store_true",
        help="analyse only the photos that the --output file lacks (or that "
             "failed) and add them to it, also after a run that was cut short",
    )
    outputs.add_argument(
        "--report", metavar="FILE.html",
        help="also write an HTML page of the run: a summary, the photos that failed, and each "
             "photo's thumbnail with its colours (past 100 photos the thumbnails go to the "
             "folder FILE_files beside it)",
    )
    outputs.add_argument(
        "--title", metavar="TEXT",
        help="the title of the --report page (default: the command and the number of photos)",
    )
    outputs.add_argument(
        "--chart", metavar="FILE.png",
        help="save a chart of each photo's result (PNG, SVG, PDF, ...); with several photos "
             "the photo's name is added to FILE (or replaces {stem} in it)",
    )
    # damaged photos: their status is "warning"; --strict fails the run for them
    outputs.add_argument(
        "--strict", action="store_true",
        help="count photos with warnings (a truncated file, one almost all transparent, a "
             "doubtful DBSCAN palette) as failures in the exit status",
    )
    outputs.add_argument(
        "--overwrite", action="store_true",
        help="replace the files of --output, --report, --chart and --export that exist "
             "already (without it the run stops before it starts; --resume replaces "
             "those of the run it resumes); a photo of the run is never written over",
    )
    outputs.add_argument(
        "--color", "--colour", dest="color", type=_level, default="auto", metavar="WHEN",
        help="colours of the tables' swatches: auto (what the terminal says it can show), "
             "truecolor, 256color, 16color or never; below 256 colours no swatch is drawn and "
             "every colour is written as its hex code",
    )


# ---- serve: the palette service (its options in this one block) ----------------

_UNITS = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30}


def _byte_count(text: str) -> int:
    """A size in bytes: 33554432, 32M, 32MB, 512K."""
    number = text.strip().upper().removesuffix("B")
    unit = number[-1:] if number[-1:] in ("K", "M", "G") else ""
    try:
        value = float(number.removesuffix(unit)) * _UNITS[unit]
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a size such as 32MB, got {text!r}") from None
    if not (math.isfinite(value) and 1 <= value <= 1 << 40):
        raise argparse.ArgumentTypeError(f"must be from 1 byte to 1 TB, got {text}")
    return int(value)


def _port(text: str) -> int:
    value = _whole_number(text, least=0)
    if value > 65535:
        raise argparse.ArgumentTypeError(f"a port is 0 to 65535, got {text}")
    return value


def _seconds(text: str) -> float:
    value = _threshold(text)
    if not 0 < value <= 86400:
        raise argparse.ArgumentTypeError(f"must be more than 0 seconds and at most a day, got {text}")
    return value


def _add_serve(commands) -> None:
    serve = commands.add_parser(
        "serve", help="the palette service: an HTTP API and a drop-a-photo page (needs the service extra)",
        description="Serve POST /v1/palette, POST /v1/match, /healthz, /metrics, the API's docs at /docs "
                    "and a page to drop photos on at /. Stateless: run several behind a load balancer.",
    )
    serve.add_argument("--host", default="127.0.0.1", help="address to listen on (default: 127.0.0.1)")
    serve.add_argument("--port", type=_port, default=8000, help="port to listen on (default: 8000)")
    serve.add_argument("--workers", type=_whole_number, default=1, metavar="N",
                       help="server processes (default: 1); the cores are shared among them")
    serve.add_argument("--threads", type=_whole_number, metavar="N",
                       help="photos analysed at once in each process (default: its share of the cores, "
                            f"{cores()} in all)")
    serve.add_argument("--queue", type=_side, metavar="N",
                       help="photos that wait for a thread in each process before more are turned "
                            "away with 503 and Retry-After (default: 256)")
    serve.add_argument("--max-body", type=_byte_count, metavar="SIZE",
                       help="largest request body, such as 32MB (default: 32MB)")
    serve.add_argument("--max-pixels", type=_pixel_count, metavar="N",
                       help=f"refuse, from its header, an image that takes more memory to decode than N "
                            f"pixels of 8-bit colour, as extract does (default: {DEFAULT_MAX_PIXELS:_}; 0: no limit)")
    serve.add_argument("--timeout", type=_seconds, metavar="SECONDS",
                       help="time limit of a request: its upload, its wait and its analysis (default: 30)")
    serve.add_argument("--max-connections", type=_whole_number, default=4096, metavar="N",
                       help="open connections per process before new requests get 503 (default: 4096)")
    serve.add_argument("--token", metavar="TOKEN",
                       help="ask for Authorization: Bearer TOKEN on /v1/ (default: the VELMORA_HUEBIT_TOKEN "
                            "variable, or none); the variable keeps it out of the process list")
    serve.add_argument("--cors", action="append", metavar="ORIGIN",
                       help="let pages of ORIGIN (such as https://shop.example) call the API from a "
                            "browser; repeatable (default: none)")
    serve.add_argument("--log-level", choices=("critical", "error", "warning", "info", "debug"),
                       default="warning", help="uvicorn's log level (default: warning)")
    serve.set_defaults(subparser=serve)


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Dominant colours of photos, target-colour matching and colour charts.",
    )
    parser.add_argument("--version", action=_Version)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    extract = commands.add_parser(
        "extract", help="dominant colours with hex code, RGB and share",
        description="Dominant colours of each photo, largest share first.",
    )
    _add_common_options(extract)
    extract.add_argument(
        "--sort", choices=SORTS, default="share",
        help="order of each photo's colours, in every output: share (largest first, the "
             "default), lightness (dark to light) or hue (around the colour wheel from red, "
             "greys last)",
    )
    extract.add_argument(
        "--export", action="append", metavar="FILE",
        help="write the palette to a file per photo, named as with --chart, in the "
             "format of its extension: .gpl (GIMP), .ase (Adobe), .css, .json, .hex, "
             "or swatch images .png and .svg; repeatable",
    )
    extract.add_argument(
        "--names", choices=("css", "xkcd", "none"), default="css",
        help="name each colour after the nearest (CIEDE2000) of the CSS colour names "
             "(the default: known to designers and stylesheets) or of the 949 names of "
             "the XKCD colour survey (finer, some crude), or none",
    )
    # for designers: the swatch roles (OKLCH and contrast come with every colour)
    extract.add_argument(
        "--roles", action="store_true",
        help="pick the swatch roles among each photo's colours: vibrant, muted and the dark "
             "and light variant of each, by OKLCH lightness and chroma, in every output "
             "(JSON, tables, --export .css and .ase, --report); a role no colour fits stays empty",
    )
    extract.set_defaults(subparser=extract)

    match = commands.add_parser(
        "match", help="how much of each photo shows the given target colours",
        description="For each target colour: the photo's nearest colour and its "
                    "CIEDE2000 difference (ΔE2000), the share of the photo's pixels within "
                    "each tolerance (match, close, similar), and whether the target is "
                    "present. With --engine library, --threshold or --pixels: the "
                    "module's measures instead, distances in OpenCV's 8-bit L*a*b*.",
    )
    _add_common_options(match)
    match.add_argument(
        "-t", "--target", dest="targets", type=_target, action=_AddTargets, metavar="NAME=COLOUR",
        help="target colour (repeatable): #rgb, #rrggbb, R,G,B, rgb(...), hsl(...) or a "
             "CSS colour name, named NAME= or by itself, such as red=#e4002b, "
             "sky='hsl(200, 80%%, 60%%)' or navy",
    )
    match.add_argument(
        "--targets", dest="targets", type=_palette, action=_AddTargets, metavar="FILE",
        help='a palette file of target colours, told apart by its content: JSON '
             '({"name": "#rrggbb", ...} or a list), CSV lines name,colour (or name;colour), '
             "a GIMP .gpl or Adobe .ase palette, CSS custom properties, one hex code per "
             "line (.hex), or what --export wrote; with --target, the targets keep "
             "the order given",
    )
    match.add_argument(
        "--tolerances", type=_tolerances, metavar="M,C,S",
        help="the ΔE2000 within which a pixel is a match, a close and a similar colour "
             "(default: 2,5,10: 2 is about what the eye can just tell apart)",
    )
    match.add_argument(
        "--min-share", type=_percentage, metavar="PERCENT",
        help="a target is present when at least this share of the photo's pixels lies "
             "within a tolerance (default: 0.5)",
    )
    match.add_argument(
        "--pixels", action="store_true",
        help="the module's pixel matching instead: OpenCV 8-bit L*a*b* distance bands 15/30/50",
    )
    match.add_argument(
        "--threshold", type=_threshold, metavar="T",
        help="the module's match on the dominant colours instead: the largest OpenCV 8-bit "
             "L*a*b* distance at which one still counts as the target (default with "
             "--engine library: 50)",
    )
    match.set_defaults(subparser=match)
    _add_serve(commands)
    _add_search(commands)
    return parser


def _colour(text: str) -> tuple[int, int, int]:
    try:
        return parse_color(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _add_search(commands) -> None:
    """search: the photos of an --output table near a colour, by ΔE2000 (DuckDB)."""
    search = commands.add_parser(
        "search", help="the photos of an --output table with a colour near the one given",
        description="The photos of a table written by extract --output (Parquet or CSV, local "
                    "or in a bucket) whose palette holds a colour near COLOUR, by CIEDE2000: "
                    "closest first, then the largest share. Needs DuckDB (the search extra).",
    )
    search.add_argument("table", metavar="TABLE", help="FILE.parquet or FILE.csv, or s3://bucket/FILE...")
    search.add_argument("--near", type=_colour, required=True, metavar="COLOUR",
                        help="the colour: #rrggbb, R,G,B, rgb(...), hsl(...) or a CSS colour name such as navy")
    search.add_argument("--within", type=_threshold, default=10.0, metavar="ΔE",
                        help="the largest ΔE2000 from it (default: 10, similar; 5 is close, 2 a match to the eye)")
    search.add_argument("--min-share", type=_threshold, default=0.0, metavar="PERCENT",
                        help="only colours covering at least this share of the photo (default: 0)")
    search.add_argument("--json", action="store_true",
                        help="JSON Lines, one object per photo (the default when output is not a terminal)")
    search.add_argument("--anonymous", action="store_true", help="read an s3:// table without credentials")
    search.add_argument("--endpoint-url", metavar="URL", help="the S3 endpoint for an s3:// table")
    search.set_defaults(subparser=search)
