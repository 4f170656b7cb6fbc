"""--output FILE.csv: the rows of tidy as CSV, for the store (see store),
which keeps them safe from a killed run and resumes, as for Parquet.

UTF-8, a header line with the column names, fields quoted where they need
it; a null is an empty field, booleans are true and false, floats are
written in their shortest exact form. pandas, DuckDB and spreadsheets read
it as it is. A text cell that a spreadsheet would run as a formula (one
that begins with =, +, -, @, a tab or a carriage return: a target's name
from a palette file, say) is written with a ' in front. CSV has no room for metadata: the settings of the run go to
FILE.csv.settings.json beside it, which a resumed run checks.
"""

from __future__ import annotations

import csv
import json
import os

from velmora_huebit.errors import SettingError
from velmora_huebit.outputs.tidy import older, upgraded

ROWS_PER_BATCH = 65536


# A spreadsheet runs a cell that begins with one of these as a formula
# (=HYPERLINK(...), +cmd|..., @SUM(...)); text cells get a ' in front, which
# it shows as text (OWASP's advice). Numbers are written as they are.
_FORMULA_START = ("=", "+", "-", "@", "\t", "\r")


def _cell(value) -> str:
    if value is None:
        return ""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        return repr(value)
    if isinstance(value, str):
        return "'" + value if value.startswith(_FORMULA_START) else value
    return str(value)


class CsvFormat:
    suffix = ".csv"
    # what reading or writing a file may raise (also for files that are damaged)
    errors = (OSError, ValueError, TypeError, csv.Error)

    def __init__(self, kinds: list[tuple[str, str]]):
        self.kinds = kinds
        self.names = [name for name, _ in kinds]

    def settings_file(self, path: str) -> str:
        return path + ".settings.json"

    def read_metadata(self, path: str) -> dict:
        """{"settings" (None when unknown), "generation"} of a file with
        this command's columns; SettingError for any other."""
        try:
            with open(path, newline="", encoding="utf-8") as file:
                header = next(csv.reader(file), None)
        except self.errors as exc:
            raise SettingError(f"--output {path}: cannot read it as CSV ({exc})") from None
        if header != self.names and not older(header or [], self.names):
            raise SettingError(f"--output {path}: its columns differ from this command's "
                             "(not written by this command of velmora-huebit)")
        try:
            with open(self.settings_file(path), "rb") as file:
                settings = json.loads(file.read())["settings"]
        except (OSError, ValueError, TypeError, KeyError, RecursionError):
            settings = None
        return {"settings": settings if isinstance(settings, dict) else None, "generation": ""}

    def batches(self, path: str):
        with open(path, newline="", encoding="utf-8") as file:
            reader = csv.reader(file)
            header = next(reader, None) or []
            if header != self.names and not older(header, self.names):
                raise ValueError("its header differs from this command's columns")
            batch: list[list[str]] = []
            for row in reader:
                if len(row) != len(header):
                    raise ValueError(f"line {reader.line_num} has {len(row)} fields, not {len(header)}")
                batch.append(row if header == self.names else self._upgrade(header, row))
                if len(batch) >= ROWS_PER_BATCH:
                    yield batch
                    batch = []
            if batch:
                yield batch

    def _upgrade(self, header: list[str], row: list[str]) -> list[str]:
        """A row of an older file (see tidy.older) in today's columns."""
        values = {name: cell or None for name, cell in zip(header, row)}
        if all(values.get(c) and values[c].isdigit() for c in "rgb"):
            values.update((c, int(values[c])) for c in "rgb")
        return self.from_rows([upgraded(values, self.names)])[0]

    def from_rows(self, rows: list[dict]) -> list[list[str]]:
        return [[_cell(row[name]) for name in self.names] for row in rows]

    def column(self, batch: list[list[str]], name: str) -> list:
        at = self.names.index(name)
        return [row[at] or None for row in batch]

    def take(self, batch: list[list[str]], keep: list[bool]) -> list[list[str]]:
        return [row for row, kept in zip(batch, keep) if kept]

    def write(self, path: str, batches, metadata: dict | None = None) -> None:
        with open(path, "w", newline="", encoding="utf-8") as file:
            writer = csv.writer(file, lineterminator="\n")
            writer.writerow(self.names)
            for batch in batches:
                writer.writerows(batch)

    def wrote(self, path: str, metadata: dict) -> None:
        """The settings beside the file, for a resumed run to check."""
        settings_file = self.settings_file(path)
        with open(settings_file + ".tmp", "w", encoding="utf-8") as file:
            json.dump({"settings": metadata["settings"]}, file)
        os.replace(settings_file + ".tmp", settings_file)
