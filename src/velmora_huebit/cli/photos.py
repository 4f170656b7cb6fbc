"""Which files a run covers: files named, folders, glob patterns."""

from __future__ import annotations

import glob
import os

from velmora_huebit.cli.arguments import UsageError

# What a folder contributes: files OpenCV can usually decode. Files named
# explicitly or matched by a glob are tried whatever their suffix.
IMAGE_SUFFIXES = frozenset(
    ".png .jpg .jpeg .jpe .jp2 .bmp .dib .tif .tiff .webp .avif .gif "
    ".pbm .pgm .ppm .pnm .pfm .sr .ras .exr .hdr .pic".split()
)


def _folder_images(folder: str, recursive: bool) -> list[str]:
    found = []
    for root, dirs, files in os.walk(folder):
        dirs[:] = sorted(d for d in dirs if not d.startswith(".")) if recursive else []
        found.extend(
            os.path.join(root, name) for name in sorted(files)
            if not name.startswith(".") and os.path.splitext(name)[1].lower() in IMAGE_SUFFIXES
        )
    return found


def collect_photos(arguments: list[str], recursive: bool) -> list[str]:
    """Files named, in folders, or matched by patterns, in a stable order,
    each once. Raises UsageError for an argument that yields nothing."""
    photos: list[str] = []
    seen: set[str] = set()

    def add(path: str) -> None:
        key = os.path.normcase(os.path.abspath(path))
        if key not in seen:
            seen.add(key)
            photos.append(path)

    for argument in arguments:
        if os.path.isdir(argument):
            images = _folder_images(argument, recursive)
            if not images:
                raise UsageError(f"no images in folder {argument}")
            for path in images:
                add(path)
        elif os.path.exists(argument):
            add(argument)
        elif glob.has_magic(argument):
            matches = sorted(glob.glob(argument, recursive=recursive))
            before = len(photos)
            for path in matches:
                if os.path.isdir(path):
                    for image in _folder_images(path, recursive):
                        add(image)
                else:
                    add(path)
            if len(photos) == before:
                raise UsageError(f"no files match {argument}")
        else:
            raise UsageError(f"no such file or folder: {argument}")
    return photos
