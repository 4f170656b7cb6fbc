"""Which files a run covers (files named, folders, glob patterns) and how
their names are shown.

Photos are listed one at a time as the folders are walked, so a folder of a
million photos is never held whole. Folders are walked following links to
folders, but each real folder is entered once, so a link loop ends the walk
instead of running it forever. An argument or folder that yields nothing,
or cannot be read, becomes a problem: reported like a photo that failed,
while the others go on. Arguments that are URLs (s3://bucket/prefix/) are
listed by objects, and their photos named by their URLs."""

from __future__ import annotations

import glob
import os
import re
from typing import Callable, Iterator

from velmora_huebit.photos.storage import is_url, options_for

# What a folder contributes: files OpenCV can usually decode, and HEIC/HEIF.
# Files named explicitly or matched by a glob are tried whatever their suffix.
IMAGE_SUFFIXES = frozenset(
    ".png .jpg .jpeg .jpe .jp2 .bmp .dib .tif .tiff .webp .avif .gif "
    ".pbm .pgm .ppm .pnm .pam .pfm .sr .ras .exr .hdr .pic .heic .heif .hif".split()
)

# told of each problem as it is found: (argument or folder, message)
OnProblem = Callable[[str, str], None]


def text_name(path: str) -> str:
    """The name as valid text, as results store it: bytes of the name that
    are not UTF-8 (which Python keeps as lone surrogates) become \\xNN
    escapes; every other character is kept."""
    return os.fsencode(path).decode("utf-8", "backslashreplace")


# What a terminal would act on instead of showing: C0 and C1 controls
# (ESC starts the sequences that clear a screen or set a window title), the
# line and paragraph separators, and the bidirectional overrides that show
# a name in another order than it has.
_UNPRINTABLE = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029\u202a-\u202e\u2066-\u2069]")
_NAMED = {"\t": "\\t", "\n": "\\n", "\r": "\\r"}


def _escape(found: re.Match) -> str:
    char = found.group()
    if char in _NAMED:
        return _NAMED[char]
    code = ord(char)
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"


def printable(text: str) -> str:
    """Text for a terminal: control characters shown as escapes (\\x1b,
    \\n, \\u202e), as ls shows them, so that a name cannot move the cursor,
    clear the screen or break a line. Other characters are kept."""
    return _UNPRINTABLE.sub(_escape, text)


def display_name(path: str) -> str:
    """The name as printed on a terminal: text_name with control characters
    escaped (see printable)."""
    return printable(text_name(path))


def absolute(path: str) -> str:
    """The photo's name as results keep it: its absolute path, or its URL."""
    return path if is_url(path) else os.path.abspath(path)


def photo_key(path: str) -> str:
    """What makes two paths the same photo: the absolute path, or the URL."""
    return path if is_url(path) else os.path.normcase(os.path.abspath(path))


def _folders(top: str, recursive: bool, problem: OnProblem) -> Iterator[tuple[str, list[str]]]:
    """(folder, file names) for top and, when recursive, the folders below
    it, hidden ones left out and each real folder entered once."""
    entered: set[tuple[int, int]] = set()

    def unreadable(error: OSError) -> None:
        problem(error.filename, f"cannot read the folder: {error.strerror or error}")

    for root, dirs, files in os.walk(top, onerror=unreadable, followlinks=True):
        try:
            info = os.stat(root)
        except OSError as error:
            unreadable(error)
            dirs[:] = []
            continue
        if (info.st_dev, info.st_ino) in entered:
            dirs[:] = []
            continue
        entered.add((info.st_dev, info.st_ino))
        dirs[:] = sorted(d for d in dirs if not d.startswith(".")) if recursive else []
        yield root, sorted(name for name in files if not name.startswith("."))


def _folder_images(folder: str, recursive: bool, problem: OnProblem) -> Iterator[str]:
    for root, names in _folders(folder, recursive, problem):
        yield from (os.path.join(root, name) for name in names
                    if os.path.splitext(name)[1].lower() in IMAGE_SUFFIXES)


def _glob(pattern: str, recursive: bool, problem: OnProblem) -> list[str]:
    """Matches of a pattern. With recursive, '**' as a whole path component
    matches any depth of folders, each real folder once (glob's own '**'
    follows a link loop for ever)."""
    parts = pattern.split(os.sep)
    if not recursive or "**" not in parts:
        return glob.glob(pattern)
    at = parts.index("**")
    head, rest = os.sep.join(parts[:at]) or (os.sep if at else ""), parts[at + 1:]
    bases = glob.glob(head) if glob.has_magic(head) else [head or os.curdir]
    found = []
    for base in bases:
        if not os.path.isdir(base):
            continue
        for folder, names in _folders(base, True, problem):
            if not head:  # the pattern names files relative to here, as glob does
                folder = os.path.relpath(folder)
            if rest in ([], [""]):  # 'dir/**': everything below
                found.extend(os.path.normpath(os.path.join(folder, name)) for name in names)
            else:
                prefix = "" if folder == os.curdir else glob.escape(folder)
                found.extend(_glob(os.path.join(prefix, *rest), True, problem))
    return found


def _recursive_hint(folder: str, recursive: bool) -> str:
    """Points at --recursive when the folder's images may lie in its subfolders."""
    if recursive:
        return ""
    try:
        with os.scandir(folder) as entries:
            if any(not e.name.startswith(".") and e.is_dir() for e in entries):
                return " (it has subfolders: --recursive descends into them)"
    except OSError:
        pass
    return ""


def iter_photos(arguments: list[str], recursive: bool, problem: OnProblem,
                s3_options: dict | None = None) -> Iterator[str]:
    """The files named, in folders, or matched by patterns, in a stable
    order, each once, as they are found; problem() is told of each argument
    that yields nothing and each folder that cannot be read. s3_options
    are the filesystem options for s3:// arguments (see storage)."""
    seen: set[str] = set()
    found = False

    def reported(name: str, message: str) -> None:
        nonlocal found
        found = True
        problem(name, message)

    def new(path: str) -> bool:
        nonlocal found
        found = True
        key = photo_key(path)
        if key in seen:
            return False
        seen.add(key)
        return True

    for argument in arguments:
        found = False
        if is_url(argument):
            from velmora_huebit.photos.objects import iter_objects

            urls = iter_objects(argument, recursive, problem, options_for(argument, s3_options), IMAGE_SUFFIXES)
            # a listing names each object once: the names are kept (to skip
            # one named twice) only when another argument could name it too
            yield from (url for url in urls if len(arguments) == 1 or new(url))
        elif os.path.isdir(argument):
            yield from (path for path in _folder_images(argument, recursive, reported) if new(path))
            if not found:
                problem(argument, "no images in this folder" + _recursive_hint(argument, recursive))
        elif os.path.lexists(argument):
            if new(argument):  # unreadable or special files are reported when read
                yield argument
        elif glob.has_magic(argument):
            for path in sorted(_glob(argument, recursive, reported)):
                matches = _folder_images(path, recursive, reported) if os.path.isdir(path) else [path]
                yield from (image for image in matches if new(image))
            if not found:
                hint = "" if recursive or "**" not in argument.split(os.sep) else \
                    " (** matches folders at any depth only with --recursive)"
                problem(argument, "no files match this pattern" + hint)
        else:
            problem(argument, "no such file or folder")


def collect_photos(arguments: list[str], recursive: bool,
                   s3_options: dict | None = None) -> tuple[list[str], list[tuple[str, str]]]:
    """(photos, problems): iter_photos, all at once."""
    problems: list[tuple[str, str]] = []
    photos = list(iter_photos(arguments, recursive, lambda name, message: problems.append((name, message)),
                              s3_options))
    return photos, problems
