"""Chart files: their names, their format check, and drawing one.

The command line draws its own charts rather than the module's
visualize_colors: the photo's name on top, each colour as a swatch as wide as
its share with its hex code, name and share written on it in black or white
(whichever reads, see swatches.label_colour), the colours too narrow for
their words listed in a legend below, and a thin outline on swatches as
light as the page. A match chart puts each target beside the photo's colour
nearest to it, with the band it was found in.

Matplotlib is imported only here, when a chart is drawn. Figures are plain
matplotlib.figure.Figure objects, never registered with pyplot, so nothing
is left open after a chart is saved, however many photos a worker draws."""

from __future__ import annotations

import itertools
import os
from typing import Iterable, Iterator

from velmora_huebit.errors import SettingError
from velmora_huebit.outputs.folders import ensure_folder, make_folder
from velmora_huebit.colour.space import hex_code
from velmora_huebit.analysis.job import match_settings
from velmora_huebit.colour.swatches import (PAGE, band, label_colour, needs_border,
                                         nearest)

WIDTH = 8.0  # inches; at DPI, 1200 pixels
DPI = 150
MARGIN = 0.3
INK = "#222222"
MUTED = "#6b6b6b"
OUTLINE = "#b0b0b0"
LEGEND_COLUMNS = 4
LEGEND_ROW = 0.3
BAND_INK = {"direct": "#1b7f3b", "close": "#3f7f1b", "within": "#a86400", "none": "#8a8a8a"}


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
        raise SettingError(
            f"--chart {template}: unknown image format {suffix or '(none)'!r} "
            f"(use one of: {', '.join(sorted(formats))})"
        )
    ensure_folder(template, "--chart")


def _rgb(colour) -> tuple[float, float, float]:
    r, g, b = (int(c) / 255 for c in colour)
    return r, g, b


def _shorten(text: str, most: int) -> str:
    """At most `most` characters, cut in the middle where a file name's end
    (its number, its suffix) still tells photos apart."""
    if len(text) <= most:
        return text
    keep = most - 1
    return text[: keep - keep // 3] + "…" + text[len(text) - keep // 3:]


def _percent(value) -> str:
    return f"{float(value):.1f} %"


def _heading(fig, height: float, title: str, subtitle: str) -> None:
    """The photo's name and a line about the analysis, at the top left."""
    text = fig.text(MARGIN / WIDTH, 1 - 0.28 / height, title, fontsize=14, fontweight="bold",
                    color=INK, va="top", parse_math=False)
    renderer = fig.canvas.get_renderer()
    most = min(len(title), 120)
    text.set_text(_shorten(title, most))
    while most > 12 and text.get_window_extent(renderer).width > (WIDTH - 2 * MARGIN) * DPI:
        most -= 4
        text.set_text(_shorten(title, most))
    fig.text(MARGIN / WIDTH, 1 - 0.58 / height, subtitle, fontsize=9, color=MUTED, va="top",
             parse_math=False)


def _label(colour) -> str:
    return "\n".join(filter(None, (colour.get("name"), hex_code(colour["color"]),
                                   _percent(colour["percentage"]))))


def draw_palette(colors: list, title: str, subtitle: str):
    """The figure of an extract result: a strip of swatches, each as wide as
    its share, labelled where the words fit, the others in a legend."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    from matplotlib.patches import Rectangle

    strip_top, strip_height = 0.85, 2.0
    fig = Figure(figsize=(WIDTH, 4), dpi=DPI, facecolor=_rgb(PAGE))
    renderer = FigureCanvasAgg(fig).get_renderer()
    total = sum(float(c["percentage"]) for c in colors) or 1.0
    px_per_share = (WIDTH - 2 * MARGIN) * DPI / total

    def fits(colour) -> bool:
        # words measure the same on any figure of this resolution
        text = fig.text(0, 0, _label(colour), fontsize=9, linespacing=1.4, parse_math=False)
        box = text.get_window_extent(renderer)
        text.remove()
        return box.width <= float(colour["percentage"]) * px_per_share - 10 and box.height <= strip_height * DPI - 10

    labelled = [fits(colour) for colour in colors]
    unlabelled = [colour for colour, inside in zip(colors, labelled) if not inside]
    columns = LEGEND_COLUMNS
    row = LEGEND_ROW + (0.18 if any(c.get("name") for c in unlabelled) else 0.0)  # a second line
    legend_height = (row * -(-len(unlabelled) // columns) + 0.15) if unlabelled else 0.0
    height = strip_top + strip_height + 0.2 + legend_height
    fig.set_size_inches(WIDTH, height)
    _heading(fig, height, title, subtitle)
    ax = fig.add_axes((MARGIN / WIDTH, 1 - (strip_top + strip_height) / height,
                       1 - 2 * MARGIN / WIDTH, strip_height / height))
    ax.set_axis_off()
    ax.set_xlim(0, total)
    ax.set_ylim(0, 1)
    left = 0.0
    for colour, inside in zip(colors, labelled):
        rgb, share = colour["color"], float(colour["percentage"])
        border = needs_border(rgb)
        ax.add_patch(Rectangle((left, 0), share, 1, facecolor=_rgb(rgb), linewidth=0.8 if border else 0,
                               edgecolor=OUTLINE if border else "none"))
        if inside:
            ax.text(left + share / 2, 0.5, _label(colour), ha="center", va="center", fontsize=9,
                    linespacing=1.4, color=_rgb(label_colour(rgb)), parse_math=False)
        left += share
    if unlabelled:
        _legend(fig, unlabelled, height, strip_top + strip_height + 0.22, columns, row)
    if not colors:
        ax.text(0.5, 0.5, "no colours found (is the mask empty?)", ha="center", va="center",
                fontsize=10, color=MUTED)
    return fig


def _legend(fig, colours: list, height: float, top: float, columns: int, row: float) -> None:
    """The colours too narrow for their words, in rows read left to right."""
    from matplotlib.patches import Rectangle

    column = (WIDTH - 2 * MARGIN) / columns
    for i, colour in enumerate(colours):
        rgb = colour["color"]
        x = MARGIN + (i % columns) * column
        y = top + (i // columns) * row
        border = needs_border(rgb)
        fig.add_artist(Rectangle((x / WIDTH, 1 - (y + 0.17) / height), 0.26 / WIDTH, 0.17 / height,
                                 transform=fig.transFigure, facecolor=_rgb(rgb), linewidth=0.8 if border else 0,
                                 edgecolor=OUTLINE if border else "none"))
        words = "  ".join(filter(None, (hex_code(rgb), _percent(colour["percentage"]))))
        fig.text((x + 0.36) / WIDTH, 1 - (y + 0.085) / height, words, fontsize=9, color=INK, va="center",
                 parse_math=False)
        if colour.get("name"):
            fig.text((x + 0.36) / WIDTH, 1 - (y + 0.27) / height, _shorten(colour["name"], 24), fontsize=8,
                     color=MUTED, va="center", parse_math=False)


def draw_matches(records: dict, targets: dict, kind: str, title: str, subtitle: str,
                 tolerances=(2.0, 5.0, 10.0)):
    """The figure of a match result: a row per target, its swatch beside
    the photo's nearest colour, with the band and the figures."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    from matplotlib.patches import Rectangle

    row, head = 0.62, 1.15
    height = head + row * max(1, len(records)) + 0.25
    fig = Figure(figsize=(WIDTH, height), dpi=DPI, facecolor=_rgb(PAGE))
    FigureCanvasAgg(fig)
    _heading(fig, height, title, subtitle)
    # one axes over the whole figure, in inches from the top left
    ax = fig.add_axes((0, 0, 1, 1))
    ax.set_axis_off()
    ax.set_xlim(0, WIDTH)
    ax.set_ylim(height, 0)
    name_right, swatch, swatch_left = 2.3, 0.78, 2.45
    info_left = swatch_left + 2 * swatch + 0.25
    for x, words, align in ((swatch_left + swatch / 2, "target", "center"),
                            (swatch_left + 1.5 * swatch, "nearest", "center"), (info_left, "band", "left")):
        ax.text(x, head - 0.12, words, ha=align, va="bottom", fontsize=8, color=MUTED)
    for i, (name, record) in enumerate(records.items()):
        top = head + i * row
        middle = top + (row - 0.08) / 2
        target, found = targets[name], nearest(record, kind)
        ax.text(name_right, middle - 0.08, _shorten(str(name), 30), ha="right", va="center", fontsize=10,
                fontweight="bold", color=INK, parse_math=False)
        ax.text(name_right, middle + 0.13, hex_code(target), ha="right", va="center", fontsize=8, color=MUTED)
        for left, rgb in ((swatch_left, target), (swatch_left + swatch, found)):
            border = needs_border(rgb)
            ax.add_patch(Rectangle((left, top), swatch, row - 0.08, facecolor=_rgb(rgb),
                                   edgecolor=OUTLINE if border else "none", linewidth=0.8 if border else 0))
        ax.text(swatch_left + 1.5 * swatch, middle, hex_code(found), ha="center", va="center", fontsize=7.5,
                color=_rgb(label_colour(found)))
        key, words = band(record, kind, tolerances)
        ax.text(info_left, middle - 0.08, words, ha="left", va="center", fontsize=10, fontweight="bold",
                color=BAND_INK[key])
        ax.text(info_left, middle + 0.13, _figures(record, kind, tolerances), ha="left", va="center", fontsize=8,
                color=MUTED)
    if not records:
        ax.text(MARGIN, head + 0.2, "no colours found (is the mask empty?)", fontsize=10, color=MUTED)
    return fig


def _figures(record: dict, kind: str, tolerances) -> str:
    if kind == "delta_e":
        within = "  ·  ".join(f"≤{t:g}: {_percent(record[f'{word}_share'])}"
                              for word, t in zip(("match", "close", "similar"), tolerances))
        return f"ΔE2000 {float(record['delta_e']):.1f}  ·  pixels {within}"
    if kind == "pixels":
        return (f"share ≤15: {_percent(record['very_close_percentage'])}  ·  ≤30: {_percent(record['close_percentage'])}"
                f"  ·  ≤50: {_percent(record['total_percentage'])}")
    return (f"similarity {_percent(record['similarity'])}  ·  share {_percent(record['percentage'])}"
            f"  ·  distance {float(record['distance']):.1f}")


def save_chart(job, photo: str, result, size: tuple, path: str) -> None:
    """Draws the chart of one photo's result into path (its format from the
    suffix)."""
    from velmora_huebit.photos.sources import display_name

    title = os.path.basename(display_name(photo)) or display_name(photo)
    analysed = "{}×{} px analysed".format(*size)
    if job.command == "extract":
        count = len(result)
        names = f"  ·  {job.names.upper() if job.names in ('css', 'xkcd') else job.names} names" if job.names else ""
        fig = draw_palette(result, title, f"{count} colour{'s' * (count != 1)}{names}  ·  {analysed}")
    else:
        fig = draw_matches(result, job.targets, job.kind, title, f"{match_settings(job)}  ·  {analysed}",
                           job.tolerances)
    make_folder(path)
    fig.savefig(path, dpi=DPI, facecolor=fig.get_facecolor())
