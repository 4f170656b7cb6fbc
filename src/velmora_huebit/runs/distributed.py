"""Photos analysed on a Dask cluster: the tasks, the window of tasks in
flight and the worker plugin behind velmora_huebit.distributed (described
there), and behind the command line's --dask."""

from __future__ import annotations

import contextlib
import pickle
import time
import uuid
from typing import Any, Callable, Iterable, Iterator, TypeVar

from velmora_huebit.photos.sizing import DEFAULT_MAX_PIXELS

try:
    from distributed import Client, as_completed
    from distributed.diagnostics.plugin import WorkerPlugin
except ImportError as exc:  # pragma: no cover - depends on the installed extras
    raise ImportError(
        "velmora_huebit.distributed needs Dask's distributed scheduler: "
        "pip install 'velmora_huebit[dask]'"
    ) from exc

__all__ = ["analyse_photos", "TASKS_PER_THREAD", "TaskFailed", "ClusterLost"]

TASKS_PER_THREAD = 4
"""Tasks in flight per worker thread: enough to keep every thread busy
while results travel back, few enough to keep the client's memory flat."""

# Finished tasks that wait for an earlier one, in ordered runs, may number
# this many windows: one slow photo does not stall the cluster at once.
_REORDER_WINDOWS = 8

Item = TypeVar("Item")

# On a worker: what each run's tasks need, by run name (set by _Setup).
_payloads: dict[str, Any] = {}

_END = object()  # no more items


class _Setup(WorkerPlugin):
    """Brings a run's payload (the extractor, and whatever else every task
    needs) to each worker before its first task of the run."""

    def __init__(self, name: str, payload: Any, prepare: Callable[[], None] | None):
        from distributed.protocol.pickle import dumps

        self.name = name
        # unpickled once prepare has run: the payload's modules are imported
        # the way prepare imports them (engines.load)
        self.payload = dumps(payload)
        self.prepare = prepare

    def setup(self, worker: Any) -> None:
        from distributed.protocol.pickle import loads

        if self.prepare is not None:
            self.prepare()
        _payloads[self.name] = loads(self.payload)

    def teardown(self, worker: Any) -> None:
        _payloads.pop(self.name, None)


class TaskFailed(RuntimeError):
    """A task whose result or exception could not come back as it was: one
    that cannot be pickled (it holds a lock, it nests too deep), an
    exception raised as KeyboardInterrupt or SystemExit, or a worker that
    died running it. The message says which."""


def _describe(error: BaseException) -> str:
    try:
        text = str(error)
    except Exception:  # noqa: BLE001 - a hostile __str__ changes nothing here
        text = ""
    text = f"{type(error).__name__}: {text}" if text else type(error).__name__
    return text if len(text) <= 300 else text[:299] + "…"


def _task(name: str, function: Callable[[Any, Any], Any], item: Any) -> bytes:
    """function(payload, item) on a worker, its (value, None) or (None,
    exception) pickled here. Dask would pickle them after the task, where a
    failure is never reported and the task never ends; and a
    KeyboardInterrupt or SystemExit leaves the worker's thread without an
    answer: both are the item's failure instead."""
    from threadpoolctl import threadpool_limits

    try:
        with threadpool_limits(1):  # OpenMP and BLAS
            value = (function(_payloads[name], item), None)
    except Exception as exc:  # noqa: BLE001 - travels back, raised on the client
        value = (None, exc)
    except BaseException as exc:  # noqa: BLE001 - KeyboardInterrupt, SystemExit: not the worker's to act on
        value = (None, TaskFailed(f"the task raised {_describe(exc)}"))
    return _pack(value)


def _pack(value: tuple) -> bytes:
    import cloudpickle  # a class or function of __main__ travels by value, as Dask sends it

    try:
        return cloudpickle.dumps(value)
    except BaseException as exc:  # noqa: BLE001 - a lock, a deep nesting, a __reduce__ that raises
        if value[1] is None:
            failure = TaskFailed(f"its result cannot be sent back: {_describe(exc)}")
        else:
            failure = TaskFailed(f"{_describe(value[1])} (an exception that cannot be sent back: {_describe(exc)})")
        return cloudpickle.dumps((None, failure))


def _unpack(data: Any) -> tuple:
    try:
        value = pickle.loads(data)
    except (Exception, SystemExit) as exc:  # noqa: BLE001 - one that pickles but cannot be rebuilt
        return None, TaskFailed(f"its result cannot be read back: {_describe(exc)}")
    if not (isinstance(value, tuple) and len(value) == 2):
        return None, TaskFailed("its result came back damaged")
    return value


def completed(
    client: Client,
    function: Callable[[Any, Item], Any],
    payload: Any,
    items: Iterable[Item],
    *,
    ordered: bool,
    prepare: Callable[[], None] | None = None,
    on_done: Callable[[], None] | None = None,
    tasks_per_thread: int = TASKS_PER_THREAD,
) -> Iterator[tuple[Item, Any, BaseException | None]]:
    """Run function(payload, item) on the workers for every item and yield
    (item, result, None), or (item, None, exception) when its task failed:
    as the tasks finish, or in the order of the items when ordered. At most
    tasks_per_thread tasks per worker thread run at a time; on_done is
    called as each one finishes. function must be importable on the workers
    (a module-level function); payload travels once per worker. A client
    that loses its scheduler ends the run with ClusterLost, once the
    results that finished and waited for an earlier one (ordered) are
    yielded, out of order."""
    _check_tasks_per_thread(tasks_per_thread)
    name = f"velmora-huebit-{uuid.uuid4().hex}"
    client.register_plugin(_Setup(name, payload, prepare), name=name)
    try:
        yield from _window(client, name, function, items, ordered, on_done, tasks_per_thread)
    finally:
        # on the way out of a failure too; a call to a scheduler that is gone would wait for it
        if client.status == "running":
            with contextlib.suppress(Exception):
                client.unregister_worker_plugin(name)


def _check_tasks_per_thread(tasks_per_thread: int) -> None:
    # with none in flight, nothing would ever run
    if isinstance(tasks_per_thread, bool) or not isinstance(tasks_per_thread, int) or tasks_per_thread < 1:
        raise ValueError(f"tasks_per_thread must be a whole number of at least 1, not {tasks_per_thread!r}")


class ClusterLost(ConnectionError):
    """The client lost its scheduler mid-run (killed, unreachable): the
    tasks in flight are gone with it, and no more can be sent."""


# How often a run that waits for its tasks looks at the client's connection
_POLL_SECONDS = 0.02
# A run whose cluster has had no worker this long ends (a local cluster
# whose workers kept dying may have given up restarting them)
NO_WORKER_SECONDS = 30
_LOOK_SECONDS = 2  # between looks at the workers, while nothing finishes


def _window(client, name, function, items, ordered, on_done, tasks_per_thread):
    window = tasks_per_thread * max(1, sum(client.nthreads().values()))
    # submitted but not yet yielded: in flight, or finished and held for order
    held_at_most = window * _REORDER_WINDOWS if ordered else window
    items = iter(items)
    running: dict[Any, tuple[int, Any]] = {}  # future -> (index, item)
    finished: dict[int, tuple] = {}  # index -> (item, result, error), held for order
    done = as_completed(loop=client.loop, with_results=True, raise_errors=False)
    submitted = yielded = 0

    def submit_more() -> None:
        nonlocal submitted
        while len(running) < window and submitted - yielded < held_at_most:
            item = next(items, _END)
            if item is _END:
                return
            _check_connected(client)
            # pure=False: a path listed twice is analysed twice, not merged into one task
            future = client.submit(_task, name, function, item, pure=False)
            running[future] = (submitted, item)
            done.add(future)
            submitted += 1

    try:
        submit_more()
        quiet_since = time.monotonic()
        looked = idle_since = None
        while running:
            # not a blocking next(done): a client that lost its scheduler
            # cancels the futures it knows, but never those sent afterwards
            ready = done.next_batch(block=False) if done.has_ready() else []
            if not ready:
                _check_connected(client)
                now = time.monotonic()
                if now - quiet_since > _LOOK_SECONDS and (looked is None or now - looked > _LOOK_SECONDS):
                    looked = now
                    idle_since = None if client.nthreads() else idle_since or now
                    if idle_since is not None and now - idle_since > NO_WORKER_SECONDS:
                        raise ClusterLost(f"the cluster has had no worker for {NO_WORKER_SECONDS} s")
                time.sleep(_POLL_SECONDS)
                continue
            quiet_since, idle_since = time.monotonic(), None
            lost = None
            for future, result in ready:
                index, item = running.pop(future)
                if future.status == "error":
                    outcome = (item, None, result[1])  # (type, exception, traceback)
                elif future.cancelled():  # only the client's loss of its scheduler does that
                    lost = lost or _cancelled(result)
                    continue
                else:
                    outcome = (item, *_unpack(result))
                if on_done is not None:
                    on_done()
                if ordered:
                    finished[index] = outcome
                    while yielded in finished:
                        yielded += 1
                        yield finished.pop(yielded - 1)
                else:
                    yielded += 1
                    yield outcome
            if lost is not None:
                raise ClusterLost(lost)
            submit_more()
    except ClusterLost:
        # what finished but waited for an earlier task is not lost with the rest
        for index in sorted(finished):
            yield finished.pop(index)
        raise
    finally:
        if running and client.status == "running":
            with contextlib.suppress(Exception):
                client.cancel(list(running))


def _check_connected(client) -> None:
    if client.status != "running":
        raise ClusterLost(f"the client lost its scheduler (it is {client.status})")


def _cancelled(error) -> str:
    text = _describe(error) if isinstance(error, BaseException) else ""
    if "scheduler-connection-lost" in text or not text:
        return "the connection to the scheduler was lost"
    return text.split("\n")[0]


def _source(path: str, options: dict | None, max_pixels: int, decoded: bool) -> Any:
    """What the extractor is given for a photo, sized first as the command
    line sizes it, so that a bomb or a crafted header fails as its own photo
    instead of being read whole on a worker: with decoded, the image (as
    cv2.imread decodes a file) of a URL, else its bytes; a local path as it
    is, once its header is checked."""
    from velmora_huebit.photos.reading import LEAST, PhotoError, check_file, decode, object_bytes
    from velmora_huebit.photos.storage import StorageError, is_url

    # a function decodes the photo with options of its own: refused only over the least it costs
    sizing = {} if decoded else LEAST
    try:
        if not is_url(path):
            check_file(path, max_pixels=max_pixels, **sizing)
            return path
        data = object_bytes(path, options, max_pixels=max_pixels, **sizing)
        return decode(data, with_alpha=False, max_pixels=max_pixels).image if decoded else data
    except StorageError as exc:  # in words, as the OSError it stands for
        raise exc.kind(f"{path}: {exc}") from None
    except PhotoError as exc:
        raise ValueError(f"Could not load image {path}: {exc}") from None


def _call(payload: tuple, path: str) -> Any:
    # a photo's failure comes back as a value (see _task)
    extractor, method, arguments, options, max_pixels = payload
    source = _source(path, options, max_pixels, decoded=method is not None)
    if method is None:  # a function of the path, or of the bytes of a URL's file
        return extractor(source, **arguments)
    return getattr(extractor, method)(source, **arguments)


def analyse_photos(
    paths: Iterable[str],
    extractor: Any,
    client: Client,
    *,
    method: str = "extract_colors",
    arguments: dict[str, Any] | None = None,
    return_exceptions: bool = False,
    tasks_per_thread: int = TASKS_PER_THREAD,
    storage_options: dict[str, Any] | None = None,
    max_pixels: int = DEFAULT_MAX_PIXELS,
) -> Iterator[tuple[str, Any]]:
    """Yield (path, records) for every path, in the order the photos finish.

    Each photo is analysed on a worker by ``extractor(path, **arguments)``
    when extractor is a function such as ``velmora_huebit.palette``, else
    by ``extractor.<method>(path, **arguments)``: by default
    ``extract_colors``, giving its list of colour records;
    ``method="find_color_matches", arguments={"target_colors": {...}}``
    gives match records instead. Paths are read by the workers, and so are
    URLs (s3://bucket/key, or others fsspec reads), through fsspec with
    storage_options (for S3, s3fs's: ``{"anon": True}``,
    ``{"endpoint_url": "http://minio:9000"}``, ...; credentials otherwise
    where botocore finds them on the worker): a function gets the bytes of
    the file (``palette`` takes them as they are), a method the image
    decoded as cv2.imread decodes a file. A URL that cannot be read fails
    with OSError (FileNotFoundError, PermissionError, ConnectionError), one
    that is no image with ValueError.

    Every photo is sized before it is read, as the command line sizes it:
    an object from its first bytes and its size, a local file from its
    header. One that would take more memory to decode than max_pixels
    pixels of 8-bit colour (0 lifts the limit) fails with ValueError, as
    does a name that is no regular file; for a function, which decodes
    with options of its own, only one that is over even at the least it
    could cost (a JPEG read at 1/8).

    A photo whose analysis raises stops the run with that exception, unless
    return_exceptions is true: then the exception takes the records' place
    and the run goes on. At most tasks_per_thread tasks per worker thread
    are in flight (ValueError unless it is at least 1); stopping early
    (break) cancels them."""
    # checked at the call, not when the loop first asks for a photo
    if callable(getattr(extractor, method, None)):
        payload = (extractor, method, dict(arguments or {}), storage_options, max_pixels)
    elif callable(extractor):
        payload = (extractor, None, dict(arguments or {}), storage_options, max_pixels)
    else:
        raise AttributeError(f"{type(extractor).__name__} has no method {method!r}")
    if isinstance(max_pixels, bool) or not isinstance(max_pixels, int) or max_pixels < 0:
        raise ValueError(f"max_pixels must be a whole number, 0 or more, not {max_pixels!r}")
    _check_tasks_per_thread(tasks_per_thread)
    return _analysed(client, payload, paths, return_exceptions, tasks_per_thread)


def _analysed(client, payload, paths, return_exceptions, tasks_per_thread):
    for path, result, error in completed(client, _call, payload, paths, ordered=False,
                                         tasks_per_thread=tasks_per_thread):
        if error is not None:
            if not return_exceptions:
                raise error
            result = error
        yield path, result
