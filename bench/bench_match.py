"""match against extract, then match with the module's measures.

First the command line's match (ΔE2000, the default) against its extract
on the same photos, interleaved: one photo, the sample photos, and the
large photos of large_photos.py when they were made. Then match on the
palette engine's colours (--threshold): the module's similarity analysis
on the engine's records (a ColorExtractor subclass, the path the command
line took before) against velmora_huebit.analysis.match, interleaved.

One photo as the command line prepares it (256 pixels), 1 and 4 targets:
the whole analysis (palette engine plus similarity), and the similarity
step alone on the same records. Then the command line on that photo and on
the six sample photos, 4 targets, with the old path put back (the subclass,
and match in worker processes). Best of each kept. Exits 1 when records or
outputs differ.
"""

import argparse
import os
import pathlib
import subprocess
import sys
import time

from velmora_huebit.analysis.match import PaletteMatcher, similarity
from velmora_huebit.analysis.palette import dominant_colors
from velmora_huebit.analysis.job import Job
from velmora_huebit.runs.work import load_inputs
from velmora_huebit.color_extractor_cy import ColorExtractor

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from bench_matching import interleaved  # noqa: E402

TARGETS = {"cream": (240, 207, 175), "espresso": (51, 22, 18), "leaf green": (46, 139, 87), "navy": (0, 0, 128)}


class ModuleMatcher(ColorExtractor):
    """The module's analysis on the palette engine's records."""

    def __init__(self, n_colors=5, records=None):
        super().__init__(n_colors, "kmeans", False, True)
        self.k, self.records = n_colors, records

    def extract_colors(self, image, mask=None):
        return self.records if self.records is not None else dominant_colors(image, mask, self.k)


def old_command_line(argv):
    """velmora-huebit as it was: match through ModuleMatcher, in workers."""
    from velmora_huebit.analysis import engines as engine
    from velmora_huebit.cli import entry, main as command

    def make_extractor(job, settings, new=engine.make_extractor):
        if job.command == "match" and job.engine == engine.PALETTE:
            return ModuleMatcher(settings["n_colors"])
        return new(job, settings)

    entry.make_extractor = make_extractor
    engine.in_process_safe = lambda job: job.engine == engine.PALETTE and job.command == "extract"
    return command(argv)


def command_lines(repeat):
    photos = sorted((HERE.parent / "tests" / "data").glob("*.png")) + sorted((HERE / "photos").glob("*.[jp][pn]g"))
    targets = [a for name, rgb in TARGETS.items() for a in ("-t", f"{name}=%d,%d,%d" % rgb)]
    # the workers unpickle ModuleMatcher from this file
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(HERE), os.environ.get("PYTHONPATH", "")]))
    status = 0
    for label, chosen in (("1 photo", [HERE / "photos" / "astronaut.png"]), (f"{len(photos)} photos", photos)):
        best, outputs = {}, {}
        for _ in range(repeat):
            for name, start in (("old", [__file__, "--old-command-line"]), ("new", ["-m", "velmora_huebit"])):
                began = time.perf_counter()
                run = subprocess.run([sys.executable, *start, "match", *map(str, chosen), *targets, "--json",
                                      "--threshold", "50"],
                                     capture_output=True, text=True, env=env, timeout=600)
                best[name] = min(best.get(name, float("inf")), time.perf_counter() - began)
                outputs[name] = (run.returncode, run.stdout, run.stderr)
        same = outputs["old"] == outputs["new"] and outputs["new"][0] == 0
        print(f"velmora-huebit match, {label}, 4 targets: {best['old']:.2f} s -> {best['new']:.2f} s "
              f"({best['old'] / best['new']:.1f}x); output {'identical' if same else 'DIFFERS'}", flush=True)
        status |= not same
    return status


def against_extract(repeat):
    """The command line's match in ΔE2000 (4 targets) against its extract,
    interleaved, each in a fresh process: median and best wall time."""
    import statistics

    photos = sorted((HERE.parent / "tests" / "data").glob("*.png")) + sorted((HERE / "photos").glob("*.[jp][pn]g"))
    large = sorted((HERE / ".large").glob("*.jpg"))
    targets = [a for name, rgb in TARGETS.items() for a in ("-t", f"{name}=%d,%d,%d" % rgb)]
    sets = [("1 photo", [HERE / "photos" / "astronaut.png"]), (f"{len(photos)} photos", photos)]
    if large:
        sets += [("1 large photo", large[:1]), (f"{len(large)} large photos", large)]
    for label, chosen in sets:
        times: dict = {"extract": [], "match": []}
        for _ in range(repeat):
            for name, extra in (("extract", []), ("match", targets)):
                began = time.perf_counter()
                run = subprocess.run([sys.executable, "-m", "velmora_huebit", name, *map(str, chosen), *extra,
                                      "--json"], capture_output=True, text=True, timeout=600)
                times[name].append(time.perf_counter() - began)
                if run.returncode:
                    print(run.stderr)
                    return 1
        median = {name: statistics.median(found) for name, found in times.items()}
        print(f"{label}: extract {median['extract']:.3f} s, match (ΔE2000, 4 targets) {median['match']:.3f} s "
              f"median of {repeat}: match/extract {median['match'] / median['extract']:.2f}x "
              f"(best {min(times['match']) / min(times['extract']):.2f}x)", flush=True)
    return 0


def typed(result):
    return [(name, [(k, type(v), repr(v)) for k, v in record.items()]) for name, record in result.items()]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=300, help="interleaved rounds (default 300)")
    parser.add_argument("--photo", default=str(HERE / "photos" / "astronaut.png"))
    parser.add_argument("--old-command-line", nargs=argparse.REMAINDER, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.old_command_line is not None:
        return old_command_line(args.old_command_line)
    status = against_extract(args.repeat // 30 or 1)
    image, mask, *_ = load_inputs(args.photo, Job("match", max_side=256, threshold=50))
    records = dominant_colors(image, mask, 5)
    old, new, given = ModuleMatcher(), PaletteMatcher(5), ModuleMatcher(records=records)
    for count in (1, 4):
        targets = dict(list(TARGETS.items())[:count])
        best, results = interleaved({
            "old": lambda: old.analyze_color_similarity(image, targets, mask, 50.0),
            "new": lambda: new.analyze_color_similarity(image, targets, mask, 50.0),
            "old step": lambda: given.analyze_color_similarity(image, targets, mask, 50.0),
            "new step": lambda: similarity(records, targets, 50.0),
        }, args.repeat)
        identical = typed(results["old"]) == typed(results["new"]) == typed(results["new step"])
        print(f"{pathlib.Path(args.photo).name} at {image.shape[1]}x{image.shape[0]}, {count} target(s): "
              f"whole analysis {best['old'] * 1e3:.3f} ms -> {best['new'] * 1e3:.3f} ms "
              f"({best['old'] / best['new']:.1f}x); similarity step alone {best['old step'] * 1e6:.0f} us -> "
              f"{best['new step'] * 1e6:.0f} us ({best['old step'] / best['new step']:.1f}x); "
              f"records {'identical' if identical else 'DIFFER'}", flush=True)
        status |= not identical
    status |= command_lines(3)
    return int(status)


if __name__ == "__main__":
    sys.exit(main())
