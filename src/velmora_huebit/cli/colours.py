"""Colours as people write them, and palette files.

A colour is anything Pillow's ImageColor reads (#rgb, #rrggbb, rgb(...),
hsl(...), hsv(...), CSS colour names) or R,G,B with values 0-255. A palette
file is JSON ({"name": "colour", ...}), CSV (name,colour per line) or a
GIMP palette (.gpl), told apart by their content."""

from __future__ import annotations

import csv
import io
import json
import re

_TRIPLE = re.compile(r"[\d\s]+,[\d\s]+,[\d\s]+")
_FORMS = "#rgb, #rrggbb, R,G,B, rgb(...), hsl(...) or a CSS colour name"


def parse_color(text: str) -> tuple[int, int, int]:
    """A colour as an (r, g, b) tuple of ints 0-255; ValueError otherwise."""
    from PIL import ImageColor

    written = text.strip()
    if _TRIPLE.fullmatch(written):
        written = f"rgb({written})"
    try:
        rgb = ImageColor.getrgb(written)
    except ValueError:
        raise ValueError(f"malformed colour {text!r} (expected {_FORMS})") from None
    if len(rgb) != 3:
        raise ValueError(f"colour {text!r} has transparency; give an opaque colour")
    if not all(0 <= channel <= 255 for channel in rgb):
        raise ValueError(f"malformed colour {text!r} (values must lie between 0 and 255)")
    return tuple(int(channel) for channel in rgb)


class PaletteError(ValueError):
    """A palette file that cannot be used, with the place of the fault."""


def _from_json(text: str):
    try:
        palette = json.loads(text)
    except json.JSONDecodeError as exc:
        raise PaletteError(f"line {exc.lineno}: not valid JSON ({exc.msg})") from None
    if not isinstance(palette, dict):
        raise PaletteError('expected a JSON object such as {"red": "#e4002b"}')
    for name, colour in palette.items():
        if isinstance(colour, list) and len(colour) == 3 and all(type(c) is int for c in colour):
            colour = ",".join(map(str, colour))
        if not isinstance(colour, str):
            raise PaletteError(f"{name}: expected a colour text or [r, g, b], got {json.dumps(colour)}")
        yield name, colour, name


def _from_csv(text: str):
    for number, row in enumerate(csv.reader(io.StringIO(text)), 1):
        if not row or not "".join(row).strip() or row[0].lstrip().startswith("#"):
            continue
        if len(row) < 2:
            raise PaletteError(f"line {number}: expected name,colour")
        # unquoted rgb(...) or R,G,B spill over into more fields
        name, colour = row[0].strip(), ",".join(row[1:])
        if number == 1 and any(word in colour.lower() for word in ("colour", "color", "hex", "rgb", "value")):
            try:
                parse_color(colour)
            except ValueError:
                continue  # a header line
        yield name, colour, f"line {number}"


def _from_gpl(text: str):
    for number, line in enumerate(text.splitlines(), 1):
        stripped = line.strip()
        if number == 1 or not stripped or stripped.startswith("#") or re.match(r"(Name|Columns):", stripped):
            continue
        fields = stripped.split(None, 3)
        if len(fields) < 3 or not all(f.isdigit() for f in fields[:3]):
            raise PaletteError(f"line {number}: expected R G B and a name")
        colour = ",".join(fields[:3])
        name = fields[3].strip() if len(fields) > 3 else ""
        if not name or name == "Untitled":  # GIMP's name for unnamed colours
            name = "#%02x%02x%02x" % tuple(int(f) for f in fields[:3])
        yield name, colour, f"line {number}"


def read_palette(path: str) -> list[tuple[str, tuple[int, int, int]]]:
    """(name, rgb) pairs of a palette file, in the file's order."""
    with open(path, "rb") as file:
        text = file.read().decode("utf-8-sig")
    stripped = text.lstrip()
    if stripped.startswith("GIMP Palette"):
        entries = _from_gpl(stripped)
    elif stripped.startswith("{"):
        entries = _from_json(text)
    else:
        entries = _from_csv(text)
    palette = []
    for name, colour, where in entries:
        try:
            palette.append((name, parse_color(colour)))
        except ValueError as exc:
            raise PaletteError(f"{where}: {exc}") from None
    if not palette:
        raise PaletteError("no colours in it")
    return palette
