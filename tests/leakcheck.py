"""A native entry point's reference leaks, on success and error paths alike."""

import gc
import sys


def assert_no_leaks(calls, watched=(), errors=(TypeError, ValueError), rounds=300):
    """Makes every call (a failure among errors is one of its outcomes)
    rounds times over: the objects the garbage collector tracks grow by
    less than 20, and each watched object's reference count stays."""
    def run_all():
        for call in calls:
            try:
                call()
            except errors:
                pass

    run_all()
    gc.collect()
    before = len(gc.get_objects()), [sys.getrefcount(obj) for obj in watched]
    for _ in range(rounds):
        run_all()
    gc.collect()
    after = len(gc.get_objects()), [sys.getrefcount(obj) for obj in watched]
    assert after[0] - before[0] < 20 and after[1] == before[1]
