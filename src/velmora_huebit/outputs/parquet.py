"""--output FILE.parquet: the rows of tidy (one per photo and colour, or
photo and target, and one per photo that failed) as a Parquet file, for
the store (see store) that keeps them safe from a killed run and resumes.

Columns and types: file, status, hex, target, target_hex, closest_color,
closest_pixel, name and error are strings; width, height, analysed_width,
analysed_height and rank int32; r, g and b uint8; shares, similarities and
distances double; found_directly bool. Every column may be null (a photo
that failed has only file, status and error). The file's metadata, under
the key "velmora_huebit", holds the settings of the run and the
generation of the file.
"""

from __future__ import annotations

import json

import pyarrow as pa
import pyarrow.parquet as pq

from velmora_huebit.errors import SettingError

ROWS_PER_GROUP = 65536  # row groups of the folded file
METADATA_KEY = b"velmora_huebit"

TYPES = {"str": pa.string(), "int": pa.int32(), "uint8": pa.uint8(), "float": pa.float64(), "bool": pa.bool_()}


class ParquetFormat:
    suffix = ".parquet"
    # what reading or writing a file may raise (also for files that are damaged)
    errors = (OSError, ValueError, TypeError, KeyError, pa.ArrowException)

    def __init__(self, kinds: list[tuple[str, str]]):
        self.kinds = kinds
        self.schema = pa.schema([(name, TYPES[kind]) for name, kind in kinds])

    def read_metadata(self, path: str) -> dict:
        """{"settings", "generation"} of a file this command wrote;
        SettingError for any other."""
        try:
            stored = pq.read_schema(path)
        except self.errors as exc:
            raise SettingError(f"--output {path}: cannot read it as Parquet ({exc})") from None
        if METADATA_KEY not in (stored.metadata or {}):
            raise SettingError(f"--output {path}: not written by velmora-huebit")
        if not stored.remove_metadata().equals(self.schema):
            raise SettingError(f"--output {path}: its columns differ from this command's "
                             "(written by another command or version)")
        try:
            metadata = json.loads(stored.metadata[METADATA_KEY])
            if isinstance(metadata["settings"], dict) and isinstance(metadata["generation"], str):
                return metadata
        except (ValueError, TypeError, KeyError):
            pass
        raise SettingError(f"--output {path}: its metadata is damaged")

    def settings_file(self, path: str) -> str:
        return path

    def batches(self, path: str):
        """The rows of a file, a row group's worth at a time."""
        file = pq.ParquetFile(path)
        if not file.schema_arrow.remove_metadata().equals(self.schema):
            raise ValueError("its columns differ from this command's")
        if not file.num_row_groups:  # a run without rows (pyarrow 18 raises when asked to iterate it)
            return
        for batch in file.iter_batches(batch_size=ROWS_PER_GROUP):
            table = pa.Table.from_batches([batch], schema=self.schema)
            table.validate(full=True)  # a damaged file: an error here, not later as text is read
            yield table

    def from_rows(self, rows: list[dict]) -> pa.Table:
        return pa.Table.from_pylist(rows, schema=self.schema)

    def column(self, batch: pa.Table, name: str) -> list:
        return batch.column(name).to_pylist()

    def take(self, batch: pa.Table, keep: list[bool]) -> pa.Table:
        return batch.filter(pa.array(keep, pa.bool_()))

    def write(self, path: str, batches, metadata: dict | None = None) -> None:
        """A whole file from batches of rows, in row groups of ROWS_PER_GROUP."""
        schema = self.schema
        if metadata is not None:
            schema = schema.with_metadata({METADATA_KEY: json.dumps(metadata)})
        with pq.ParquetWriter(path, schema) as out:
            pending: list[pa.Table] = []
            for batch in batches:
                pending.append(batch)
                if sum(map(len, pending)) >= ROWS_PER_GROUP:
                    out.write_table(pa.concat_tables(pending))
                    pending = []
            if pending:
                out.write_table(pa.concat_tables(pending))

    def wrote(self, path: str, metadata: dict) -> None:
        """The metadata travels inside the file."""
