"""Which files a run covers (files named, folders, glob patterns) and how
their names are shown.

Folders are walked following links to folders, but each real folder is
entered once, so a link loop ends the walk instead of running it forever.
An argument or folder that yields nothing, or cannot be read, becomes a
problem: reported like a photo that failed, while the others go on."""

from __future__ import annotations

import glob
import os

# What a folder contributes: files OpenCV can usually decode. Files named
# explicitly or matched by a glob are tried whatever their suffix.
IMAGE_SUFFIXES = frozenset(
    ".png .jpg .jpeg .jpe .jp2 .bmp .dib .tif .tiff .webp .avif .gif "
    ".pbm .pgm .ppm .pnm .pfm .sr .ras .exr .hdr .pic".split()
)


def display_name(path: str) -> str:
    """The name as valid text: bytes of the name that are not UTF-8 (which
    Python keeps as lone surrogates) are shown as \\xNN escapes."""
    return os.fsencode(path).decode("utf-8", "backslashreplace")


def _folders(top: str, recursive: bool, problems: list):
    """(folder, file names) for top and, when recursive, the folders below
    it, hidden ones left out and each real folder entered once."""
    entered: set[tuple[int, int]] = set()

    def unreadable(error: OSError) -> None:
        problems.append((error.filename, f"cannot read the folder: {error.strerror or error}"))

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


def _folder_images(folder: str, recursive: bool, problems: list) -> list[str]:
    return [
        os.path.join(root, name)
        for root, names in _folders(folder, recursive, problems) for name in names
        if os.path.splitext(name)[1].lower() in IMAGE_SUFFIXES
    ]


def _glob(pattern: str, recursive: bool, problems: list) -> list[str]:
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
        for folder, names in _folders(base, True, problems):
            if not head:  # the pattern names files relative to here, as glob does
                folder = os.path.relpath(folder)
            if rest in ([], [""]):  # 'dir/**': everything below
                found.extend(os.path.normpath(os.path.join(folder, name)) for name in names)
            else:
                prefix = "" if folder == os.curdir else glob.escape(folder)
                found.extend(_glob(os.path.join(prefix, *rest), True, problems))
    return found


def collect_photos(arguments: list[str], recursive: bool) -> tuple[list[str], list[tuple[str, str]]]:
    """(photos, problems). Photos are the files named, in folders, or matched
    by patterns, in a stable order, each once. Problems are (name, message)
    for each argument that yields nothing and each folder that cannot be read."""
    photos: list[str] = []
    problems: list[tuple[str, str]] = []
    seen: set[str] = set()

    def add(path: str) -> None:
        key = os.path.normcase(os.path.abspath(path))
        if key not in seen:
            seen.add(key)
            photos.append(path)

    for argument in arguments:
        if os.path.isdir(argument):
            before = len(problems)
            images = _folder_images(argument, recursive, problems)
            if not images and len(problems) == before:
                problems.append((argument, "no images in this folder"))
            for path in images:
                add(path)
        elif os.path.lexists(argument):
            add(argument)  # unreadable or special files are reported when read
        elif glob.has_magic(argument):
            before = len(photos), len(problems)
            for path in sorted(_glob(argument, recursive, problems)):
                if os.path.isdir(path):
                    for image in _folder_images(path, recursive, problems):
                        add(image)
                else:
                    add(path)
            if (len(photos), len(problems)) == before:
                problems.append((argument, "no files match this pattern"))
        else:
            problems.append((argument, "no such file or folder"))
    return photos, problems
