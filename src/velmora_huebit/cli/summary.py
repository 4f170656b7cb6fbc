"""The line that ends every run on standard error: how many photos, how
many failed and how many have warnings, and where the files went."""

from __future__ import annotations

import os

from velmora_huebit.cli.arguments import PROG


def _plural(count: int, noun: str) -> str:
    return f"{count} {noun}{'' if count == 1 else 's'}"


def _folder(template: str) -> str:
    return os.path.join(os.path.dirname(template) or ".", "")


def places(args, exporter=None) -> list[str]:
    """Where the run wrote its files, in words."""
    found = []
    if getattr(args, "output", None):
        found.append(f"table {args.output}")
    if getattr(args, "report", None):
        found.append(f"report {args.report}")
    if getattr(args, "chart", None):
        found.append(f"charts in {_folder(args.chart)}")
    libraries = exporter.libraries if exporter is not None else {}
    palettes = [template if template in libraries else f"{_folder(template)} (a file per photo)"
                for template in getattr(args, "export", None) or ()]
    if palettes:
        found.append("palettes " + ", ".join(dict.fromkeys(palettes)))
    return found


def summary_line(args, tally, exporter=None) -> str:
    """velmora-huebit: 1 of 9 photos failed, 2 with warnings; table colours.parquet, ..."""
    line = f"{PROG}: {tally.failed} of {_plural(tally.count, 'photo')} failed, {tally.warned} with warnings"
    where = places(args, exporter)
    return line + ("; " + ", ".join(where) if where else "")
