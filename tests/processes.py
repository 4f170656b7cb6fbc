"""The child processes of a process, from /proc (for tests that kill workers)."""

import os
import pathlib
import signal
import time


def children(pid):
    for entry in pathlib.Path("/proc").iterdir():
        try:
            stat = (entry / "stat").read_text()
        except OSError:
            continue
        if entry.name.isdigit() and int(stat.rsplit(")", 1)[1].split()[1]) == pid:
            yield int(entry.name)


def _state(pid):
    try:
        return pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except OSError:
        return "X"


def _polling(pid):
    """How many descriptors a sleeping process waits on in poll() (resumed
    after a stop as restart_syscall, with the same arguments), or None."""
    number, _, descriptors, *_ = pathlib.Path(f"/proc/{pid}/syscall").read_text().split() + ["", ""]
    return int(descriptors, 16) if number in ("7", "219") else None


def stop_with_every_worker_busy(leader, count, timeout=60):
    """Stops a run whose `count` worker processes (children of `leader`, or
    grandchildren forked by a fork server) each hold a photo, and returns their pids; the caller
    sends SIGCONT to the process group (the run's own session).

    With the workers stopped, the leader alone is let go on until it sleeps
    in poll(): it has then taken every result they sent and handed each idle
    one a photo, and poll()'s count of descriptors, two per busy worker, says
    whether all hold one. Otherwise the run goes on a moment and is looked at
    again. Nothing here depends on timing."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        os.killpg(leader, signal.SIGSTOP)
        # forked by the leader itself, or by a fork server (none yet, at first)
        workers = [worker for child in children(leader) for worker in children(child)] or list(children(leader))
        while any(_state(pid) not in "TtZX" for pid in workers + [leader]):  # a stop lands asynchronously
            time.sleep(0.001)
        os.kill(leader, signal.SIGCONT)
        while _state(leader) not in "SZX" and time.monotonic() < deadline:  # until it waits for a worker
            time.sleep(0.001)
        assert _state(leader) not in "ZX", "the run ended before its workers could be stopped busy"
        if len(workers) == count and all(_state(pid) in "Tt" for pid in workers) and _polling(leader) == 2 * count:
            return workers
        os.killpg(leader, signal.SIGCONT)
        time.sleep(0.005)
    raise AssertionError(f"no moment with every worker busy in {timeout} s")
