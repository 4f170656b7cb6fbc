"""A run's table: a Parquet or CSV file, local or in a bucket, kept safe in
a journal while the run goes (store) and resumed from it."""

from __future__ import annotations

import os

from velmora_huebit.analysis.job import Job
from velmora_huebit.errors import MissingExtra, SettingError
from velmora_huebit.outputs.folders import ensure_folder
from velmora_huebit.outputs.store import Say, Store, settings
from velmora_huebit.outputs.tidy import columns
from velmora_huebit.photos.storage import is_url


def open_table(path: str, job: Job, extractor_settings: dict, resume: bool, say: Say,
               storage: dict | None = None, overwrite: bool = False, listed=None):
    """The store of the table at path (.parquet or .csv; s3://... through a
    local cache folder), to use in a with-block. SettingError when it
    cannot be written, MissingExtra without pyarrow for Parquet. With
    overwrite, a file that exists is replaced rather than refused. listed
    tells whether a photo is one the run's arguments name: journal lines
    of other photos are left out."""
    suffix = os.path.splitext(path)[1].lower()
    if suffix not in (".parquet", ".csv"):
        raise SettingError(f"--output {path}: Parquet (.parquet) and CSV (.csv) files are "
                           "written; JSON Lines go to standard output")
    remote = is_url(path)
    if not remote:
        ensure_folder(path, "--output")
    if suffix == ".parquet":
        try:
            from velmora_huebit.outputs.parquet import ParquetFormat as Format
        except ImportError:
            raise MissingExtra("--output FILE.parquet needs pyarrow: pip install 'velmora_huebit[parquet]'") from None
    else:
        from velmora_huebit.outputs.csvfile import CsvFormat as Format
    fmt, found = Format(columns(job)), settings(job, extractor_settings)
    if remote:
        from velmora_huebit.outputs.remote import RemoteStore

        return RemoteStore(path, fmt, found, resume, say, storage, overwrite, listed)
    return Store(path, fmt, found, resume, say, overwrite=overwrite, listed=listed)
