"""--output FILE.parquet: one row per photo, kept safe from a run that is
killed at any moment, and --resume.

A Parquet file is readable only once its footer is written, when it is
closed, so a run never writes FILE.parquet directly. Its rows go to the
folder FILE.parquet.parts/:

- NNNNN.jsonl, the journal of the part being filled: one JSON row per
  photo, written as the photo finishes, so a killed run loses none (a torn
  last line is ignored);
- NNNNN.parquet, a full part (one row group), written under another name
  and renamed; then its journal is removed;
- run.json: the settings of the run, and the generation of FILE.parquet
  that the parts add to.

When the run ends (finished, failed or interrupted), FILE.parquet and the
parts are folded into a new file that is renamed over FILE.parquet, and the
folder is removed. Each FILE.parquet carries a generation of its own in its
metadata: parts whose base is not the file's generation were folded into it
already (the run was killed between the rename and the removal) and are
dropped. A resumed run takes the photos of the file and of the parts as
done, analyses only the others, and adds them after.

Schema: file (the path as printed), analysed_size ([width, height] of the
image analysed, when the record has it), then one list column per key of
the per-colour records (extract: hex, rgb, percentage) or of the per-target
records (match: name, target, then the module's keys), in the records'
order. Photos that failed are not stored, so a resumed run tries them again.
"""

from __future__ import annotations

import fcntl
import hashlib
import json
import os
import shutil
import uuid
from typing import Iterator

import pyarrow as pa
import pyarrow.parquet as pq

from velmora_huebit.cli.arguments import UsageError
from velmora_huebit.cli.photos import photo_key
from velmora_huebit.cli.records import hex_code, json_record
from velmora_huebit.cli.work import Job

ROWS_PER_PART = 1024
ROWS_PER_GROUP = 65536  # row groups of the folded file
METADATA_KEY = b"velmora_huebit"

_RGB = pa.list_(pa.uint8())
_RECORD_COLUMNS = {
    "extract": [("hex", pa.string()), ("rgb", _RGB), ("percentage", pa.float64())],
    "similarity": [
        ("name", pa.string()), ("target", pa.string()), ("percentage", pa.float64()),
        ("similarity", pa.float64()), ("closest_color", _RGB), ("distance", pa.float64()),
        ("found_directly", pa.bool_()),
    ],
    "pixels": [
        ("name", pa.string()), ("target", pa.string()), ("total_percentage", pa.float64()),
        ("close_percentage", pa.float64()), ("very_close_percentage", pa.float64()),
        ("closest_pixel", _RGB), ("min_distance", pa.float64()), ("similarity_score", pa.float64()),
    ],
}


def schema(job: Job) -> pa.Schema:
    kind = job.command if job.command == "extract" else "pixels" if job.pixels else "similarity"
    return pa.schema(
        [("file", pa.string()), ("analysed_size", pa.list_(pa.int32()))]
        + [(name, pa.list_(kind_type)) for name, kind_type in _RECORD_COLUMNS[kind]]
    )


def settings(job: Job, extractor_settings: dict) -> dict:
    """What decides a photo's row: a resumed run must use the same."""
    found = {"command": job.command, **extractor_settings, "max_side": job.max_side,
             "keep_transparent": job.keep_transparent}
    if job.engine != "library":  # files written before the palette engine have no key
        found["engine"] = job.engine
    if job.mask is not None:
        found["mask"] = hashlib.sha256(repr(job.mask.shape).encode() + job.mask.tobytes()).hexdigest()
    if job.command == "match":
        found["targets"] = {name: hex_code(rgb) for name, rgb in job.targets.items()}
        found["pixels"] = job.pixels
        if not job.pixels:
            found["threshold"] = 50.0 if job.threshold is None else job.threshold
    return json.loads(json.dumps(found))  # as it reads back from the file


def row(record: dict, columns: list[str]) -> dict:
    """A JSON record as a row: its per-colour or per-target records split
    into one list per key."""
    if "colors" in record:
        items = record["colors"]
    else:
        items = [{"name": name, **item} for name, item in record["targets"].items()]
    found = {"file": record["file"], "analysed_size": record.get("analysed_size")}
    for column in columns[2:]:
        found[column] = [item[column] for item in items]
    return found


class ParquetStore:
    """The rows of FILE.parquet and of a run adding to it."""

    def __init__(self, path: str, job: Job, extractor_settings: dict, resume: bool,
                 rows_per_part: int = ROWS_PER_PART):
        self.path = path
        self.folder = path + ".parts"
        self.schema = schema(job)
        self.settings = settings(job, extractor_settings)
        self.rows_per_part = rows_per_part
        self.buffer: list[dict] = []
        self.journal = None
        self.done: set[str] = set()

        stored = self._file_metadata()
        base = stored["generation"] if stored else ""
        run = self._read_run()
        if run is not None and run["base"] != base:
            shutil.rmtree(self.folder)  # folded into the file already
            run = None
        if (stored or run) and not resume:
            raise UsageError(f"--output {path}: exists; give --resume to add the photos it lacks, "
                             f"or remove {path} and {self.folder}")
        for found in (stored, run):
            if found is not None:
                self._check_settings(found["settings"])
        self.base = base
        self.lock: int | None = None
        self.number = 1
        if run is not None:
            self._lock()
            self.number = self._recover()
        if stored:
            files = pq.read_table(path, columns=["file"]).column("file").to_pylist()
            self.done.update(photo_key(file) for file in files)

    # --- reading what earlier runs left

    def _file_metadata(self) -> dict | None:
        if not os.path.exists(self.path):
            return None
        try:
            stored = pq.read_schema(self.path)
        except (OSError, pa.ArrowException) as exc:
            raise UsageError(f"--output {self.path}: cannot read it as Parquet ({exc})") from None
        if METADATA_KEY not in (stored.metadata or {}):
            raise UsageError(f"--output {self.path}: not written by velmora-huebit")
        if not stored.remove_metadata().equals(self.schema):
            raise UsageError(f"--output {self.path}: its columns differ from this command's "
                             "(written by another command or version)")
        return json.loads(stored.metadata[METADATA_KEY])

    def _read_run(self) -> dict | None:
        try:
            with open(os.path.join(self.folder, "run.json")) as file:
                return json.load(file)
        except FileNotFoundError:
            if os.path.isdir(self.folder):
                shutil.rmtree(self.folder)  # cut short while being made: holds no rows
            return None

    def _check_settings(self, stored: dict) -> None:
        if stored == self.settings:
            return
        differ = sorted(key for key in stored.keys() | self.settings.keys()
                        if stored.get(key) != self.settings.get(key))
        described = ", ".join(f"{key} {stored.get(key)!r} there, {self.settings.get(key)!r} here"
                              for key in differ)
        raise UsageError(f"--output {self.path}: written with other settings ({described}); "
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
            raise UsageError(f"--output {self.path}: another run is writing it") from None
        self._lock()

    def _lock(self) -> None:
        self.lock = os.open(self.folder, os.O_RDONLY)
        try:
            fcntl.flock(self.lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(self.lock)
            raise UsageError(f"--output {self.path}: another run is writing it") from None

    def _numbers(self) -> list[int]:
        found = set()
        for name in os.listdir(self.folder):
            stem, suffix = os.path.splitext(name)
            if stem.isdigit() and suffix in (".parquet", ".jsonl"):
                found.add(int(stem))
        return sorted(found)

    def _name(self, number: int, suffix: str) -> str:
        return os.path.join(self.folder, f"{number:05d}{suffix}")

    def _recover(self) -> int:
        """Takes the rows of the parts as done; the number of the next part."""
        numbers = self._numbers()
        for number in numbers:
            part, journal = self._name(number, ".parquet"), self._name(number, ".jsonl")
            if os.path.exists(part) and os.path.exists(journal):
                os.remove(journal)  # killed between writing the part and removing its journal
            for table in self._tables_of(number):
                self.done.update(photo_key(file) for file in table.column("file").to_pylist())
        return numbers[-1] + 1 if numbers else 1

    def _tables_of(self, number: int) -> Iterator[pa.Table]:
        part = self._name(number, ".parquet")
        if os.path.exists(part):
            yield pq.read_table(part, schema=self.schema)
            return
        with open(self._name(number, ".jsonl"), "rb") as file:
            lines = file.read().split(b"\n")[:-1]  # the last piece lacks its newline: torn or empty
        yield pa.Table.from_pylist([json.loads(line) for line in lines], schema=self.schema)

    # --- writing

    def append(self, row: dict) -> None:
        if self.journal is None:
            self._ensure_folder()
            self.journal = open(self._name(self.number, ".jsonl"), "ab", buffering=0)
        # one write per row: the kernel has it once this returns
        self.journal.write(json.dumps(row).encode() + b"\n")
        self.buffer.append(row)
        if len(self.buffer) >= self.rows_per_part:
            self._write_part()

    def _write_part(self) -> None:
        part = self._name(self.number, ".parquet")
        pq.write_table(pa.Table.from_pylist(self.buffer, schema=self.schema), part + ".tmp")
        _sync(part + ".tmp")
        os.replace(part + ".tmp", part)
        self.journal.close()
        os.remove(self.journal.name)
        self.journal = None
        self.buffer = []
        self.number += 1

    def close(self) -> None:
        """Folds the parts into FILE.parquet (a complete file, every photo
        once) and removes them."""
        if self.journal is not None:
            self.journal.close()
        numbers = self._numbers() if self.lock is not None else []
        if numbers or not os.path.exists(self.path):
            self._ensure_folder()
            folded = os.path.join(self.folder, "folding.parquet")
            metadata = {"settings": self.settings, "generation": uuid.uuid4().hex}
            with pq.ParquetWriter(folded, self.schema.with_metadata({METADATA_KEY: json.dumps(metadata)})) as out:
                pending: list[pa.Table] = []
                for table in self._all_tables(numbers):
                    pending.append(table)
                    if sum(map(len, pending)) >= ROWS_PER_GROUP:
                        out.write_table(pa.concat_tables(pending))
                        pending = []
                if pending:
                    out.write_table(pa.concat_tables(pending))
            _sync(folded)
            os.replace(folded, self.path)
        if self.lock is not None:
            shutil.rmtree(self.folder)
            os.close(self.lock)

    def _all_tables(self, numbers: list[int]) -> Iterator[pa.Table]:
        if os.path.exists(self.path):
            for batch in pq.ParquetFile(self.path).iter_batches(batch_size=ROWS_PER_GROUP):
                yield pa.Table.from_batches([batch]).replace_schema_metadata(None)
        for number in numbers:
            yield from self._tables_of(number)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()
        return False


def _sync(path: str) -> None:
    # the data on disk before the rename that makes it count
    with open(path, "rb+") as file:
        os.fsync(file.fileno())


class ParquetOutput:
    """emit(path, outcome) as a row of the store."""

    def __init__(self, job: Job, store: ParquetStore):
        self.job = job
        self.store = store
        self.columns = store.schema.names

    def emit(self, path: str, outcome) -> None:
        self.store.append(row(json_record(path, self.job, outcome), self.columns))
