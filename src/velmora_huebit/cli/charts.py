"""Chart files: their names, their format check, and drawing one."""

from __future__ import annotations

import os
import warnings

from velmora_huebit.cli.arguments import UsageError


def chart_paths(template: str, photos: list[str]) -> list[str]:
    """One chart file per photo: the template itself for a single photo,
    otherwise with the photo's stem in place of {stem} or added to the name."""
    if len(photos) == 1 and "{stem}" not in template:
        return [template]
    root, suffix = os.path.splitext(template)
    paths, used = [], set()
    for photo in photos:
        stem = os.path.splitext(os.path.basename(photo))[0]
        base = template.replace("{stem}", stem) if "{stem}" in template else f"{root}-{stem}{suffix}"
        path, n = base, 2
        while path in used:  # same stem in two folders
            head, tail = os.path.splitext(base)
            path, n = f"{head}-{n}{tail}", n + 1
        used.add(path)
        paths.append(path)
    return paths


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
