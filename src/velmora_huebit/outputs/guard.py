"""What a run may write: never over a photo of the run, whatever the
options, and over an existing file only with --overwrite.

Whether a file is a photo of the run is told from the arguments, not from
the listing, which is made as the run goes: a file named, an image (by its
suffix) in a folder given, or a name a pattern matches. Names are compared
resolved (links followed), and URLs as written."""

from __future__ import annotations

import fnmatch
import glob
import os

from velmora_huebit.errors import SettingError
from velmora_huebit.photos.sources import IMAGE_SUFFIXES, display_name
from velmora_huebit.photos.storage import is_url


def _image(path: str) -> bool:
    return os.path.splitext(path)[1].lower() in IMAGE_SUFFIXES


def _within(path: str, folder: str, recursive: bool) -> bool:
    """path is a file that a listing of folder takes (or a pattern that
    matched the folder)."""
    if not folder.endswith(("/", os.sep)):
        folder += "/" if is_url(folder) else os.sep
    if not path.startswith(folder):
        return False
    rest = path[len(folder):]
    return _image(rest) and (recursive or ("/" not in rest and os.sep not in rest))


def _matched(path: str, pattern: str, recursive: bool) -> bool:
    """The pattern names path, or a folder above it. fnmatch lets * span
    folders, so this errs towards calling a file a photo."""
    if fnmatch.fnmatchcase(path, pattern):
        return True
    parent, below = os.path.dirname(path), path
    while parent and parent != below:
        if fnmatch.fnmatchcase(parent, pattern) and _within(path, parent, recursive):
            return True
        parent, below = os.path.dirname(parent), parent
    return False


class Guard:
    """Checks each file a run is about to write (--output, --report,
    --chart, --export) against the photos named by the arguments."""

    def __init__(self, arguments: list[str], recursive: bool, overwrite: bool):
        self.recursive = recursive
        self.overwrite = overwrite
        self.urls = [argument for argument in arguments if is_url(argument)]
        self.local = [argument for argument in arguments if not is_url(argument)]

    def is_photo(self, path: str) -> bool:
        if is_url(path):
            return any(path == url or _within(path, url, self.recursive)
                       or glob.has_magic(url) and _matched(path, url, self.recursive) for url in self.urls)
        forms = {os.path.abspath(path), os.path.realpath(path)}
        for argument in self.local:
            if os.path.isdir(argument):
                folders = {os.path.abspath(argument), os.path.realpath(argument)}
                if any(_within(form, folder, self.recursive) for form in forms for folder in folders):
                    return True
            elif os.path.lexists(argument):
                if os.path.realpath(argument) in forms or _same_file(argument, path):
                    return True
            elif glob.has_magic(argument):
                pattern = os.path.abspath(argument)
                if any(_matched(form, pattern, self.recursive) for form in forms):
                    return True
        return False

    def check(self, option: str, path: str, exists: bool | None = None) -> None:
        """SettingError when option's file at path may not be written."""
        if self.is_photo(path):
            raise SettingError(f"{option} {display_name(path)}: is a photo of this run; "
                               "it is never written over")
        if exists is None:
            exists = os.path.lexists(path)
        if exists and not self.overwrite:
            raise SettingError(f"{option} {display_name(path)}: exists; give --overwrite to replace it")


def _same_file(one: str, other: str) -> bool:
    try:
        return os.path.samefile(one, other)
    except OSError:
        return False
