"""Photos in object storage: s3://bucket/key, and the other URLs that fsspec
knows (gs://, az://, http(s)://, memory://, ...) when their package is
installed. Names that are URLs are read through fsspec, and S3 through
s3fs (objects on an S3-compatible server at a given endpoint through
obstore, where it stands in: see below); everything else is a local path.
s3fs and fsspec are imported only when they are used.

A filesystem is made once per process and set of options (fsspec caches
them), so the workers of a run each keep one pool of connections. S3 reads
are retried by botocore (its standard mode: connection errors, timeouts,
throttling and 5xx answers, with backoff), at most READ_TRIES attempts
each; other protocols are retried here alike. At most READS_IN_FLIGHT
reads run at once in a process, and an object is fetched by one ranged GET
of at most MAX_OBJECT_BYTES (a larger one is refused once that much has
come). An object's first GET asks for HEAD_BYTES (object_head): most
photos come whole with it, in one request; a larger one is sized from that
head (and a HEAD for its size) before the rest is read. The head can be
fetched ahead of its turn (fetch_ahead; the runners keep a few per process).

Credentials come from where s3fs and botocore look for them (the AWS_*
variables, ~/.aws/credentials and config with AWS_PROFILE, container and
instance roles), or none with anonymous access. They are never printed:
errors are put in words here, with the endpoint shown without any user or
password part."""

from __future__ import annotations

import os
import re
import threading
import time

# scheme://...: a Windows drive (C:\) or a local name with a colon is not one
_URL = re.compile(r"^([A-Za-z][A-Za-z0-9+.\-]*)://")

READ_TRIES = 3
NETWORK_ERROR = "network error: cannot reach"
READS_IN_FLIGHT = 8
MAX_OBJECT_BYTES = 1 << 30
# An object's first GET: all of one this small (a phone's photo, in one
# request where a 64 KB head, a HEAD and the rest took three), the head of a
# larger one, which it is sized from before it is read whole.
HEAD_BYTES = 4 << 20
CONNECT_SECONDS, READ_SECONDS = 10, 60

_reads = threading.BoundedSemaphore(READS_IN_FLIGHT)


class StorageError(OSError):
    """A failure of object storage, in words for the user. `kind` is the
    OSError it stands for (FileNotFoundError for a missing object or
    bucket, PermissionError, ConnectionError, or OSError)."""

    def __init__(self, message: str, kind: type = OSError):
        super().__init__(message)
        self.kind = kind

    def __reduce__(self):  # travels from a worker whole
        return type(self), (self.args[0], self.kind)


def failure(exc: BaseException, url: str, options: dict | None = None) -> StorageError:
    """exc, raised by fsspec, s3fs or botocore, as a StorageError."""
    if isinstance(exc, StorageError):
        return exc
    message = describe(exc, url, options)
    kind = next((kind for kind in (FileNotFoundError, PermissionError) if isinstance(exc, kind)), OSError)
    if message.startswith("network error"):
        kind = ConnectionError
    elif message.startswith("no credentials"):
        kind = PermissionError
    return StorageError(message, kind)


def is_url(name: str) -> bool:
    return isinstance(name, str) and _URL.match(name) is not None


def protocol(url: str) -> str:
    return _URL.match(url).group(1).lower()


def _is_s3(url: str) -> bool:
    return protocol(url) in ("s3", "s3a")


def access_options(anonymous: bool = False, endpoint: str | None = None) -> dict:
    """S3 options for the command line's --anonymous and --endpoint-url."""
    options: dict = {}
    if anonymous:
        options["anon"] = True
    if endpoint:
        options["endpoint_url"] = endpoint
    return options


def options_for(url: str, s3_options: dict | None) -> dict | None:
    """The command line's S3 options where they apply: S3 URLs."""
    return s3_options if _is_s3(url) else None


def _options(url: str, options: dict | None) -> dict:
    """The options a filesystem is made with: for S3, botocore's retries,
    timeouts and connection pool, under whatever the caller gave."""
    options = dict(options or {})
    if not _is_s3(url):
        return options
    config = {"retries": {"total_max_attempts": READ_TRIES, "mode": "standard"},
              "connect_timeout": CONNECT_SECONDS, "read_timeout": READ_SECONDS,
              "max_pool_connections": READS_IN_FLIGHT}
    config.update(options.pop("config_kwargs", None) or {})
    return {"config_kwargs": config, "use_listings_cache": False, **options}


def check_protocol(url: str) -> str | None:
    """Why URLs like this one cannot be read here (a package missing, a
    scheme that fsspec does not know), or None."""
    import importlib.util

    if importlib.util.find_spec("fsspec") is None:
        return "object storage needs fsspec and s3fs: pip install 'velmora_huebit[s3]'"
    if _is_s3(url):
        # found, not imported: s3fs and botocore cost half a second, and a
        # run that obstore lists and reads never needs them
        if importlib.util.find_spec("s3fs") is None:
            return "s3:// URLs need s3fs: pip install 'velmora_huebit[s3]'"
        return None
    import fsspec

    try:
        fsspec.get_filesystem_class(protocol(url))
    except ImportError:
        return f"{protocol(url)}:// URLs need the package fsspec names for them (see fsspec's list)"
    except ValueError:
        return f"unknown URL scheme {protocol(url)}:// (not one fsspec knows)"
    return None


def filesystem(url: str, options: dict | None = None):
    """(filesystem, path within it) for a URL."""
    import fsspec

    fs, path = fsspec.core.url_to_fs(url, **_options(url, options))
    return fs, path


def endpoint(url: str, options: dict | None) -> str:
    """Where requests for the URL go, without any user or password part."""
    given = (options or {}).get("endpoint_url")
    if not given and _is_s3(url):
        # botocore's own variables, as it takes them
        given = os.environ.get("AWS_ENDPOINT_URL_S3") or os.environ.get("AWS_ENDPOINT_URL")
        if not given:
            return "the S3 endpoint"
    import urllib.parse

    parts = urllib.parse.urlsplit(given or url)
    host = parts.hostname or ""
    return f"{parts.scheme}://{host}{f':{parts.port}' if parts.port else ''}{parts.path}"


def describe(exc: BaseException, url: str, options: dict | None = None) -> str:
    """An error of fsspec, s3fs or botocore in words, without credentials."""
    name = type(exc).__name__
    text = str(exc)
    if isinstance(exc, StorageError):
        return text
    if name == "NoCredentialsError" or name == "PartialCredentialsError":
        return ("no credentials for S3 found (AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY, "
                "~/.aws/credentials or AWS_PROFILE, or an instance role); "
                "for a public bucket give --anonymous")
    if isinstance(exc, _GivenUp):
        return (f"{NETWORK_ERROR} {endpoint(url, options)} ({BREAK_AFTER} reads in a row failed: "
                f"not tried again for {BREAK_SECONDS} s)")
    if _unreachable(exc):
        return f"{NETWORK_ERROR} {endpoint(url, options)} (after {READ_TRIES} tries)"
    if isinstance(exc, FileNotFoundError):
        if "bucket does not exist" in text:
            return f"no such bucket {_bucket(url)}"
        return "no such object"
    if isinstance(exc, PermissionError):
        if any(word in text.lower() for word in ("access key id", "accesskeyid", "signature", "token")):
            return "the credentials were refused (an unknown or expired key, or a wrong secret)"
        return "access denied (the credentials in use may not read or write it)"
    if isinstance(exc, IsADirectoryError):
        return "is a folder"
    # the server's own words, or the library's, on one line
    return " ".join(f"{name}: {text}".split()) if text else name


def _unreachable(exc: BaseException) -> bool:
    """Whether exc says the server could not be reached (not what it answered)."""
    return type(exc).__name__ in ("EndpointConnectionError", "ConnectTimeoutError", "ReadTimeoutError",
                                  "ConnectionClosedError", "ProxyConnectionError", "SSLError",
                                  "HTTPClientError") or isinstance(exc, (ConnectionError, TimeoutError))


def unreachable(message: str) -> bool:
    """Whether a photo's failure, in words, is a server out of reach."""
    return message.startswith(NETWORK_ERROR)


class _GivenUp(ConnectionError):
    """A server not tried again for now: the reads before failed in a row."""


# A server whose reads failed BREAK_AFTER times in a row, each after its own
# retries, is not asked again for BREAK_SECONDS: a run over a bucket whose
# server is gone fails its photos at once instead of retrying each in turn.
BREAK_AFTER, BREAK_SECONDS = 3, 30
_failures: dict[str, tuple[int, float]] = {}  # server -> (failures in a row, time of the last)
_failures_lock = threading.Lock()


def _server(url: str) -> str:
    return f"{protocol(url)}://{_bucket(url)}"


def _bucket(url: str) -> str:
    return url.split("://", 1)[1].split("/", 1)[0]


# what no second try would change
_FINAL = (FileNotFoundError, PermissionError, IsADirectoryError, NotADirectoryError, StorageError,
          ValueError, TypeError, KeyError, ImportError)


def _transient(exc: BaseException) -> bool:
    return not isinstance(exc, _FINAL) and type(exc).__name__ not in ("NoCredentialsError",
                                                                       "PartialCredentialsError")


def with_retries(call, url: str):
    """call() tried READ_TRIES times over for a transient failure, with
    backoff; S3 has botocore's retries instead, so it is called once."""
    tries = 1 if _is_s3(url) else READ_TRIES
    server = _server(url)
    with _failures_lock:
        count, last = _failures.get(server, (0, 0.0))
    if count >= BREAK_AFTER and time.monotonic() - last < BREAK_SECONDS:
        raise _GivenUp(server)
    for attempt in range(tries):
        try:
            result = call()
        except Exception as exc:
            if attempt + 1 >= tries or not _transient(exc):
                if _unreachable(exc):
                    with _failures_lock:
                        _failures[server] = (_failures.get(server, (0, 0.0))[0] + 1, time.monotonic())
                raise
            import random

            time.sleep(min(0.2 * 2 ** attempt, 5) * (0.5 + random.random()))
        else:
            with _failures_lock:
                _failures.pop(server, None)
            return result


def _empty(exc: BaseException) -> bool:
    """Whether exc is the answer to a ranged read of an empty object (it has no byte 0)."""
    return "InvalidRange" in str(exc) or "not satisfiable" in str(exc).lower()


def object_head(url: str, options: dict | None = None, count: int = HEAD_BYTES):
    """(head, size, read) of the object at url, for sizing it before it is
    read whole: its first count bytes (all of a smaller object), its size
    (asked with a HEAD when it is larger; None where the store does not
    tell), and read(offset, count) for other parts of it. StorageError in
    words for anything that fails."""
    started = _fetching.pop((url, repr(options)), None)
    if started is not None and count == HEAD_BYTES:
        return started.result()
    return _object_head(url, options, count)


def _object_head(url: str, options: dict | None, count: int):
    try:
        with _reads:
            head = _read_range(url, options, 0, count)
            size = len(head) if len(head) < count else _size(url, options)
    except Exception as exc:
        if _empty(exc):
            return b"", 0, None
        raise failure(exc, url, options) from None

    def read(offset: int, length: int) -> bytes:
        try:
            with _reads:
                return _read_range(url, options, offset, offset + length)
        except Exception as exc:
            raise failure(exc, url, options) from None

    return head, size, read


_fetching: dict = {}  # (url, options) -> the future of a read started ahead
_fetcher = None


def fetch_ahead(url: str, options: dict | None = None) -> None:
    """Starts fetching the head of the object at url (and its size) in the
    background, for object_head to take up later in this process (the next
    photos of a worker, so that one object's latency hides behind another's;
    most come whole). The caller bounds how many are started; they share
    READS_IN_FLIGHT connections."""
    global _fetcher
    key = (url, repr(options))
    if key in _fetching:
        return
    if _fetcher is None:
        from concurrent.futures import ThreadPoolExecutor

        _fetcher = ThreadPoolExecutor(READS_IN_FLIGHT, thread_name_prefix="fetch")
    _fetching[key] = _fetcher.submit(_object_head, url, options, HEAD_BYTES)


def stop_fetching() -> None:
    """Ends the threads that fetch ahead, once no more photos will be read
    (a read under way is let finish; those not started are dropped)."""
    global _fetcher
    if _fetcher is not None:
        _fetcher.shutdown(wait=True, cancel_futures=True)
        _fetcher = None
    _fetching.clear()


def _forget_fetches() -> None:
    global _fetcher
    _fetcher = None  # its threads stayed in the parent
    _fetching.clear()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_fetches)


def read_object(url: str, options: dict | None = None, max_bytes: int = MAX_OBJECT_BYTES) -> bytes:
    """The bytes of the object at url; StorageError in words for anything
    that fails. At most max_bytes are fetched."""
    try:
        with _reads:
            # one GET, bounded: a larger object stops at max_bytes + 1
            data = _read_range(url, options, 0, max_bytes + 1)
    except Exception as exc:
        if _empty(exc):
            return b""  # an empty object has no byte 0
        raise failure(exc, url, options) from None
    if len(data) > max_bytes:
        raise StorageError(f"larger than {max_bytes >> 20} MB: not read")
    return data


# ---- reads through obstore, where it can stand in for s3fs ----------------------
#
# obstore (Rust's object_store) reads an object for a fifth of the CPU that
# s3fs and botocore spend on a GET (0.6 ms against 3.2 on moto's server),
# which is a third of a small photo's own work. It reads from an
# S3-compatible server named by its endpoint (where no region has to be
# found) with the keys given (the options, or botocore's variables), or
# anonymously, when it is installed. Every other read, and any read it does not complete, goes
# through s3fs as before, which retries and says what is wrong in its own
# words; a store that fails other than for a missing object is not used
# again in the process (a server it cannot reach costs one try, not one a
# photo). Its runtime does not survive a fork: a process forked from one
# that used it reads through s3fs. It lists folders too (objects.py), and a
# run that it lists and reads never imports s3fs.

_DIRECT_OPTIONS = frozenset({"key", "secret", "token", "endpoint_url", "anon", "config_kwargs",
                             "use_listings_cache"})
_direct_stores: dict = {}  # (bucket, options) -> store, or None once it failed
_direct_pid: int | None = None  # the process whose obstore runtime runs


def _direct_settings(url: str, options: dict | None) -> dict | None:
    """What an obstore store for url is made with, taken where botocore
    takes it: the options' endpoint and keys, else its variables (keys from
    the environment only when no profile is named, which botocore would
    read instead); None where s3fs reads (no endpoint, no keys, options it
    does not take)."""
    given = _options(url, options)
    if not _is_s3(url) or set(given) - _DIRECT_OPTIONS:
        return None
    env = os.environ
    endpoint_url = given.get("endpoint_url") or env.get("AWS_ENDPOINT_URL_S3") or env.get("AWS_ENDPOINT_URL")
    if not isinstance(endpoint_url, str) or not endpoint_url.startswith(("http://", "https://")):
        return None
    settings = {"endpoint": endpoint_url, "region": env.get("AWS_REGION") or env.get("AWS_DEFAULT_REGION") or "us-east-1"}
    if given.get("anon") is True:
        return {**settings, "skip_signature": True}
    key, secret, token = given.get("key"), given.get("secret"), given.get("token")
    if not (key or secret) and not (env.get("AWS_PROFILE") or env.get("AWS_DEFAULT_PROFILE")):
        key, secret, token = env.get("AWS_ACCESS_KEY_ID"), env.get("AWS_SECRET_ACCESS_KEY"), env.get("AWS_SESSION_TOKEN")
    if not (isinstance(key, str) and key and isinstance(secret, str) and secret):
        return None
    return {**settings, "access_key_id": key, "secret_access_key": secret,
            **({"session_token": token} if isinstance(token, str) and token else {})}


def readers(options: dict | None) -> list[str]:
    """What a process that reads S3 objects with these options imports:
    obstore where it stands in, else s3fs (half a second more)."""
    import importlib.util

    if _direct_settings("s3://bucket/key", options) is not None and importlib.util.find_spec("obstore"):
        return ["obstore"]
    return ["s3fs"]


def _direct_store(url: str, options: dict | None):
    """An obstore store for the bucket of url, or None where s3fs reads."""
    global _direct_pid
    if _direct_pid not in (None, os.getpid()):
        return None
    settings = _direct_settings(url, options)
    if settings is None:
        return None
    key = (_bucket(url), repr(sorted(settings.items())))
    if key not in _direct_stores:
        try:
            import datetime

            from obstore.store import S3Store

            store = S3Store(_bucket(url), client_options={"allow_http": settings["endpoint"].startswith("http://"),
                                                          "connect_timeout": f"{CONNECT_SECONDS}s",
                                                          "timeout": f"{READ_SECONDS}s"},
                            retry_config={"max_retries": 0, "retry_timeout": datetime.timedelta(seconds=READ_SECONDS)},
                            **settings)
        except Exception:  # noqa: BLE001 - not installed, or options it takes otherwise: s3fs reads
            store = None
        else:
            _direct_pid = os.getpid()
        _direct_stores[key] = store
    return _direct_stores[key]


def _direct(url: str, options: dict | None, call):
    """call(store, key) for the object at url, by obstore where it stands
    in; None where it does not, or when it fails (s3fs then does it again,
    and says what is wrong in its own words)."""
    store = _direct_store(url, options)
    key = url.split("://", 1)[1].partition("/")[2]
    if store is None or not key:
        return None
    try:
        result = call(store, key)
    except Exception as exc:  # noqa: BLE001 - s3fs does it again
        _failed(store, exc)
        return None
    with _failures_lock:
        _failures.pop(_server(url), None)
    return result


def _obstore():
    import obstore  # there once a store is made

    return obstore


def _missing(exc: BaseException) -> bool:
    """Whether obstore's exc says there is no such object."""
    return type(exc).__name__ == "NotFoundError" or isinstance(exc, FileNotFoundError)


def _failed(store, exc: BaseException) -> None:
    """A store that failed other than for the object (missing, empty, or a
    key it does not take) is not asked again."""
    if _missing(exc) or type(exc).__name__ == "InvalidPathError" or isinstance(exc, ValueError) or _empty(exc):
        return
    for key, known in list(_direct_stores.items()):
        if known is store:
            _direct_stores[key] = None


def _read_range(url: str, options: dict | None, start: int, end: int) -> bytes:
    """Bytes start to end (or the object's end) of the object at url."""
    data = _direct(url, options, lambda store, key: bytes(_obstore().get_range(store, key, start=start, end=end)))
    if data is not None:
        return data
    fs, path = filesystem(url, options)
    return with_retries(lambda: fs.cat_file(path, start=start, end=end), url)


def _size(url: str, options: dict | None) -> int | None:
    """The size of the object at url (None where the store does not tell)."""
    size = _direct(url, options, lambda store, key: _obstore().head(store, key)["size"])
    if size is not None:
        return size
    fs, path = filesystem(url, options)
    return with_retries(lambda: fs.info(path), url).get("size")


def direct_pages(url: str, options: dict | None, prefix: str, chunk: int):
    """(key, size) pages of the objects under prefix, a folder's ('a/b/'),
    in the bucket of url, as obstore lists them, or None where it does not
    stand in. obstore takes a key for a path: it drops a '/' at either end
    ('a/b/' is listed as 'a/b'), and fails on a key with an empty or '.'
    part ('a//b'); the caller trusts what it lists accordingly."""
    store = _direct_store(url, options)
    return None if store is None else _listed(store, prefix, chunk)


def direct_exists(url: str, options: dict | None) -> bool | None:
    """Whether an object has url's very key, asked by obstore (a HEAD)
    where it stands in; None where it cannot tell."""

    def head(store, key: str) -> bool:
        try:
            _obstore().head(store, key)
        except Exception as exc:
            if _missing(exc):
                return False
            raise
        return True

    return _direct(url, options, head)


def _listed(store, prefix: str, chunk: int):
    try:
        for page in _obstore().list(store, prefix.rstrip("/"), chunk_size=chunk):
            yield [(meta["path"], meta["size"]) for meta in page]
    except Exception as exc:
        _failed(store, exc)
        raise


def _forget_stores() -> None:
    _direct_stores.clear()  # a forked child reads through s3fs: _direct_pid is its parent's


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_stores)


def write_object(local: str, url: str, options: dict | None = None) -> None:
    """The local file uploaded to url: the object appears whole once the
    upload completes (an object store never shows part of one)."""
    try:
        fs, path = filesystem(url, options)
        with_retries(lambda: fs.put_file(local, path), url)
    except Exception as exc:
        raise failure(exc, url, options) from None


def object_exists(url: str, options: dict | None = None) -> bool:
    """Whether there is an object at url; StorageError when that cannot be
    told, and for an S3 bucket that does not exist."""
    try:
        fs, path = filesystem(url, options)
        try:
            return with_retries(lambda: fs.info(path), url).get("type") != "directory"
        except FileNotFoundError:
            if hasattr(fs, "call_s3"):  # the bucket must be there to write into
                bucket = path.split("/", 1)[0]
                try:
                    fs.call_s3("head_bucket", Bucket=bucket)
                except FileNotFoundError:
                    raise StorageError(f"no such bucket {bucket}", FileNotFoundError) from None
            return False
    except Exception as exc:
        raise failure(exc, url, options) from None


def fetch_object(url: str, local: str, options: dict | None = None) -> None:
    """The object at url downloaded to the local file (written under another
    name, then renamed)."""
    partial = local + ".download"
    try:
        fs, path = filesystem(url, options)
        with_retries(lambda: fs.get_file(path, partial), url)
        os.replace(partial, local)
    except Exception as exc:
        raise failure(exc, url, options) from None
