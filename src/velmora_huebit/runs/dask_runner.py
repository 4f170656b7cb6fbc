"""--dask: the photos of a run as tasks on a Dask cluster, a local one of
worker processes or the one at a scheduler address. Outcomes come back in
task order like the other runners', with a few tasks per worker thread in
flight (velmora_huebit.runs.distributed does the windowing). The workers read
the photos and write the charts, so both go to them as absolute paths (and
photos in a bucket as their URLs: each worker reads its own from there)."""

from __future__ import annotations

import contextlib
import functools
import logging
import os
import signal
import time

from velmora_huebit.errors import MissingExtra, RunStopped, SettingError
from velmora_huebit.photos.limits import keep_heap, limit_memory
from velmora_huebit.photos.sources import absolute
from velmora_huebit.analysis.job import Outcome
from velmora_huebit.runs.work import quiet_opencv, run_one


def check_dask(address: str, jobs: int | None) -> None:
    """SettingError for a --dask that cannot work; MissingExtra without Dask."""
    try:
        import distributed  # noqa: F401
    except ImportError:
        raise MissingExtra("--dask needs Dask's distributed scheduler: "
                           "pip install 'velmora_huebit[dask]'") from None
    if address and os.path.exists(address):
        raise SettingError(f"--dask: {address} is a file or folder, not a scheduler address "
                         "(put the photos before --dask, or write --dask=ADDRESS)")
    if address and jobs is not None:
        raise SettingError("--jobs sets the workers of the local cluster; "
                         f"the cluster at {address} has its own")
    if address:
        _check_address(address)


def _check_address(address: str) -> None:
    """A scheduler address as Dask's client takes it: [PROTOCOL://]HOST:PORT."""
    from distributed.comm.addressing import get_address_host_port

    try:
        port = get_address_host_port(address)[1]
    except (ValueError, TypeError) as exc:
        port, reason = None, str(exc)
    if port is None or not 0 < port < 65536:
        reason = reason if port is None else f"port {port} out of range"
        raise SettingError(f"--dask {address}: not a scheduler address such as tcp://host:8786 ({reason})")


def dask_setup(worker) -> None:
    """Run by each worker of a local cluster as it starts (a Dask preload).
    Ctrl-C in the terminal reaches every process of the group; it is the
    command's to handle, and the workers carry on until it closes them."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _start_worker(max_pixels: int, max_side: int, modules: list[str]) -> None:
    """Each worker of a local cluster, before its first photo: quiet, its
    libraries loaded (what they reserve as they load is no photo's) and
    held under the memory ceiling (a cluster at an address is not ours to limit)."""
    from velmora_huebit.analysis.engines import load

    quiet_opencv()
    load(modules)
    limit_memory(max_pixels, max_side)
    keep_heap()


class ClusterGone(RunStopped):
    """The scheduler went away mid-run; the photos that finished are kept."""


def _analyse(payload, task) -> Outcome:
    extractor, job = payload
    _, (path, chart) = task  # the index travels with the task, for outcomes out of order
    return run_one(extractor, job, path, chart)


def _failure(error: BaseException) -> str:
    from distributed import KilledWorker

    if isinstance(error, KilledWorker):
        # Dask ran it again after each death, up to its limit
        return "the worker processes analysing it died (out of memory? try --max-side)"
    return f"{type(error).__name__}: {error}"


class DaskRunner:
    """The photos on a Dask cluster: a local one of `workers` processes of
    one thread each, or the one at `address`."""

    def __init__(self, address: str, workers: int, charts: bool = False):
        self.address = address
        self.workers = workers
        self.charts = charts  # whether the workers draw charts (Matplotlib loaded as they start)

    def run(self, extractor, job, tasks, on_done):
        from velmora_huebit.analysis.engines import preload
        from velmora_huebit.runs.distributed import ClusterLost, completed

        work = ((index, (absolute(path), chart and os.path.abspath(chart))) for index, (path, chart) in enumerate(tasks))
        with self._client() as client:
            prepare = quiet_opencv if self.address else functools.partial(
                _start_worker, job.max_pixels, job.max_side, preload(job, charts=self.charts, buckets=bool(job.storage)))
            results = completed(client, _analyse, (extractor, job), work, ordered=True,
                                prepare=prepare, on_done=on_done)
            try:
                for (index, _), outcome, error in results:
                    yield index, outcome if error is None else Outcome(error=_failure(error))
            except ClusterLost as exc:
                where = f"the cluster at {self.address}" if self.address else "the local cluster"
                raise ClusterGone(f"--dask: {where} was lost mid-run ({exc})") from None

    @contextlib.contextmanager
    def _client(self):
        from distributed import Client

        _quiet_dask_logs()
        with contextlib.ExitStack() as stack:
            if self.address:
                try:
                    client = stack.enter_context(Client(self.address, timeout="20s"))
                except (OSError, ValueError, TypeError) as exc:
                    raise SettingError(f"--dask {self.address}: cannot reach the scheduler ({exc})") from None
            else:
                with _interrupt_when_started():
                    try:
                        cluster = local_cluster(0)  # started as it is made
                    except Exception as exc:
                        raise SettingError(f"--dask: cannot start a local cluster ({exc})") from None
                    stack.callback(_close, cluster)
                    client = stack.enter_context(Client(cluster))
                    _start_workers(cluster, client, self.workers)
            yield client


def _quiet_dask_logs() -> None:
    """Dask's own log (worker restarts, lost connections, and the
    tracebacks of a scheduler gone) stays off standard error: the run says
    what matters in its own lines. Dask's logging settings give some of its
    loggers levels of their own, and tornado logs the errors of its loop."""
    names = [name for name in logging.root.manager.loggerDict if name.startswith(("distributed.", "tornado."))]
    for name in ["distributed", "tornado", *names]:
        logging.getLogger(name).setLevel(logging.CRITICAL)


WORKERS_START_SECONDS = 120
_STARTING = {"undefined", "created", "init", "starting"}  # a worker's states before it runs or fails


def _start_workers(cluster, client, workers: int) -> None:
    """Starts the workers of a local cluster and waits until each has
    joined or failed to start (killed meanwhile, say): the run goes on
    with those that joined, and stops with one line when none did."""
    cluster.scale(workers)
    deadline = time.monotonic() + WORKERS_START_SECONDS
    while time.monotonic() < deadline:
        states = [worker.status.name for worker in list(cluster.workers.values())]
        joined = len(client.nthreads())
        settled = len(states) == workers and not _STARTING.intersection(states)
        # Dask 2024 may never list a worker whose start was cut short, though the others joined
        if joined >= workers or settled and joined >= states.count("running"):
            break
        time.sleep(0.1)
    if not client.nthreads():
        raise SettingError("--dask: no worker of the local cluster started")


CLOSE_SECONDS = 30


def _close(cluster) -> None:
    """Closes a local cluster, giving up after CLOSE_SECONDS: one whose
    worker was killed while it started may never finish closing (Dask
    2024); its processes end with this one."""
    try:
        cluster.close(timeout=CLOSE_SECONDS)
    except Exception:  # noqa: BLE001 - a close that times out or fails changes no result
        pass


def local_cluster(workers: int):
    """A cluster of `workers` processes of one thread each on this machine,
    quiet: no dashboard, no log, and its health page on any free port
    rather than a warning when Dask's usual one is taken."""
    from distributed import LocalCluster

    return LocalCluster(
        n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None,
        scheduler_kwargs={"dashboard_address": ":0"}, silence_logs=logging.CRITICAL, preload=[__name__],
    )


@contextlib.contextmanager
def _interrupt_when_started():
    """Ctrl-C while the local cluster starts takes effect once it has
    started: a cluster cut short half-way cannot be closed cleanly."""
    caught = []
    previous = signal.signal(signal.SIGINT, lambda *_: caught.append(True))
    try:
        yield
    except Exception:
        if not caught:
            raise
        # the workers got the Ctrl-C too, and died starting
    finally:
        signal.signal(signal.SIGINT, previous)
    if caught:
        raise KeyboardInterrupt
