"""Which files a run covers: files named, folders, glob patterns."""

from __future__ import annotations

import glob
import os
from typing import Iterator

from velmora_huebit.cli.arguments import UsageError

# What a folder contributes: files OpenCV can usually decode. Files named
# explicitly or matched by a glob are tried whatever their suffix.
IMAGE_SUFFIXES = frozenset(
    ".png .jpg .jpeg .jpe .jp2 .bmp .dib .tif .tiff .webp .avif .gif "
    ".pbm .pgm .ppm .pnm .pfm .sr .ras .exr .hdr .pic".split()
)


def photo_key(path: str) -> str:
    """What makes two paths the same photo: the absolute path."""
    return os.path.normcase(os.path.abspath(path))


def _folder_images(folder: str, recursive: bool) -> Iterator[str]:
    # folder by folder, so a large tree is never held whole
    for root, dirs, files in os.walk(folder):
        dirs[:] = sorted(d for d in dirs if not d.startswith(".")) if recursive else []
        yield from (
            os.path.join(root, name) for name in sorted(files)
            if not name.startswith(".") and os.path.splitext(name)[1].lower() in IMAGE_SUFFIXES
        )


def collect_photos(arguments: list[str], recursive: bool) -> list[str]:
    """Files named, in folders, or matched by patterns, in a stable order,
    each once. Raises UsageError for an argument that yields nothing."""
    return list(iter_photos(arguments, recursive))


def check_photo_arguments(arguments: list[str], recursive: bool) -> None:
    """The UsageError that iter_photos would raise for an argument, found
    before the run begins: looks only as far as the first photo of each."""
    for argument in arguments:
        next(iter_photos([argument], recursive), None)


def iter_photos(arguments: list[str], recursive: bool) -> Iterator[str]:
    """collect_photos, one photo at a time as the folders are walked."""
    seen: set[str] = set()

    def new(path: str) -> bool:
        key = photo_key(path)
        if key in seen:
            return False
        seen.add(key)
        return True

    for argument in arguments:
        if os.path.isdir(argument):
            found = False
            for path in _folder_images(argument, recursive):
                found = True
                if new(path):
                    yield path
            if not found:
                raise UsageError(f"no images in folder {argument}")
        elif os.path.exists(argument):
            if new(argument):
                yield argument
        elif glob.has_magic(argument):
            found = False
            for path in sorted(glob.glob(argument, recursive=recursive)):
                for image in _folder_images(path, recursive) if os.path.isdir(path) else [path]:
                    if new(image):
                        found = True
                        yield image
            if not found:
                raise UsageError(f"no files match {argument}")
        else:
            raise UsageError(f"no such file or folder: {argument}")
