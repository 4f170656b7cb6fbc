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
    return pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]


def _waiting_for_work(pid):
    """Blocked in read() on a socket: a worker waiting for its next photo."""
    number, fd, *_ = pathlib.Path(f"/proc/{pid}/syscall").read_text().split()
    return number == "0" and os.readlink(f"/proc/{pid}/fd/{int(fd, 16)}").startswith("socket:")


def stop_at_a_busy_worker(group, timeout=60):
    """Stops the process group of a run whose workers are grandchildren of
    its leader (forked by a fork server) at a moment when one of them is
    analysing a photo, and returns that worker's pid. A worker that has just
    handed back a result holds nothing, so the group runs a moment longer
    between looks until one does. The caller sends SIGCONT to the group."""
    deadline = time.monotonic() + timeout
    while True:
        os.killpg(group, signal.SIGSTOP)
        workers = [worker for child in children(group) for worker in children(child)]
        assert workers, "the run ended before a worker could be stopped"
        while any(_state(pid) not in "Tt" for pid in workers):  # SIGSTOP lands asynchronously
            time.sleep(0.001)
        busy = [pid for pid in workers if not _waiting_for_work(pid)]
        if busy:
            return busy[0]
        if time.monotonic() > deadline:
            raise AssertionError(f"no worker was busy in {timeout} s (workers: {workers})")
        os.killpg(group, signal.SIGCONT)
        time.sleep(0.002)
