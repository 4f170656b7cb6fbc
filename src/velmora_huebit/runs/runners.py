"""How the photos of a run are spread: all in this process, or over a pool
of worker processes. A runner takes the extractor, the job and the tasks
(photo path, chart path or None) and yields (index, Outcome) in task order,
calling on_done once per finished photo (for the progress bar)."""

from __future__ import annotations

import collections
import os
from typing import Callable, Iterable, Iterator, Protocol, Sequence

from velmora_huebit.analysis.job import Job, Outcome
from velmora_huebit.photos.limits import limit_memory
from velmora_huebit.runs.work import quiet_opencv, run_one

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


class SerialRunner:
    """Every photo in this process, one after the other. The palette engine
    runs on one thread by itself; the module's k-means is held to one."""

    def __init__(self, limit_threads: bool = True):
        self.limit_threads = limit_threads

    def run(self, extractor, job, tasks, on_done):
        import contextlib

        with _single_threaded_kmeans() if self.limit_threads else contextlib.nullcontext():
            for index, (path, chart) in enumerate(tasks):
                outcome = run_one(extractor, job, path, chart)
                on_done()
                yield index, outcome


def _init_worker(threads: int) -> None:
    import signal

    # Ctrl-C reaches the whole process group: the parent stops the workers
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    quiet_opencv()
    # several workers each running a full-width thread pool only fight over the cores
    import cv2

    cv2.setNumThreads(threads)
    return _single_threaded_kmeans()


def _serve(connection, extractor, job: Job, threads: int) -> None:
    """A worker process: photos in, outcomes out, until told to stop."""
    limits = _init_worker(threads)  # held: the limits last while the worker lives
    limit_memory(job.max_pixels, job.max_side)  # once its libraries are loaded
    while True:
        try:
            task = connection.recv()
        except EOFError:  # the parent is gone
            return
        if task is None:
            return
        index, path, chart = task
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


class _Worker:
    def __init__(self, context, extractor, job, threads):
        self.connection, theirs = context.Pipe()
        self.process = context.Process(target=_serve, args=(theirs, extractor, job, threads), daemon=True)
        self.process.start()
        theirs.close()
        self.index = None  # the task it holds

    def give(self, index: int, task: Task) -> None:
        self.connection.send((index, *task))
        self.index = index

    def stop(self) -> None:
        """An idle worker is asked to end; a busy one (the run was
        interrupted) is ended at once."""
        if self.index is None:
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
    """The photos spread over worker processes, one photo per worker at a
    time, so that a worker that dies (a crash, killed for lack of memory)
    costs only the photo it held: that one is reported, a fresh worker takes
    its place and the rest of the run goes on. Creating the runner starts
    the fork server, so make it before importing the heavy libraries here."""

    def __init__(self, workers: int, preload: list[str]):
        self.workers = workers
        self.context = _forkserver(preload)

    def run(self, extractor, job, tasks, on_done):
        """Outcomes in the order of the tasks, as soon as each one and all
        before it are done."""
        from multiprocessing.connection import wait

        threads = max(1, cores() // self.workers)
        waiting = collections.deque(enumerate(tasks))
        workers: list[_Worker] = []
        ready: dict[int, Outcome] = {}
        next_index = 0
        try:
            while next_index < len(tasks):
                while waiting and len(workers) < self.workers:
                    workers.append(_Worker(self.context, extractor, job, threads))
                for worker in list(workers):
                    if worker.index is None and waiting:
                        index, task = waiting.popleft()
                        try:
                            worker.give(index, task)
                        except OSError:  # it died between two photos: the photo goes to another
                            waiting.appendleft((index, task))
                            workers.remove(worker)
                            worker.stop()
                busy = [worker for worker in workers if worker.index is not None]
                signalled = wait([w.connection for w in busy] + [w.process.sentinel for w in busy])
                for worker in busy:
                    if worker.connection not in signalled and worker.process.sentinel not in signalled:
                        continue
                    try:
                        index, outcome = worker.connection.recv()
                    except (EOFError, OSError):
                        worker.process.join()
                        index, outcome = worker.index, Outcome(error=_death(worker.process.exitcode))
                        workers.remove(worker)
                        worker.stop()
                    worker.index = None
                    ready[index] = outcome
                    on_done()
                while next_index in ready:
                    yield next_index, ready.pop(next_index)
                    next_index += 1
        finally:
            for worker in workers:
                worker.stop()


def choose_runner(jobs: int | None, photos: int, job: Job, charts: bool = False, buckets: bool = False) -> Runner:
    """A single photo is analysed here, and so are all with --jobs 1 when
    nothing can crash this process (the palette engine, but for match
    --pixels). Otherwise they go to worker processes, even with --jobs 1,
    so that a photo that kills its process costs only itself."""
    from velmora_huebit.analysis.engines import in_process_safe, preload

    safe = in_process_safe(job)
    workers = min(jobs or cores(), photos)
    if photos <= 1 or (workers == 1 and safe):
        return SerialRunner(limit_threads=not safe)
    return PoolRunner(workers, preload(job, charts, buckets))
