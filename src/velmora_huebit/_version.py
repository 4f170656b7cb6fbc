"""The installed package's version, read once, on first use: importlib.metadata
takes a tenth of a second to import, more than the palette of a photo."""

from __future__ import annotations

import functools


@functools.cache
def version() -> str:
    from importlib.metadata import PackageNotFoundError, version as installed

    try:
        return installed("velmora_huebit")
    except PackageNotFoundError:  # a source tree that was never installed
        return "0+unknown"
