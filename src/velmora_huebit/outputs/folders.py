"""The folders of output files, made as needed: --export 'palettes/{stem}.ase'
in a fresh folder writes palettes/, as --output, --report and --chart do."""

from __future__ import annotations

import os

from velmora_huebit.errors import SettingError


def make_folder(path: str) -> None:
    """The folder of path, made if missing (OSError when it cannot be)."""
    folder = os.path.dirname(path)
    if folder and not os.path.isdir(folder):
        os.makedirs(folder, exist_ok=True)


def ensure_folder(path: str, option: str) -> None:
    """Before the run: the folder of an output file or template made (a
    folder named after each photo, {stem}, is made as its file is written);
    SettingError in words when it cannot be."""
    folder = os.path.dirname(path)
    if "{stem}" in folder:
        return
    try:
        make_folder(path)
    except OSError as exc:
        raise SettingError(f"{option} {path}: cannot make the folder {folder} "
                           f"({exc.strerror or exc})") from None
