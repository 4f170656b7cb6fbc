"""--output FILE.parquet or FILE.csv: the rows of a run (see tidy), kept
safe from a run that is killed at any moment, and --resume.

A Parquet file is readable only once its footer is written, and a CSV file
cut short has a torn last row, so a run never writes FILE directly. Its
rows go to the folder FILE.parts/:

- NNNNN.jsonl, the journal of the part being filled: one JSON line per
  photo ({"settings": the run's fingerprint, "rows": the list of its
  rows}), written as the photo finishes, so a killed run loses none;
- NNNNN.CRC.parquet or NNNNN.CRC.csv, a full part, written under another
  name and renamed to carry the CRC-32 of its bytes (so a part damaged
  since is told from a sound one); then its journal is removed;
- run.json: the settings of the run, and the generation of FILE that the
  parts add to.

When the run ends (finished, failed or interrupted), FILE and the parts are
folded into a new file that is renamed over FILE, and the folder is
removed. If the fold fails (a full disk), the parts stay, and a run with
--resume folds them. Each Parquet file carries a generation of its own in
its metadata: parts whose base is not the file's generation were folded
into it already (the run was killed between the rename and the removal)
and are dropped. (A CSV file has no generation: folding such parts again
gives the same rows.)

Every photo keeps one set of rows: the last one written. A resumed run
takes the photos of the file and of the parts as done unless they failed;
it analyses the others, and their rows replace any earlier ones. What
cannot be read back (a damaged journal line, part or run.json, a run.json
or FILE.parts of the wrong kind) is skipped with a warning: those photos
are analysed again. So is a journal line of a run with other settings; a
line for a photo the run's arguments do not name is left out.
"""

from __future__ import annotations

import fcntl
import hashlib
import json
import os
import shutil
import uuid
import zlib
from typing import Callable, Iterator

from velmora_huebit.errors import SettingError
from velmora_huebit.errors import OutputError
from velmora_huebit.photos.sources import photo_key
from velmora_huebit.colour.space import hex_code
from velmora_huebit.outputs.tidy import photo_rows, valid_rows
from velmora_huebit.analysis.job import Job

PHOTOS_PER_PART = 1024

# told of what the store finds: ("warning" or "error", text)
Say = Callable[[str, str], None]


def settings(job: Job, extractor_settings: dict) -> dict:
    """What decides a photo's rows: a resumed run must use the same."""
    found = {"command": job.command, **extractor_settings, "max_side": job.max_side,
             "keep_transparent": job.keep_transparent, "engine": job.engine}
    if job.command == "extract":
        found["names"] = job.names  # the list the name column comes from
    if job.mask is not None:
        found["mask"] = hashlib.sha256(repr(job.mask.shape).encode() + job.mask.tobytes()).hexdigest()
    if job.command == "match":
        found["targets"] = {name: hex_code(rgb) for name, rgb in job.targets.items()}
        found["pixels"] = job.pixels
        if job.kind == "delta_e":
            found.update(tolerances=list(job.tolerances), min_share=job.min_share)
        elif not job.pixels:
            found["threshold"] = 50.0 if job.threshold is None else job.threshold
    return json.loads(json.dumps(found))  # as it reads back from the file


def fingerprint(settings: dict) -> str:
    """Short for the settings, on each journal line: a line copied from
    another run's journal is told apart."""
    return hashlib.sha256(json.dumps(settings, sort_keys=True).encode()).hexdigest()[:16]


class Store:
    """The rows of FILE and of a run adding to it. fmt is the file format
    (parquet.ParquetFormat, csvfile.CsvFormat): it reads and writes whole
    files as batches of rows."""

    def __init__(self, path: str, fmt, settings: dict, resume: bool, say: Say,
                 photos_per_part: int = PHOTOS_PER_PART, overwrite: bool = False,
                 listed: Callable[[str], bool] | None = None):
        self.path = path
        self.folder = path + ".parts"
        self.fmt = fmt
        self.settings = settings
        self.fingerprint = fingerprint(settings)
        self.listed = listed  # whether a photo is one of the run's: journal lines for others are left out
        self.say = say
        self.photos_per_part = photos_per_part
        self.buffer: list[dict] = []
        self.photos_buffered = 0
        self.journal = None
        self.lock: int | None = None
        self.done: set[str] = set()
        self.damaged: set[int] = set()  # parts that cannot be read back
        self.parts: dict[int, str] = {}  # number -> file of a full part
        self.failed = False  # the fold failed: the parts are kept

        self._check_writable()
        # --overwrite: the file's rows and a cut-short run's parts are left out, and the file replaced
        self.replacing = overwrite and os.path.exists(path)
        stored = fmt.read_metadata(path) if os.path.exists(path) and not overwrite else None
        base = stored["generation"] if stored else ""
        run = self._read_run()
        if run is not None and (overwrite or run["base"] != base):
            self._lock()  # not the folder of a run that is writing it
            shutil.rmtree(self.folder)  # folded into the file already, or being replaced
            self._unlock()
            run = None
        if (stored or run) and not resume:
            raise SettingError(f"--output {path}: exists; give --resume to add the photos it lacks, "
                               f"or --overwrite to replace it")
        if stored and stored["settings"] is None:
            say("warning", f"the settings of {path} are unknown ({fmt.settings_file(path)} is missing); "
                           "taken to be this run's")
        for found in (stored and stored["settings"], run and run["settings"]):
            if found:
                self._check_settings(found)
        self.base = base
        self.number = 1
        if stored:
            for batch in self._read(path):
                self._note(batch)
        if run is not None:
            self._lock()
            self.number = self._recover()

    # --- reading what earlier runs left

    def _check_writable(self) -> None:
        """Before any photo is analysed: the file and its parts can be made."""
        if os.path.lexists(self.path) and not os.path.isfile(self.path):
            raise SettingError(f"--output {self.path}: not a regular file")
        folder = os.path.dirname(os.path.abspath(self.path))
        probe = os.path.join(folder, f".{os.path.basename(self.path)}.{uuid.uuid4().hex}")
        try:
            descriptor = os.open(probe, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
            try:
                os.write(descriptor, b"\n")
            finally:
                os.close(descriptor)
                os.remove(probe)
        except OSError as exc:
            raise SettingError(f"--output {self.path}: cannot write in {folder} "
                             f"({exc.strerror or exc})") from None

    def _read(self, path: str) -> Iterator:
        try:
            yield from self.fmt.batches(path)
        except self.fmt.errors as exc:
            raise SettingError(f"--output {path}: cannot read it ({exc})") from None

    def _read_run(self) -> dict | None:
        try:
            with open(os.path.join(self.folder, "run.json"), "rb") as file:
                run = json.loads(file.read())
        except FileNotFoundError:
            if os.path.isdir(self.folder):
                shutil.rmtree(self.folder)  # cut short while being made: holds no rows
            return None
        except NotADirectoryError:  # FILE.parts is a file: no run's
            self.say("warning", f"{self.folder} is not a folder: left out, and replaced")
            os.remove(self.folder)
            return None
        except IsADirectoryError:
            run = None
        except OSError as exc:
            raise SettingError(f"--output {self.path}: cannot read {self.folder} ({exc.strerror or exc})") from None
        except (ValueError, RecursionError):  # not JSON, not text
            run = None
        if isinstance(run, dict) and isinstance(run.get("base"), str) and isinstance(run.get("settings"), dict):
            return run
        self._lock()  # not the folder of a run that is writing it
        self.say("warning", f"{self.folder}/run.json is damaged: the photos in {self.folder} "
                            "are left out, and analysed again")
        shutil.rmtree(self.folder)
        self._unlock()
        return None

    def _check_settings(self, stored: dict) -> None:
        if stored == self.settings:
            return
        differ = sorted(key for key in stored.keys() | self.settings.keys()
                        if stored.get(key) != self.settings.get(key))
        described = ", ".join(f"{key} {stored.get(key)!r} there, {self.settings.get(key)!r} here"
                              for key in differ)
        raise SettingError(f"--output {self.path}: written with other settings ({described}); "
                         "resume with the same options, or write another file")

    def _ensure_folder(self) -> None:
        """Made with the first row, so a run that stops before has left nothing."""
        if self.lock is not None:
            return
        # made under another name and renamed, so it never exists without run.json
        fresh = f"{self.folder}.{uuid.uuid4().hex}"
        os.mkdir(fresh)
        with open(os.path.join(fresh, "run.json"), "w") as file:
            json.dump({"base": self.base, "settings": self.settings}, file)
        try:
            os.rename(fresh, self.folder)
        except OSError:
            shutil.rmtree(fresh)
            raise SettingError(f"--output {self.path}: another run is writing it") from None
        self._lock()

    def _lock(self) -> None:
        self.lock = os.open(self.folder, os.O_RDONLY)
        try:
            fcntl.flock(self.lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            self._unlock()
            raise SettingError(f"--output {self.path}: another run is writing it") from None

    def _unlock(self) -> None:
        if self.lock is not None:
            os.close(self.lock)
            self.lock = None

    def _numbers(self) -> list[int]:
        """The numbers of the parts and journals in the folder."""
        found = set()
        for name in os.listdir(self.folder):
            stem, suffix = os.path.splitext(name)
            number, _, crc = stem.partition(".")
            if number.isdigit() and (suffix == ".jsonl" and not crc or suffix == self.fmt.suffix and crc):
                found.add(int(number))
                if crc:
                    self.parts[int(number)] = os.path.join(self.folder, name)
        return sorted(found)

    def _name(self, number: int, suffix: str) -> str:
        return os.path.join(self.folder, f"{number:05d}{suffix}")

    def _keys(self, batch) -> list[str | None]:
        return [photo_key(file) if isinstance(file, str) and file else None
                for file in self.fmt.column(batch, "file")]

    def _note(self, batch) -> None:
        """The photos of rows read back are done, unless they failed; later
        rows of a photo count over earlier ones."""
        for key, status in zip(self._keys(batch), self.fmt.column(batch, "status")):
            if key is None:
                continue
            if status == "failed":
                self.done.discard(key)
            else:
                self.done.add(key)

    def _recover(self) -> int:
        """Takes the photos of the parts as done; the number of the next part."""
        numbers = self._numbers()
        for number in numbers:
            journal = self._name(number, ".jsonl")
            if number in self.parts and os.path.exists(journal):
                os.remove(journal)  # killed between writing the part and removing its journal
            for batch in self._part(number, warn=True):
                self._note(batch)
        return numbers[-1] + 1 if numbers else 1

    def _part(self, number: int, warn: bool = False) -> list:
        """The batches of a part, or of its journal; none for a part that
        cannot be read."""
        if number in self.damaged:
            return []
        part = self.parts.get(number)
        try:
            if part is not None:
                _check_crc(part)
                return list(self.fmt.batches(part))
            journal = self._name(number, ".jsonl")
            rows, skipped = self._journal_rows(journal)
            for count, what in zip(skipped, ("damaged line{} skipped; their photos are analysed again",
                                             "line{} of a run with other settings skipped; "
                                             "their photos are analysed again",
                                             "line{} for photos that this run does not name left out")):
                if count and warn:
                    self.say("warning", f"{journal}: {count} {what.format('s' if count > 1 else '')}")
            return [self.fmt.from_rows(rows)] if rows else []
        except self.fmt.errors as exc:
            self.damaged.add(number)
            self.say("warning", f"{part or self._name(number, '.jsonl')}: "
                                f"cannot read it ({exc}); its photos are analysed again")
            return []

    def _journal_rows(self, journal: str) -> tuple[list[dict], tuple[int, int, int]]:
        """The rows of a journal, the last line of each photo; and the
        numbers of lines skipped: damaged, of other settings, of photos
        the run does not name."""
        with open(journal, "rb") as file:
            lines = file.read().split(b"\n")
        torn = lines.pop()  # a killed run may leave a last line without its newline
        damaged, other, outside = 1 if torn.strip() else 0, 0, 0
        photos: dict[str, list[dict]] = {}
        for line in lines:
            try:
                found = json.loads(line)
            except (ValueError, RecursionError):
                found = None
            rows = found.get("rows") if isinstance(found, dict) else None
            if not valid_rows(rows, self.fmt.kinds):
                damaged += 1
                continue
            if found.get("settings") != self.fingerprint:
                other += 1
                continue
            if self.listed is not None and not self.listed(rows[0]["file"]):
                outside += 1
                continue
            key = photo_key(rows[0]["file"])
            photos.pop(key, None)  # a line written twice keeps the place of the last
            photos[key] = rows
        return [row for rows in photos.values() for row in rows], (damaged, other, outside)

    # --- writing

    def add(self, rows: list[dict]) -> None:
        """One photo's rows."""
        journal = self._name(self.number, ".jsonl")
        try:
            if self.journal is None:
                self._ensure_folder()
                self.journal = open(journal, "ab", buffering=0)
            # one write per photo: the kernel has it once this returns
            self.journal.write(json.dumps({"settings": self.fingerprint, "rows": rows}).encode() + b"\n")
            self.buffer.extend(rows)
            self.photos_buffered += 1
            if self.photos_buffered >= self.photos_per_part:
                self._write_part()
        except self.fmt.errors as exc:
            raise OutputError(f"{journal}: {getattr(exc, 'strerror', None) or exc}") from exc

    def _write_part(self) -> None:
        written = self._name(self.number, ".tmp")
        self.fmt.write(written, [self.fmt.from_rows(self.buffer)])
        _sync(written)
        with open(written, "rb") as file:
            crc = zlib.crc32(file.read())
        os.replace(written, self._name(self.number, f".{crc:08x}{self.fmt.suffix}"))
        self.journal.close()
        os.remove(self.journal.name)
        self.journal = None
        self.buffer = []
        self.photos_buffered = 0
        self.number += 1

    def close(self) -> None:
        """Folds the parts into FILE (a complete file, one set of rows per
        photo) and removes them; when that fails, says so and keeps them."""
        if self.journal is not None:
            self.journal.close()
            self.journal = None
        numbers = self._numbers() if self.lock is not None else []
        if not numbers and os.path.exists(self.path) and not self.replacing:
            self._close_folder()
            return
        folded = os.path.join(self.folder, "folding" + self.fmt.suffix)
        try:
            self._ensure_folder()
            self._fold(numbers, folded)
        except SettingError as exc:  # another run took the folder meanwhile
            self._fold_failed(numbers, folded, str(exc))
        except self.fmt.errors as exc:
            self._fold_failed(numbers, folded, getattr(exc, "strerror", None) or str(exc))
        else:
            self._close_folder()

    def _fold(self, numbers: list[int], folded: str) -> None:
        parts = [number for number in numbers if number not in self.damaged]
        last: dict[str, int] = {}  # photo -> the last part that holds it
        for number in parts:
            for batch in self._part(number):
                last.update((key, number) for key in self._keys(batch) if key is not None)

        def batches() -> Iterator:
            if os.path.exists(self.path) and not self.replacing:  # rows of photos in no part
                for batch in self.fmt.batches(self.path):
                    yield self.fmt.take(batch, [key is not None and key not in last for key in self._keys(batch)])
            for number in parts:
                for batch in self._part(number):
                    yield self.fmt.take(batch, [last.get(key) == number for key in self._keys(batch)])

        metadata = {"settings": self.settings, "generation": uuid.uuid4().hex}
        self.fmt.write(folded, batches(), metadata)
        _sync(folded)
        os.replace(folded, self.path)
        self.fmt.wrote(self.path, metadata)

    def _fold_failed(self, numbers: list[int], folded: str, reason: str) -> None:
        self.failed = True
        try:
            os.remove(folded)
        except OSError:
            pass
        if numbers:
            self.say("error", f"cannot write {self.path} ({reason}); the results are kept in "
                              f"{self.folder}: run the same command with --resume to write it")
            self._unlock()
        else:
            self.say("error", f"cannot write {self.path} ({reason})")
            self._close_folder()

    def _close_folder(self) -> None:
        if self.lock is not None:
            shutil.rmtree(self.folder, ignore_errors=True)
            self._unlock()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()
        return False


def _check_crc(part: str) -> None:
    """ValueError unless the part's bytes have the CRC-32 its name carries."""
    with open(part, "rb") as file:
        crc = zlib.crc32(file.read())
    if os.path.basename(part).split(".")[1] != f"{crc:08x}":
        raise ValueError("damaged since it was written")


def _sync(path: str) -> None:
    # the data on disk before the rename that makes it count
    with open(path, "rb+") as file:
        os.fsync(file.fileno())


class StoreOutput:
    """emit(path, outcome) as the rows of the store; photos that failed
    have their row too."""

    keeps_failures = True

    def __init__(self, job: Job, store: Store):
        self.job = job
        self.store = store
        self.names = [name for name, _ in store.fmt.kinds]

    def emit(self, path: str, outcome) -> None:
        self.store.add(photo_rows(path, self.job, outcome, self.names))
