"""Chart files: their names, their format check, and drawing one."""

from __future__ import annotations

import itertools
import os
import warnings
from typing import Iterable, Iterator

from velmora_huebit.cli.arguments import UsageError


def chart_paths(template: str, photos: Iterable[str]) -> Iterator[str]:
    """One chart file per photo, as the photos come: the template itself for
    a single photo, otherwise with the photo's stem in place of {stem} or
    added to the name."""
    photos = iter(photos)
    first = list(itertools.islice(photos, 2))
    if len(first) == 1 and "{stem}" not in template:
        yield template
        return
    root, suffix = os.path.splitext(template)
    used = set()
    for photo in itertools.chain(first, photos):
        stem = os.path.splitext(os.path.basename(photo))[0]
        base = template.replace("{stem}", stem) if "{stem}" in template else f"{root}-{stem}{suffix}"
        path, n = base, 2
        while path in used:  # same stem in two folders
            head, tail = os.path.splitext(base)
            path, n = f"{head}-{n}{tail}", n + 1
        used.add(path)
        yield path


def check_chart_template(template: str) -> None:
    from matplotlib.backend_bases import FigureCanvasBase

    suffix = os.path.splitext(template)[1].lower().lstrip(".")
    formats = FigureCanvasBase.get_supported_filetypes()
    if suffix not in formats:
        raise UsageError(
            f"--chart {template}: unknown image format {suffix or '(none)'!r} "
            f"(use one of: {', '.join(sorted(formats))})"
        )
    folder = os.path.dirname(template) or "."
    if not os.path.isdir(folder):
        raise UsageError(f"--chart {template}: no such folder {folder}")


def save_chart(extractor, colors: list, path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")  # the chart always ends with show(): never open a window
    import matplotlib.pyplot as plt

    try:
        with warnings.catch_warnings():
            warnings.filterwarnings("ignore", message=".*non-interactive.*cannot be shown")
            extractor.visualize_colors(colors, path)
    finally:
        plt.close("all")
