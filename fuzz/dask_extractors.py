"""analyse_photos with hostile extractors: every call must end, each photo
back once, the hostile ones as their failure.

    python fuzz/dask_extractors.py [--seed 0] [--calls 60] [--limit 60]

One local cluster of two worker processes serves every call. A call mixes
good paths with ones whose extraction returns what cannot be pickled (a
lock, a deep nesting), raises an exception holding a lock, one that cannot
be rebuilt, RecursionError, KeyboardInterrupt or SystemExit, or kills its
worker (os._exit, a segfault, abort). A call that does not end within
--limit seconds, a path missing or doubled, or a good path's result wrong
is a failure; a call ended by ClusterLost (the cluster had no worker left)
is counted apart. Prints the counts and the longest call; exits 0 when
nothing failed.
"""

import argparse
import ctypes
import os
import random
import sys
import threading
import time


class Locked:
    def __init__(self):
        self.lock = threading.Lock()


class LockedError(Exception):
    def __init__(self):
        super().__init__("holds a lock")
        self.lock = threading.Lock()


class TwoArguments(Exception):
    def __init__(self, a, b):
        super().__init__(f"{a} {b}")


def _raise(error):
    raise error


def _deep(depth):
    nested = []
    for _ in range(depth):
        nested = [nested]
    return nested


def _recurse(n=0):
    return _recurse(n + 1)


HOSTILE = {
    "lock result": lambda: Locked(),
    "lock exception": lambda: _raise(LockedError()),
    "unbuildable exception": lambda: _raise(TwoArguments(1, 2)),
    "recursion": _recurse,
    "deep result": lambda: _deep(200_000),
    "KeyboardInterrupt": lambda: _raise(KeyboardInterrupt()),
    "SystemExit": lambda: sys.exit(3),
    "os._exit": lambda: os._exit(3),
    "segfault": lambda: ctypes.string_at(0),
    "abort": os.abort,
}
DEATHS = {"os._exit", "segfault", "abort"}


class Extractor:
    """Good paths give [path]; 'hostile:KIND:n' does KIND."""

    def extract_colors(self, path):
        if path.startswith("hostile:"):
            return HOSTILE[path.split(":")[1]]()
        return [path]


def call(client, rng, limit):
    from velmora_huebit.distributed import analyse_photos

    kinds = rng.sample(sorted(HOSTILE), rng.randint(1, 3))
    # a death costs Dask a few worker restarts: one per call keeps the run short
    deaths = [kind for kind in kinds if kind in DEATHS][:1]
    kinds = [kind for kind in kinds if kind not in DEATHS] + deaths
    paths = [f"good{i}" for i in range(rng.randint(1, 8))]
    for n, kind in enumerate(kinds):
        paths.insert(rng.randrange(len(paths) + 1), f"hostile:{kind}:{n}")
    per_thread = rng.randint(1, 4)
    got, errors = [], []

    def run():
        try:
            got.extend(analyse_photos(paths, Extractor(), client, return_exceptions=True,
                                      tasks_per_thread=per_thread))
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    started = time.monotonic()
    worker = threading.Thread(target=run, daemon=True)
    worker.start()
    worker.join(limit)
    took = time.monotonic() - started
    problem = None
    if worker.is_alive():
        problem = f"did not end within {limit} s"
    elif errors:
        problem = f"raised {type(errors[0]).__name__}: {errors[0]}"
    elif sorted(path for path, _ in got) != sorted(paths):
        problem = "paths missing or doubled"
    else:
        for path, result in got:
            if path.startswith("good") and result != [path]:
                problem = f"{path}: {result!r}"
            if path.startswith("hostile") and not isinstance(result, BaseException):
                problem = f"{path} gave {type(result).__name__}, not its failure"
            if isinstance(result, BaseException) and not isinstance(result, Exception):
                problem = f"{path}: a {type(result).__name__} came back as the result"
    return kinds, took, problem


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--calls", type=int, default=60)
    parser.add_argument("--limit", type=float, default=60)
    options = parser.parse_args()
    from distributed import Client

    from velmora_huebit.runs.dask_runner import local_cluster

    rng = random.Random(options.seed)
    longest, failures, lost, number = (0.0, None), 0, 0, 0
    while number < options.calls:
        # a nanny whose worker dies again as it restarts gives up (Dask): a new cluster then
        with local_cluster(2) as cluster, Client(cluster) as client:
            while number < options.calls:
                kinds, took, problem = call(client, rng, options.limit)
                number += 1
                longest = max(longest, (took, kinds), key=lambda pair: pair[0])
                if problem and "ClusterLost" in problem:
                    lost += 1
                    print(f"call {number} {kinds}: ended in {took:.1f} s, {problem}", flush=True)
                elif problem:
                    failures += 1
                    print(f"call {number} {kinds}: {problem}", flush=True)
                try:
                    client.wait_for_workers(2, timeout=options.limit)
                except Exception:  # noqa: BLE001 - counted above, when a call met it
                    break
    print(f"{number} calls, {failures} failed, {lost} ended by a cluster left without workers; "
          f"the longest took {longest[0]:.1f} s ({', '.join(longest[1])})")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
