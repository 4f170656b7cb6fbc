"""--output FILE.parquet: the rows of tidy (one per photo and colour, or
photo and target, and one per photo that failed) as a Parquet file, for
the store (see store) that keeps them safe from a killed run and resumes.

Columns and types: file, status, hex, target, target_hex, closest_color,
closest_pixel, name, error and warnings are strings; width, height,
analysed_width, analysed_height, rank, r, g and b int32 (r, g and b were
uint8 before the L*a*b* columns came: such files are read, and upgraded
when a resumed run folds them); lab_l, lab_a, lab_b, shares, similarities and
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
from velmora_huebit.outputs.tidy import older, upgraded

ROWS_PER_GROUP = 65536  # row groups of the folded file
METADATA_KEY = b"velmora_huebit"

TYPES = {"str": pa.string(), "int": pa.int32(), "float": pa.float64(), "bool": pa.bool_()}
# a type of an older file's column that reads into today's type without loss
WIDENED = {(pa.uint8(), pa.int32())}


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
        if not self._readable(stored):
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

    def _readable(self, stored: pa.Schema) -> bool:
        """This command's columns, or an older version's of them (see tidy.older)."""
        stored = stored.remove_metadata()
        if stored.equals(self.schema):
            return True
        if not older(stored.names, self.schema.names):
            return False
        return all(field.type == self.schema.field(field.name).type
                   or (field.type, self.schema.field(field.name).type) in WIDENED for field in stored)

    def _upgrade(self, table: pa.Table) -> pa.Table:
        names = self.schema.names
        return self.from_rows([upgraded(row, names) for row in table.to_pylist()])

    def batches(self, path: str):
        """The rows of a file, a row group's worth at a time."""
        file = pq.ParquetFile(path)
        stored = file.schema_arrow.remove_metadata()
        if not self._readable(stored):
            raise ValueError("its columns differ from this command's")
        if not file.num_row_groups:  # a run without rows (pyarrow 18 raises when asked to iterate it)
            return
        for batch in file.iter_batches(batch_size=ROWS_PER_GROUP):
            table = pa.Table.from_batches([batch], schema=stored)
            table.validate(full=True)  # a damaged file: an error here, not later as text is read
            yield table if stored.equals(self.schema) else self._upgrade(table)

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
