"""Hostile arguments for velmora_huebit.analyse, the Python door to a run.

    python fuzz/analyse.py [--seeds 0,1,2] [--examples 300]

Each call gets arguments of every type and value (and a folder of photos,
damaged files, folders and special names), then its results are taken. A
ValueError, TypeError or SettingError before the run, or one PhotoResult per
photo with its records or its error in words, is a fine ending; any other
exception, or a call that takes longer than a minute, is a failure. Exits 0
when nothing failed.
"""

import argparse
import faulthandler
import os
import sys
import tempfile

import cv2
import numpy as np
from hypothesis import HealthCheck, Phase, given, seed, settings
from hypothesis import strategies as st

import velmora_huebit
from velmora_huebit.errors import SettingError

HANG_SECONDS = 60
ODD = st.one_of(st.none(), st.booleans(), st.integers(-3, 300), st.floats(allow_nan=True), st.text(max_size=8),
                st.binary(max_size=8), st.lists(st.integers(-1, 300), max_size=4), st.just(object()))


def folder(root: str) -> str:
    """Two photos, a damaged one, an empty file and a nested folder."""
    rng = np.random.default_rng(0)
    cv2.imwrite(os.path.join(root, "a.png"), rng.integers(0, 256, (20, 30, 3), np.uint8))
    cv2.imwrite(os.path.join(root, "b.jpg"), rng.integers(0, 256, (40, 10, 3), np.uint8))
    with open(os.path.join(root, "b.jpg"), "rb") as good, open(os.path.join(root, "c.jpg"), "wb") as cut:
        cut.write(good.read()[:200])
    open(os.path.join(root, "d.png"), "wb").close()
    os.mkdir(os.path.join(root, "inner"))
    return root


@st.composite
def calls(draw, root):
    listed = st.one_of(st.just(root), st.lists(st.sampled_from(
        [root, os.path.join(root, "a.png"), os.path.join(root, "*.jpg"), os.path.join(root, "missing"),
         "", "/dev/null", os.path.join(root, "inner")]), max_size=3))
    photos = draw(ODD if draw(st.integers(0, 9)) == 0 else listed)
    keywords = {}
    for name, good in [("n_colors", st.integers(1, 8)), ("max_side", st.integers(0, 64)),
                       ("targets", st.dictionaries(st.text(max_size=4), st.one_of(
                           st.tuples(st.integers(0, 255), st.integers(0, 255), st.integers(0, 255)),
                           st.sampled_from(["#fff", "navy", "rgb(1,2,3)", "nope"])), max_size=3)),
                       ("pixels", st.booleans()), ("threshold", st.floats(0, 100)), ("names", st.sampled_from(
                           ["css", "xkcd", None])), ("sort", st.sampled_from(["share", "hue", "lightness"])),
                       ("recursive", st.booleans()), ("jobs", st.sampled_from([None, 1]))]:
        if draw(st.booleans()):
            keywords[name] = draw(ODD if draw(st.integers(0, 14)) == 0 else good)
    return photos, keywords


def run(seeds: list[int], examples: int) -> int:
    failures = ran = 0
    with tempfile.TemporaryDirectory() as root:
        @settings(max_examples=examples, deadline=None, database=None, phases=[Phase.generate],
                  suppress_health_check=list(HealthCheck))
        @given(calls(folder(root)))
        def check(call):
            nonlocal failures, ran
            photos, keywords = call
            faulthandler.dump_traceback_later(HANG_SECONDS, exit=True)
            try:
                results = list(velmora_huebit.analyse(photos, **keywords))
            except (TypeError, ValueError, SettingError):
                return
            except Exception as exc:
                failures += 1
                print(f"FAILED: analyse({photos!r}, **{keywords!r}): {type(exc).__name__}: {exc}")
                return
            finally:
                faulthandler.cancel_dump_traceback_later()
            ran += 1
            for result in results:
                if (result.records is None) == (result.error is None) and result.error is None:
                    failures += 1
                    print(f"FAILED: {result!r} has neither records nor an error")

        for number in seeds:
            seed(number)(check)()
    print(f"{ran} calls ran to their results")
    return failures


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", default="0,1,2")
    parser.add_argument("--examples", type=int, default=300)
    args = parser.parse_args()
    failures = run([int(s) for s in args.seeds.split(",")], args.examples)
    print(f"{failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
