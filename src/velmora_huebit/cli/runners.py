"""How the photos of a run are spread: all in this process, or over a pool
of worker processes. A runner takes the extractor, the job and the tasks
(photo path, chart path or None) and yields (index, Outcome) in task order,
calling on_done once per finished photo (for the progress bar)."""

from __future__ import annotations

import concurrent.futures
import multiprocessing
from typing import Callable, Iterator, Protocol, Sequence

from velmora_huebit.cli.arguments import cores
from velmora_huebit.cli.work import Job, Outcome, quiet_opencv, run_one

Task = tuple[str, str | None]  # photo, chart file or None


class Runner(Protocol):
    def run(self, extractor, job: Job, tasks: Sequence[Task],
            on_done: Callable[[], None]) -> Iterator[tuple[int, Outcome]]: ...


def _single_threaded_kmeans():
    """scikit-learn's k-means sums its partial results per OpenMP thread, so
    the thread count can move a centre by a fraction and, cast to 8 bits, a
    colour by one step. One thread per photo makes the results the same for
    every --jobs and every machine; the cores are used by the processes."""
    from threadpoolctl import threadpool_limits

    return threadpool_limits(1, user_api="openmp")


class SerialRunner:
    """Every photo in this process, one after the other."""

    def run(self, extractor, job, tasks, on_done):
        for index, (path, chart) in enumerate(tasks):
            with _single_threaded_kmeans():
                outcome = run_one(extractor, job, path, chart)
            on_done()
            yield index, outcome


# the state of one worker process, set by _init_worker
_worker: dict = {}


def _init_worker(extractor, job: Job, threads: int) -> None:
    _worker["extractor"] = extractor
    _worker["job"] = job
    quiet_opencv()
    _limit_threads(threads)


def _limit_threads(threads: int) -> None:
    # several workers each running a full-width thread pool only fight over the cores
    import cv2
    from threadpoolctl import threadpool_limits

    cv2.setNumThreads(threads)
    _worker["thread_limits"] = (_single_threaded_kmeans(), threadpool_limits(threads, user_api="blas"))


def _work(index: int, path: str, chart: str | None) -> tuple[int, Outcome]:
    return index, run_one(_worker["extractor"], _worker["job"], path, chart)


def _forkserver():
    """Workers fork from a server process that has done the heavy imports
    once. Started before this process imports them, the two overlap.

    The server preloads the libraries, not this package: it imports with the
    working directory on its path, where a source checkout would shadow the
    installed package."""
    from multiprocessing import forkserver

    context = multiprocessing.get_context("forkserver")
    context.set_forkserver_preload(["numpy", "cv2", "sklearn.cluster", "sklearn.preprocessing",
                                    "sklearn.metrics.pairwise", "PIL.Image", "matplotlib.pyplot"])
    forkserver.ensure_running()
    return context


class PoolRunner:
    """The photos spread over worker processes. Creating the runner starts
    the fork server, so make it before importing the heavy libraries here."""

    def __init__(self, workers: int):
        self.workers = workers
        self.context = _forkserver()

    def run(self, extractor, job, tasks, on_done):
        """Outcomes in the order of the tasks, as soon as each one and all
        before it are done."""
        threads = max(1, cores() // self.workers)
        pool = concurrent.futures.ProcessPoolExecutor(
            max_workers=self.workers, mp_context=self.context,
            initializer=_init_worker, initargs=(extractor, job, threads),
        )
        try:
            futures = {
                pool.submit(_work, index, path, chart): index
                for index, (path, chart) in enumerate(tasks)
            }
            ready: dict[int, Outcome] = {}
            next_index = 0
            for future in concurrent.futures.as_completed(futures):
                index = futures[future]
                try:
                    ready[index] = future.result()[1]
                except concurrent.futures.BrokenExecutor:
                    ready[index] = Outcome(error="a worker process died (out of memory? try --max-side)")
                on_done()
                while next_index in ready:
                    yield next_index, ready.pop(next_index)
                    next_index += 1
        finally:
            pool.shutdown(wait=True, cancel_futures=True)


def choose_runner(jobs: int | None, photos: int) -> Runner:
    workers = min(jobs or cores(), photos)
    return PoolRunner(workers) if workers > 1 else SerialRunner()
