"""--output s3://bucket/results.parquet (or .csv, or another fsspec URL):
the store (see store) kept in a local folder, its file uploaded when the
run ends.

An object cannot be appended to, so the journal and the parts of a run go
where they can be written safely: the folder

    $XDG_CACHE_HOME/velmora-huebit/outputs/HASH/

(~/.cache without XDG_CACHE_HOME), HASH standing for the URL and endpoint,
named on standard error as the run starts. It holds NAME (the table as it
is to be uploaded), NAME.parts/ (the store's journal and parts) and, while
NAME holds rows that the object lacks, the file upload-pending.

- A run first makes sure the object may be written (the bucket exists,
  the credentials work) and that it is not there already (else --resume).
  With --resume it downloads the object to NAME, unless upload-pending
  says that NAME is newer.
- When the run ends the store folds its parts into NAME (upload-pending is
  written first), NAME is uploaded, and the folder is removed. An object
  store shows an object only once its upload is complete.
- A run killed at any moment, or an upload that fails, leaves the folder:
  the same command with --resume goes on from it, and uploads.
"""

from __future__ import annotations

import fcntl
import hashlib
import os
import shutil

from velmora_huebit.errors import SettingError
from velmora_huebit.outputs.store import Say, Store
from velmora_huebit.photos.storage import StorageError, fetch_object, object_exists, options_for, write_object

PENDING = "upload-pending"


def cache_folder(url: str, options: dict | None) -> str:
    """The local folder of the store of an --output URL."""
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    key = hashlib.sha256(f"{(options or {}).get('endpoint_url') or ''}\n{url}".encode()).hexdigest()[:16]
    return os.path.join(base, "velmora-huebit", "outputs", key)


class RemoteStore(Store):
    """A Store in the cache folder of url, uploaded to url when closed."""

    def __init__(self, url: str, fmt, settings: dict, resume: bool, say: Say, s3_options: dict | None = None,
                 overwrite: bool = False, listed=None):
        self.url = url
        self.options = options_for(url, s3_options)
        self.cache = cache_folder(url, self.options)
        name = url.rstrip("/").rsplit("/", 1)[-1]
        local = os.path.join(self.cache, name)
        self.pending = os.path.join(self.cache, PENDING)
        self.extra = fmt.settings_file(local) != local  # CSV: its settings in a file beside it
        self.cache_lock = self._lock_cache()
        try:
            self._prepare(local, fmt, resume, say, overwrite)
            super().__init__(local, fmt, settings, resume, say, listed=listed)
        except BaseException:
            self._unlock_cache()
            raise
        say("note", f"results for {url} are journaled in {self.cache} and uploaded when the run ends")

    def _lock_cache(self) -> int:
        try:
            os.makedirs(self.cache, exist_ok=True)
            lock = os.open(os.path.join(self.cache, "lock"), os.O_RDWR | os.O_CREAT, 0o600)
        except OSError as exc:
            raise SettingError(f"--output {self.url}: cannot make its local folder {self.cache} "
                             f"({exc.strerror or exc}); set XDG_CACHE_HOME to a folder that can be "
                             "written") from None
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(lock)
            raise SettingError(f"--output {self.url}: another run on this machine is writing it") from None
        return lock

    def _unlock_cache(self) -> None:
        if self.cache_lock is not None:
            os.close(self.cache_lock)
            self.cache_lock = None

    def _remote(self, suffix: str = "") -> str:
        return self.url + suffix

    def _prepare(self, local: str, fmt, resume: bool, say: Say, overwrite: bool) -> None:
        try:
            exists = object_exists(self.url, self.options)
        except StorageError as exc:
            raise SettingError(f"--output {self.url}: {exc}") from None
        if overwrite:  # what a cut-short run left goes with the object
            for stale in (self.pending, local, fmt.settings_file(local)):
                if os.path.exists(stale):
                    os.remove(stale)
            shutil.rmtree(local + ".parts", ignore_errors=True)
            return
        if os.path.exists(self.pending) or os.path.isdir(local + ".parts"):
            if not resume:
                raise SettingError(f"--output {self.url}: a run writing it was cut short, and its results "
                                 f"wait in {self.cache}; give --resume to go on from them, or "
                                 "--overwrite to drop them")
        elif exists and not resume:
            raise SettingError(f"--output {self.url}: exists; give --resume to add the photos it lacks, "
                             "or --overwrite to replace it")
        if os.path.exists(self.pending):
            say("warning", f"{local} holds results that {self.url} lacks (an upload that did not "
                           "happen): they are uploaded when this run ends")
            return
        for stale in (local, fmt.settings_file(local)):
            if os.path.exists(stale):
                os.remove(stale)
        if exists:
            try:
                if self.extra and object_exists(self._remote(".settings.json"), self.options):
                    fetch_object(self._remote(".settings.json"), fmt.settings_file(local), self.options)
                fetch_object(self.url, local, self.options)
            except StorageError as exc:
                raise SettingError(f"--output {self.url}: cannot download it to resume ({exc})") from None

    def close(self) -> None:
        """Folds the parts into the local file (see Store.close), uploads it
        and removes the local folder; when either step fails, says so and
        keeps the folder for --resume."""
        try:
            if self.lock is not None or not os.path.exists(self.path):
                # from here on the local file is the newer one
                with open(self.pending, "w"):
                    pass
            super().close()
            if self.failed:
                return
            if os.path.exists(self.pending):
                try:
                    if self.extra:
                        write_object(self.fmt.settings_file(self.path), self._remote(".settings.json"),
                                     self.options)
                    write_object(self.path, self.url, self.options)
                except StorageError as exc:
                    self.failed = True
                    self.say("error", f"cannot upload the results to {self.url} ({exc}); they are kept in "
                                      f"{self.cache}: run the same command with --resume to upload them")
                    return
            shutil.rmtree(self.cache, ignore_errors=True)
        finally:
            self._unlock_cache()
