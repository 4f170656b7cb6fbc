"""Hostile palette files for the command line's palette reader (--targets).

    python fuzz/palettes.py [--seeds 0,1,2] [--examples 2000]

Every file written in each format (and some other tools' forms), then cut,
flipped, spliced and padded, plus random bytes and deep nesting, is read
with read_palette. A palette of (name, (r, g, b)) with components 0-255, or
a PaletteError, is a fine ending; any other exception, or a read that takes
longer than a few seconds, is a failure. Exits 0 when nothing failed.
"""

import argparse
import collections
import faulthandler
import json
import os
import sys
import tempfile
import time

from hypothesis import HealthCheck, Phase, given, seed, settings
from hypothesis import strategies as st

from velmora_huebit.colour.parse import MAX_COLOURS, PaletteError, read_palette
from velmora_huebit.outputs.exports import WRITERS, Swatch

HANG_SECONDS = 30

COLOURS = [{"color": (228, 0, 43), "percentage": 40.0, "name": "crimson"},
           {"color": (0, 0, 128), "percentage": 35.5, "name": "navy"},
           {"color": (237, 201, 175), "percentage": 24.5}]
RECORD = {"file": "p.png", "analysed_size": [4, 4],
          "colors": [{"hex": "#e4002b", "name": "crimson", "rgb": [228, 0, 43], "percentage": 40.0}]}


def seed_files() -> list[bytes]:
    """A valid file of every format the reader takes."""
    swatches = [Swatch(c) for c in COLOURS]
    written = [writer("p.png", swatches, RECORD) for writer in WRITERS.values()]
    return written + [text.encode() for text in [
        '{"brand red": "#e4002b", "ink": "navy", "sand": [237, 201, 175]}',
        '["#e4002b", "#000080", [1, 2, 3], {"name": "x", "hex": "#fff"}]',
        "name,colour\nbrand red,#e4002b\nink,navy\nsand,237,201,175\n",
        "name;colour\nred;#e4002b\nsand;237,201,175\n",
        "e4002b\n000080\n#fff\n",
        ":root { --brand: #e4002b; --gap: 4px; /* x */ --ink: rgb(0 0 128) !important; }",
        "GIMP Palette\nName: x\n#\n228 0 43\tred\n",
    ]]


SEEDS = seed_files()


@st.composite
def mutated(draw):
    data = bytearray(draw(st.sampled_from(SEEDS)))
    for _ in range(draw(st.integers(1, 6))):
        where = draw(st.integers(0, len(data)))
        how = draw(st.sampled_from(["cut", "flip", "insert", "repeat", "delete", "number"]))
        if how == "cut":
            del data[where:]
        elif how == "flip" and where < len(data):
            data[where] ^= 1 << draw(st.integers(0, 7))
        elif how == "insert":
            data[where:where] = draw(st.binary(min_size=1, max_size=16))
        elif how == "repeat":
            piece = bytes(data[where:where + draw(st.integers(1, 40))])
            data[where:where] = piece * draw(st.integers(1, 50))
        elif how == "delete":
            del data[where:where + draw(st.integers(1, 8))]
        else:
            data[where:where] = draw(st.sampled_from([b"-1", b"256", b"1e999", b"NaN", b"9" * 5000,
                                                      b"\xff\xff\xff\xff", b"\x00", b"\\u0000", b"\x1b[2J"]))
    return bytes(data)


def nested(depth_and_kind):
    depth, kind = depth_and_kind
    return {"list": b"[" * depth, "object": b'{"a":' * depth, "mixed": b'[{"a":' * depth}[kind]


FILES = st.one_of(
    mutated(), mutated(), mutated(),
    st.binary(max_size=3000),
    st.tuples(st.integers(1, 200_000), st.sampled_from(["list", "object", "mixed"])).map(nested),
    st.text(max_size=500).map(lambda t: t.encode("utf-8", "surrogatepass")),
)


def check(palette) -> str | None:
    if not isinstance(palette, list) or not 0 < len(palette) <= MAX_COLOURS:
        return f"returned {type(palette).__name__} of {len(palette) if isinstance(palette, list) else '?'}"
    for entry in palette:
        name, rgb = entry
        if not (isinstance(name, str) and name and name.isprintable()):
            return f"name {name!r}"
        if not (type(rgb) is tuple and len(rgb) == 3 and all(type(c) is int and 0 <= c <= 255 for c in rgb)):
            return f"colour {rgb!r}"
    names = [name for name, _ in palette]
    if len(set(names)) != len(names):
        return "names repeat"
    return None


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seeds", default="0")
    parser.add_argument("--examples", type=int, default=2000, help="files per seed")
    args = parser.parse_args()
    faulthandler.enable()
    endings, failures = collections.Counter(), []
    start = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="huebit-palettes-") as folder:
        path = os.path.join(folder, "palette")

        def read(data: bytes) -> None:
            with open(path, "wb") as file:
                file.write(data)
            faulthandler.dump_traceback_later(HANG_SECONDS, exit=True)
            try:
                problem = check(read_palette(path))
                endings["palette"] += 1
            except PaletteError:
                endings["PaletteError"] += 1
                problem = None
            except Exception as exc:  # noqa: BLE001 - any other exception is the failure we look for
                endings[type(exc).__name__] += 1
                problem = f"{type(exc).__name__}: {exc}"
            finally:
                faulthandler.cancel_dump_traceback_later()
            if problem:
                failures.append(f"{problem} for {data[:120]!r}")

        for number in (int(s) for s in args.seeds.split(",")):
            run = given(FILES)(read)
            run = settings(max_examples=args.examples, database=None, deadline=None,
                           phases=[Phase.generate], suppress_health_check=list(HealthCheck))(run)
            seed(number)(run)()
    for failure in failures[:20]:
        print("FAILED", failure, file=sys.stderr)
    calls = sum(endings.values())
    print(f"{calls} palette files over seeds {args.seeds} in {time.monotonic() - start:.0f} s: "
          f"{len(failures)} failures; endings: " + ", ".join(f"{k} {v}" for k, v in endings.most_common()))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
