"""How the photos of a run are spread: all in this process, or over a pool
of worker processes. A runner takes the extractor, the job and the tasks
(photo path, chart path or None) and yields (index, Outcome) in task order,
calling on_done once per finished photo (for the progress bar)."""

from __future__ import annotations

import collections
import gc
import os
import sys
import time
from typing import Callable, Iterable, Iterator, Protocol, Sequence

from velmora_huebit.analysis.job import Job, Outcome
from velmora_huebit.analysis.engines import in_process_safe
from velmora_huebit.photos.limits import keep_heap, limit_memory
from velmora_huebit.photos.storage import is_url
from velmora_huebit.runs.work import fetch_ahead, quiet_opencv, run_one

Task = tuple[str, str | None]  # photo, chart file or None


def numbered(tasks: Iterable[Task]) -> tuple[Iterable[Task], Callable[[int], Task]]:
    """(the tasks to hand a runner, the task of an outcome's index): a list
    is its own memory (the process pool looks ahead in it); a lazy listing's
    tasks are remembered from when the runner takes them until their
    outcome comes back."""
    if isinstance(tasks, list):
        return tasks, tasks.__getitem__
    pending: dict[int, Task] = {}

    def listed() -> Iterator[Task]:
        for index, task in enumerate(tasks):
            pending[index] = task
            yield task

    return listed(), pending.pop


def cores() -> int:
    """The cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


# looks at what runs now, a few milliseconds apart: the least of them
_LOOKS, _LOOK_SECONDS = 4, 0.002


def _others_running() -> float:
    """How many other tasks are runnable now: the kernel's count in
    /proc/loadavg (which includes this process), the least of a few looks
    so that a passing burst does not count. The load average of the last
    minute, where there is no such file, lags by a minute: it still counts
    a run that has just ended."""
    try:
        seen = []
        for look in range(_LOOKS):
            if look:
                time.sleep(_LOOK_SECONDS)
            with open("/proc/loadavg") as status:
                seen.append(int(status.read().split()[3].split("/")[0]) - 1)
        return max(0, min(seen))
    except (OSError, ValueError, IndexError):
        try:
            return os.getloadavg()[0]
        except OSError:
            return 0.0


def idle_cores() -> int:
    """The cores that other work leaves free (at least one): a worker on a
    busy core only takes turns with what runs there, and costs its start."""
    return max(1, min(cores(), round(cores() - _others_running()) + 1))


class Runner(Protocol):
    def run(self, extractor, job: Job, tasks: Sequence[Task],
            on_done: Callable[[], None]) -> Iterator[tuple[int, Outcome]]: ...


def _single_threaded_kmeans():
    """scikit-learn's k-means sums its partial results per OpenMP thread, so
    the thread count can move a centre by a fraction and, cast to 8 bits, a
    colour by one step. One thread per photo makes the results the same for
    every --jobs and every machine; the cores are used by the processes. BLAS
    gets one thread too: more only fight over the cores with the other
    workers (and the photos' own work is too small to share)."""
    from threadpoolctl import threadpool_limits

    return threadpool_limits(1)  # OpenMP and BLAS


# photos in a bucket read ahead of their turn, per process: the latency of
# one object hides behind the work on others (each worker holds this many)
BUCKET_AHEAD = 4


def _ahead(job: Job, tasks: Iterable[Task], depth: int) -> Iterator[tuple[int, Task]]:
    """The tasks numbered, each photo in a bucket fetched while the `depth`
    before it are analysed."""
    window: collections.deque[tuple[int, Task]] = collections.deque()
    for numbered_task in enumerate(tasks):
        if depth:
            fetch_ahead(job, numbered_task[1][0])
        window.append(numbered_task)
        if len(window) > depth:
            yield window.popleft()
    yield from window


class SerialRunner:
    """Every photo in this process, one after the other. The palette engine
    runs on one thread by itself; the module's k-means is held to one."""

    def __init__(self, limit_threads: bool = True, ahead: int = 0):
        self.limit_threads = limit_threads
        self.ahead = ahead

    def run(self, extractor, job, tasks, on_done):
        import contextlib

        with _single_threaded_kmeans() if self.limit_threads else contextlib.nullcontext():
            for index, (path, chart) in _ahead(job, tasks, self.ahead):
                outcome = run_one(extractor, job, path, chart)
                on_done()
                yield index, outcome


def _forkable() -> bool:
    """Whether workers can be forked from this process: no thread but the
    main one and fsspec's, so that a fork copies a consistent state (no lock
    held by a thread the child lacks). Linux only: elsewhere system
    libraries make fork unsafe."""
    if not sys.platform.startswith("linux"):
        return False
    import threading

    others = [t for t in threading.enumerate() if t is not threading.main_thread()]
    # fsspec's loop (a bucket listed) is left to the fork server: older fsspec
    # releases do not start a new loop in a forked child, which then waits forever
    if others:
        return False
    try:  # and no thread outside Python's sight (a BLAS pool)
        return len(os.listdir("/proc/self/task")) == 1 + len(others)
    except OSError:
        return False


def _init_worker(threads: int) -> None:
    import signal

    # Ctrl-C reaches the whole process group: the parent stops the workers
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    quiet_opencv()
    # several workers each running a full-width thread pool only fight over the cores
    import cv2

    cv2.setNumThreads(threads)


def _serve(connection, extractor, job: Job, threads: int, inherited=()) -> None:
    """A worker process: photos in, outcomes out, until told to stop."""
    for other in inherited:  # a forked worker's copies of its siblings' pipe ends
        other.close()
    gc.freeze()  # what the parent built is never scanned here (nor copied by the scan)
    _init_worker(threads)
    limit_memory(job.max_pixels, job.max_side)  # once its libraries are loaded
    keep_heap()  # a forked worker has its parent's setting; one from the fork server sets its own
    # held while the worker lives; the palette engine runs on one thread by itself
    limits = None if in_process_safe(job) else _single_threaded_kmeans()
    held: collections.deque = collections.deque()
    while True:
        while not held or connection.poll():  # every photo sent so far: those in buckets start coming
            try:
                task = connection.recv()
            except EOFError:  # the parent is gone
                return
            if task is None:
                return
            fetch_ahead(job, task[1])
            held.append(task)
        index, path, chart = held.popleft()
        connection.send((index, run_one(extractor, job, path, chart)))


def _death(exitcode: int | None) -> str:
    """Why a worker process ended, in words."""
    import signal

    if exitcode is not None and exitcode < 0:
        try:
            name = signal.Signals(-exitcode).name
        except ValueError:
            name = f"signal {-exitcode}"
        cause = {"SIGKILL": ", perhaps for lack of memory: try a smaller --max-side",
                 "SIGSEGV": " (a crash)", "SIGBUS": " (a crash)", "SIGABRT": " (a crash)"}.get(name, "")
        return f"the worker process analysing it was killed by {name}{cause}"
    return f"the worker process analysing it ended unexpectedly (exit status {exitcode})"


# photos handed to a worker at a time: the next is waiting while it sends
# one back, so it never idles on the parent; a crash still names the
# photo, the first it holds (a worker takes them in order)
_AHEAD = 2


class _Worker:
    def __init__(self, context, extractor, job, threads, siblings=()):
        self.connection, theirs = context.Pipe()
        inherited = []
        if context.get_start_method() == "fork":
            inherited = [w.connection for w in siblings]
            sys.stdout.flush()  # a fork copies unwritten output, which the child would write again
            sys.stderr.flush()
        self.process = context.Process(target=_serve, args=(theirs, extractor, job, threads, inherited),
                                       daemon=True)
        self.process.start()
        theirs.close()
        self.held: collections.deque[tuple[int, Task]] = collections.deque()  # in the order given

    def give(self, index: int, task: Task) -> None:
        self.held.append((index, task))  # held before sent: a send that fails still returns it
        self.connection.send((index, *task))

    def stop(self) -> None:
        """An idle worker is asked to end; a busy one (the run was
        interrupted) is ended at once."""
        if not self.held:
            try:
                self.connection.send(None)
                self.process.join(timeout=5)
            except OSError:
                pass
        if self.process.is_alive():
            self.process.kill()
        self.process.join()
        self.connection.close()


def _forkserver(preload: list[str]):
    """Workers fork from a server process that has done the heavy imports
    once (those the run's engine needs). Started before this process imports
    them, the two overlap.

    The server preloads the libraries, not this package: it imports with the
    working directory on its path, where a source checkout would shadow the
    installed package."""
    import multiprocessing
    from multiprocessing import forkserver

    context = multiprocessing.get_context("forkserver")
    context.set_forkserver_preload(preload)
    forkserver.ensure_running()
    return context


class PoolRunner:
    """The photos spread over worker processes, a photo or two per worker
    at a time, so that a worker that dies (a crash, killed for lack of
    memory) costs only the photo it was on: that one is reported, a fresh
    worker takes its place and the rest of the run goes on.

    Workers are forked from this process when it runs a single thread (the
    command line, Linux): they start at once with everything imported, and
    share it. Otherwise they come from a fork server, which creating the
    runner starts: make it before importing the heavy libraries here, so
    that the two import at the same time."""

    def __init__(self, workers: int, preload: list[str], ahead: int = _AHEAD):
        import multiprocessing

        self.workers = workers
        self.ahead = ahead
        self.preload = preload
        self.context = multiprocessing.get_context("fork") if _forkable() else _forkserver(preload)
        self.started: list[_Worker] = []

    def _context(self):
        """fork while this process is still single-threaded; a fork server
        once it is not (a progress bar's thread: a worker that replaces a
        dead one)."""
        if self.context.get_start_method() == "fork" and not _forkable():
            self.context = _forkserver(self.preload)
        return self.context

    def start(self, extractor, job) -> None:
        """Starts the workers now, before this process starts threads of its
        own (a progress bar's), so that they can be forked."""
        threads = max(1, cores() // self.workers)
        while len(self.started) < self.workers:
            self.started.append(_Worker(self._context(), extractor, job, threads, self.started))

    def run(self, extractor, job, tasks, on_done):
        """Outcomes in the order of the tasks, as soon as each one and all
        before it are done."""
        from multiprocessing.connection import wait

        threads = max(1, cores() // self.workers)
        # the tasks are taken as workers are free (a lazy listing stays lazy);
        # a dead worker's unfinished ones come back first
        listed = enumerate(tasks)
        upcoming = next(listed, None)  # looked at, to know whether any remain
        returned: collections.deque[tuple[int, Task]] = collections.deque()
        workers, self.started = self.started, []
        ready: dict[int, Outcome] = {}
        next_index = 0

        def take() -> tuple[int, Task]:
            nonlocal upcoming
            if returned:
                return returned.popleft()
            found, upcoming = upcoming, next(listed, None)
            return found

        try:
            while True:
                while (returned or upcoming is not None) and len(workers) < self.workers:
                    workers.append(_Worker(self._context(), extractor, job, threads, workers))
                for worker in list(workers):
                    while len(worker.held) < self.ahead and (returned or upcoming is not None):
                        try:
                            worker.give(*take())
                        except OSError:  # it died: this photo goes to another
                            returned.appendleft(worker.held.pop())
                            if not worker.held:  # between two photos: nothing to report
                                workers.remove(worker)
                                worker.stop()
                            break  # else its death is seen below
                if not any(worker.held for worker in workers):
                    if returned or upcoming is not None:
                        continue  # a worker died between two photos: another takes its place
                    break
                busy = [worker for worker in workers if worker.held]
                signalled = wait([w.connection for w in busy] + [w.process.sentinel for w in busy])
                for worker in busy:
                    if worker.connection not in signalled and worker.process.sentinel not in signalled:
                        continue
                    try:
                        index, outcome = worker.connection.recv()
                        worker.held.popleft()
                    except (EOFError, OSError):
                        worker.process.join()
                        # the photo it was on is the one that killed it; the rest go to another
                        index = worker.held.popleft()[0]
                        outcome = Outcome(error=_death(worker.process.exitcode))
                        returned.extendleft(reversed(worker.held))
                        worker.held.clear()
                        workers.remove(worker)
                        worker.stop()
                    ready[index] = outcome
                    on_done()
                while next_index in ready:
                    yield next_index, ready.pop(next_index)
                    next_index += 1
        finally:
            for worker in workers:
                worker.stop()


# what a worker costs to start (fork, first touches of the memory it
# shares), in photos' worth of work: a run with less to do stays here
_WORKER_START_SECONDS = 0.03
# A worker reading a bucket makes its own client first (some 0.2 s of CPU:
# botocore loads its models), while this process fetches photos ahead of
# their turn anyway: on two cores, 20 photos took 1.6 times as long with two
# workers as here, and the workers pay from about 50 on.
_BUCKET_LITTLE = 48


def _little_work(paths: Sequence[str], workers: int, photos: int) -> bool:
    """Whether the photos are too few and small to repay starting workers:
    a photo of the default size costs some 5 ms, plus about 20 ms a megabyte
    of file to read and decode (a rough guide, on the safe side); photos in
    a bucket, by their count."""
    if any(is_url(path) for path in paths):
        return photos <= _BUCKET_LITTLE
    if not paths or len(paths) > 16:  # 17 tell enough
        return False
    try:
        megabytes = sum(os.stat(path).st_size for path in paths) / 1e6
    except OSError:
        return False
    work = 0.005 * len(paths) + 0.02 * megabytes
    return work - work / workers < _WORKER_START_SECONDS * workers


def choose_runner(jobs: int | None, photos: int, job: Job, charts: bool = False, buckets: bool = False,
                  paths: Sequence[str] = ()) -> Runner:
    """A single photo is analysed here, and so are all with --jobs 1 when
    nothing can crash this process (the palette engine, but for match
    --pixels), and by default a run too small to repay starting workers
    (judged by the paths given: their files' sizes, or how many photos a
    bucket holds) or on a machine whose cores are all busy. Otherwise they
    go to worker processes, even with --jobs 1, so that a photo that kills
    its process costs only itself."""
    from velmora_huebit.analysis.engines import preload

    safe = in_process_safe(job)
    # too little work for two workers is too little for more: no look at the machine then (its 6 ms)
    serial = photos <= 1 or (safe and jobs is None and _little_work(paths, 2, photos))
    if not serial:
        workers = min(jobs or idle_cores(), photos)
        serial = safe and (workers == 1 or (jobs is None and _little_work(paths, workers, photos)))
    if serial:
        return SerialRunner(limit_threads=not safe, ahead=BUCKET_AHEAD if buckets else 0)
    return PoolRunner(workers, preload(job, charts, buckets), BUCKET_AHEAD if buckets else _AHEAD)


def fork_early(jobs: int | None, job: Job, extractor, charts: bool = False) -> PoolRunner | None:
    """The workers of a run whose photos are in buckets, forked now: its
    listing starts obstore's threads (or fsspec's), after which workers
    would come from a fork server (slower to start, by the imports it makes). None when the
    run would not use a pool or this process cannot fork."""
    from velmora_huebit.analysis.engines import load, preload
    from velmora_huebit.runs.work import warm

    workers = jobs or idle_cores()
    if (workers <= 1 and in_process_safe(job)) or not _forkable():
        return None
    modules = preload(job, charts, buckets=True)
    load(modules)  # what the workers need, shared with them
    warm(job)
    pool = PoolRunner(workers, modules, BUCKET_AHEAD)
    pool.start(extractor, job)
    return pool


def keep_early(early: PoolRunner | None, chosen: Runner) -> Runner:
    """The runner chosen once the photos are listed, with the workers forked
    early in its place when it is a pool (those it does not need stopped);
    otherwise the early workers are stopped."""
    if early is None:
        return chosen
    if isinstance(chosen, PoolRunner) and chosen.workers <= early.workers:
        while len(early.started) > chosen.workers:
            early.started.pop().stop()
        early.workers = chosen.workers
        return early
    stop_early(early)
    return chosen


def stop_early(early: PoolRunner | None) -> None:
    for worker in early.started if early is not None else ():
        worker.stop()
    if early is not None:
        early.started = []
