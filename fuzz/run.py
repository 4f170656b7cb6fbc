"""Makes the hostile calls of hostile.py and reports how they ended.

    python fuzz/run.py [--seeds 0,1,2] [--examples 300] [--targets extract_colors,...]
                       [--growth 10000]

Each seed runs in a child process with faulthandler on. The child writes the
description of every call to a file before making it, so a call that kills
the process is named, and the run goes on in a new child with the targets
that are left. Any exception is a fine outcome; a dead or hung process, a
SystemError or a result of the wrong type is a failure.

--growth N then repeats a fixed sample of each target's calls until N calls
were made: the objects the garbage collector tracks, the interpreter's
allocated memory blocks and the reference counts of the arguments must not
grow.

Exits 0 when nothing failed.
"""

import argparse
import collections
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
HANG_SECONDS = 120
# What the sample of calls of one target may add over a growth run; a call
# that leaks one object leaks it a few hundred times.
GROWTH_SAMPLE = 25
MAX_OBJECT_GROWTH = 50
MAX_BLOCK_GROWTH = 500


# ---- the child ------------------------------------------------------------------

def child(args):
    import faulthandler
    import gc
    import resource
    import warnings

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from hypothesis import HealthCheck, Phase, given, seed, settings
    from hypothesis import strategies as st

    import hostile

    faulthandler.enable()
    warnings.simplefilter("ignore")
    if "asan" not in os.environ.get("LD_PRELOAD", ""):
        # a call that asks for too much memory fails instead of taking the machine
        resource.setrlimit(resource.RLIMIT_AS, (8 << 30, 8 << 30))
    os.chdir(args.workdir)
    hostile.write_files()
    current = os.open(args.current, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)

    def emit(**event):
        print(json.dumps(event), flush=True)

    def make(target, call):
        text = f"{target}: {call.desc}".encode("utf-8", "backslashreplace")
        os.ftruncate(current, 0)
        os.pwrite(current, text, 0)
        faulthandler.dump_traceback_later(HANG_SECONDS, exit=True)
        try:
            result = call.fn()
            outcome = None if isinstance(result, call.returns) else (
                f"returned {type(result).__name__}, not {call.returns}")
            name = "result"
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as exc:  # noqa: B036 - every exception is a fine ending
            name = type(exc).__name__
            outcome = f"SystemError: {exc}" if isinstance(exc, SystemError) else None
        finally:
            faulthandler.cancel_dump_traceback_later()
            if target == "visualize_colors":
                plt.close("all")
        if outcome:
            emit(failure=f"{target}: {call.desc}: {outcome}")
        return name

    def fuzz(target):
        endings = collections.Counter()

        @seed(args.seed)
        @settings(max_examples=args.examples, database=None, deadline=None,
                  phases=[Phase.generate], suppress_health_check=list(HealthCheck))
        @given(st.data())
        def run(data):
            endings[make(target, data.draw(hostile.CALLS[target]))] += 1

        run()
        emit(target=target, calls=sum(endings.values()), endings=endings)

    def growth(target):
        sample = []

        @seed(args.seed)
        @settings(max_examples=GROWTH_SAMPLE, database=None, deadline=None,
                  phases=[Phase.generate], suppress_health_check=list(HealthCheck))
        @given(st.data())
        def collect(data):
            sample.append(data.draw(hostile.CALLS[target]))

        collect()
        for call in sample * 2:  # the libraries fill their caches on first use
            make(target, call)
        gc.collect()
        before = (len(gc.get_objects()), sys.getallocatedblocks(),
                  [sys.getrefcount(a) for call in sample for a in call.watched])
        calls = 2 * len(sample)
        while calls < args.growth:
            make(target, sample[calls % len(sample)])
            calls += 1
        gc.collect()
        objects = len(gc.get_objects()) - before[0]
        blocks = sys.getallocatedblocks() - before[1]
        refs = [sys.getrefcount(a) for call in sample for a in call.watched]
        grown = sum(after != was for after, was in zip(refs, before[2]))
        emit(target=target, growth_calls=calls, objects=objects, blocks=blocks, refcounts=grown)
        if objects > MAX_OBJECT_GROWTH or blocks > MAX_BLOCK_GROWTH or grown:
            emit(failure=f"{target}: grew over {calls} calls: {objects} objects, {blocks} blocks, "
                         f"{grown} reference counts")

    for target in args.targets:
        (growth if args.growth else fuzz)(target)


# ---- the parent -----------------------------------------------------------------

def run_seed(args, seed, targets, growth, report):
    """Runs the targets in children until all are done; returns the deaths."""
    deaths = []
    with tempfile.TemporaryDirectory(prefix="huebit-fuzz-") as workdir:
        current = os.path.join(workdir, "current-call")
        while targets:
            command = [sys.executable, "-X", "faulthandler", __file__, "--child",
                       "--seed", str(seed), "--examples", str(args.examples),
                       "--growth", str(growth), "--targets", ",".join(targets),
                       "--workdir", workdir, "--current", current]
            env = dict(os.environ, OPENCV_LOG_LEVEL="ERROR", PYTHONPATH=os.pathsep.join(
                [str(HERE)] + [p for p in [os.environ.get("PYTHONPATH")] if p]))
            errors = os.path.join(workdir, "stderr")
            with open(errors, "w+") as stderr_file:
                proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=stderr_file,
                                        env=env, text=True)
                done = []
                for line in proc.stdout:
                    event = json.loads(line)
                    report(seed, event)
                    if "target" in event:
                        done.append(event["target"])
                stderr_file.seek(0)
                stderr = stderr_file.read()
            if proc.wait() == 0:
                break
            left = [t for t in targets if t not in done]
            with open(current, encoding="utf-8", errors="replace") as f:
                call = f.read()
            trace = [line for line in stderr.strip().splitlines()
                     if not line.startswith("Extension modules:")]
            deaths.append(f"seed {seed}: process ended with {proc.returncode} in\n  {call}\n"
                          + "\n".join(trace[-25:]))
            targets = left[1:]  # go on after the call that killed it
    return deaths


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seeds", default="0")
    parser.add_argument("--examples", type=int, default=200, help="calls per target and seed")
    parser.add_argument("--targets", default="")
    parser.add_argument("--growth", type=int, default=0, help="calls per target, 0: none")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--seed", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--workdir", help=argparse.SUPPRESS)
    parser.add_argument("--current", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        args.targets = args.targets.split(",")
        return child(args)

    sys.path.insert(0, str(HERE))
    import hostile

    targets = args.targets.split(",") if args.targets else list(hostile.CALLS)
    seeds = [int(s) for s in args.seeds.split(",")]
    calls, endings, failures = 0, collections.Counter(), []

    def report(seed, event):
        nonlocal calls
        if "failure" in event:
            failures.append(f"seed {seed}: {event['failure']}")
        elif "growth_calls" in event:
            print(f"growth {event['target']:<26} {event['growth_calls']:>6} calls: "
                  f"{event['objects']:+d} objects, {event['blocks']:+d} blocks, "
                  f"{event['refcounts']} reference counts changed", flush=True)
        else:
            calls += event["calls"]
            endings.update(event["endings"])
            top = ", ".join(f"{k} {v}" for k, v in collections.Counter(event["endings"])
                            .most_common(4))
            print(f"seed {seed} {event['target']:<26} {event['calls']:>5} calls ({top})",
                  flush=True)

    start = time.monotonic()
    deaths = []
    for seed in seeds:
        deaths += run_seed(args, seed, targets, 0, report)
    if args.growth:
        deaths += run_seed(args, seeds[0], targets, args.growth, report)
    for problem in deaths + failures:
        print("FAILED", problem, file=sys.stderr)
    print(f"{calls} calls over seeds {args.seeds} in {time.monotonic() - start:.0f} s: "
          f"{len(deaths)} process deaths, {len(failures)} failures; endings: "
          + ", ".join(f"{k} {v}" for k, v in endings.most_common()))
    return 1 if deaths or failures else 0


if __name__ == "__main__":
    sys.exit(main())
