"""Colours as people write them, and palette files read.

A colour is anything Pillow's ImageColor reads (#rgb, #rrggbb, rgb(...),
hsl(...), hsv(...), CSS colour names) or R,G,B with values 0-255.

A palette file is told apart by its content, whatever its name: an Adobe
Swatch Exchange file (.ase), a swatch image that --export wrote (.png,
.svg), a GIMP palette (.gpl), JSON, CSS custom properties, one hex code per line
(.hex), or CSV (name,colour per line; commas, semicolons or tabs). Only
regular files of at most MAX_BYTES are opened (never a FIFO or a device),
and whatever their bytes, reading one ends in a palette or a PaletteError."""

from __future__ import annotations

import csv
import io
import json
import os
import re
import stat
import struct

from velmora_huebit.colour.space import hex_code

_TRIPLE = re.compile(r"[\d\s]+,[\d\s]+,[\d\s]+")
# CSS's newer form with spaces, rgb(228 0 43) or hsl(200 80% 60% / 1), in the commas Pillow reads
_SPACED = re.compile(r"(rgb|hsl|hsv)a?\(\s*([^\s,/()]+)\s+([^\s,/()]+)\s+([^\s,/()]+)\s*(?:/\s*([^\s,/()]+)\s*)?\)",
                     re.IGNORECASE)
_FORMS = "#rgb, #rrggbb, R,G,B, rgb(...), hsl(...) or a CSS colour name"

# Brand palettes hold tens of colours and Adobe's largest libraries a few
# thousand; these bounds keep a mistaken or hostile file from taking the
# memory or turning a match into hours of work.
MAX_BYTES = 4 << 20
MAX_COLOURS = 10_000

FORMATS_READ = ("JSON, CSV (name,colour lines), GIMP .gpl, Adobe .ase, CSS custom properties, "
                "one hex code per line (.hex), and the .png and .svg swatches of --export")

# the text chunk of a swatch image that holds its palette as JSON
PNG_KEY = "velmora-huebit palette"
_PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def parse_color(text: str) -> tuple[int, int, int]:
    """A colour as an (r, g, b) tuple of ints 0-255; ValueError otherwise."""
    from PIL import ImageColor

    written = text.strip()
    if len(written) > 100:
        raise ValueError(f"malformed colour {text[:20]!r}... (longer than any colour)")
    if _TRIPLE.fullmatch(written):
        written = f"rgb({written})"
    elif spaced := _SPACED.fullmatch(written):
        function, *values, alpha = spaced.groups()
        if alpha not in (None, "1", "1.0", "100%"):
            raise ValueError(f"colour {text!r} has transparency; give an opaque colour")
        written = f"{function}({', '.join(values)})"
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


# ---- JSON -------------------------------------------------------------------------

_COLOUR_KEYS = ("hex", "color", "colour", "rgb", "value")


def _json_colour(value, where: str):
    """A colour text, or [r, g, b] as the text R,G,B."""
    if isinstance(value, list) and len(value) == 3 and all(type(c) is int for c in value):
        return ",".join(map(str, value))
    if isinstance(value, str):
        return value
    shown = json.dumps(value)
    raise PaletteError(f"{where}: expected a colour text or [r, g, b], got "
                       f"{shown if len(shown) <= 40 else shown[:37] + '...'}")


def _from_json_list(items: list, where: str):
    """Colours alone, or objects with a colour (hex, color, colour, rgb or
    value) and maybe a name, as --export and other tools write them."""
    for number, item in enumerate(items, 1):
        place = f"{where} {number}"
        if isinstance(item, dict):
            given = [k for k, _ in item.pairs if k in _COLOUR_KEYS or k == "name"]
            if len(given) != len(set(given)):
                twice = next(k for k in given if given.count(k) > 1)
                raise PaletteError(f"{place}: the key {shown_name(twice)!r} given twice")
            key = next((k for k in _COLOUR_KEYS if k in item), None)
            if key is None:
                raise PaletteError(f"{place}: no colour in it (expected one of the keys {', '.join(_COLOUR_KEYS)})")
            colour = _json_colour(item[key], place)
            name = item.get("name")
            if name is not None and not isinstance(name, str):
                raise PaletteError(f"{place}: the name is not a text")
            yield name or None, colour, place
        else:
            yield None, _json_colour(item, place), place


class _Object(dict):
    """A JSON object that keeps every (key, value) pair, a key given twice included."""

    def __init__(self, pairs):
        super().__init__(pairs)
        self.pairs = pairs


def _from_json(text: str):
    try:
        palette = json.loads(text, object_pairs_hook=_Object)
    except json.JSONDecodeError as exc:
        raise PaletteError(f"line {exc.lineno}: not valid JSON ({exc.msg})") from None
    except (ValueError, RecursionError):  # numbers too long, brackets too deep
        raise PaletteError("not valid JSON (nested too deep or numbers too long)") from None
    if isinstance(palette, list):
        return _from_json_list(palette, "item")
    if not isinstance(palette, dict):
        raise PaletteError('expected a JSON object such as {"red": "#e4002b"} or a list of colours')
    photos = palette.get("photos")
    if isinstance(photos, list) and all(isinstance(p, dict) for p in photos):  # a library of --export
        return (entry for p in photos if isinstance(p.get("colors"), list)
                for entry in _from_json_list(p["colors"], "colour"))
    listed = palette.get("colors", palette.get("colours"))
    if isinstance(listed, list):  # a record of --export or --json, or another tool's palette
        return _from_json_list(listed, "colour")
    # a name given twice keeps both colours, numbered as any name that comes again
    return ((name, _json_colour(colour, shown_name(name)), shown_name(name)) for name, colour in palette.pairs)


# ---- CSV, GIMP, hex codes, CSS --------------------------------------------------------------

def _delimiter(text: str) -> str:
    """Semicolons or tabs when every line has one, else commas."""
    lines = [line for line in text.splitlines() if line.strip() and not line.lstrip().startswith("#")]
    for candidate in (";", "\t"):
        if lines and all(candidate in line for line in lines):
            return candidate
    return ","


def _from_csv(text: str):
    rows = csv.reader(io.StringIO(text), delimiter=_delimiter(text))
    read = False
    for number, row in enumerate(rows, 1):
        if not row or not "".join(row).strip() or row[0].lstrip().startswith("#"):
            continue
        if len(row) < 2:
            hint = "" if read else f"; palette files read: {FORMATS_READ}"
            raise PaletteError(f"line {number}: expected name,colour{hint}")
        # unquoted rgb(...) or R,G,B spill over into more fields
        name, colour = row[0].strip(), ",".join(row[1:])
        if number == 1 and any(word in colour.lower() for word in ("colour", "color", "hex", "rgb", "value")):
            try:
                parse_color(colour)
            except ValueError:
                continue  # a header line
        read = True
        yield name, colour, f"line {number}"


def _from_gpl(text: str):
    for number, line in enumerate(text.splitlines(), 1):
        stripped = line.strip()
        if number == 1 or not stripped or stripped.startswith("#") or re.match(r"(Name|Columns):", stripped):
            continue
        fields = stripped.split(None, 3)
        if len(fields) < 3 or not all(f.isascii() and f.isdigit() for f in fields[:3]):
            raise PaletteError(f"line {number}: expected R G B and a name")
        colour = ",".join(fields[:3])
        name = fields[3].strip() if len(fields) > 3 else ""
        if name == "Untitled":  # GIMP's name for unnamed colours
            name = ""
        yield name, colour, f"line {number}"


# six digits with or without '#' (palette sites leave it out), three only with it
_HEX_LINE = re.compile(r"#?[0-9a-fA-F]{6}|#[0-9a-fA-F]{3}")


def _is_hex_list(text: str) -> bool:
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    return bool(lines) and all(_HEX_LINE.fullmatch(line) for line in lines)


def _from_hex(text: str):
    for number, line in enumerate(text.splitlines(), 1):
        if line.strip():
            yield None, "#" + line.strip().lstrip("#"), f"line {number}"


def _without_comments(text: str) -> str:
    """CSS text less its /* comments */ (an unclosed one runs to the end)."""
    kept, start = [], 0
    while (opening := text.find("/*", start)) >= 0:
        kept.append(text[start:opening])
        closing = text.find("*/", opening + 2)
        start = len(text) if closing < 0 else closing + 2
    kept.append(text[start:])
    return " ".join(kept)


_CUSTOM_PROPERTY = re.compile(r"(?:^|[;{\s])(--[A-Za-z_][\w-]*)[ \t\r\n]*:([^;{}]*)")
_COLOUR_VALUE = re.compile(r"#|(rgba?|hsla?|hsv|hwb)\(", re.IGNORECASE)


def _looks_like_css(text: str) -> bool:
    stripped = _without_comments(text).lstrip()
    return stripped.startswith((":root", "--")) or (
        "{" in stripped and _CUSTOM_PROPERTY.search(stripped) is not None)


def _from_css(text: str):
    """The custom properties (--name: colour) of every rule. Values that are
    plainly not colours (4px, var(--x), serif) are passed over, so a file of
    design tokens reads as its colours; a malformed colour is an error."""
    for match in _CUSTOM_PROPERTY.finditer(_without_comments(text)):
        name, value = match.group(1), match.group(2).strip()
        if value[-10:].lower() == "!important":
            value = value[:-10].rstrip()
        if _COLOUR_VALUE.match(value):
            yield name[2:], value, name
            continue
        try:
            parse_color(value)
        except ValueError:
            continue
        yield name[2:], value, name


# ---- binary: Adobe Swatch Exchange, the swatch images of --export --------------------------

def _from_ase(data: bytes):
    """Adobe Swatch Exchange: 'ASEF', version, block count, then blocks of
    (type, length, body); a colour's body is its name (UTF-16 with a final
    NUL, after its length in code units), a model and the values as 32-bit
    floats, all big-endian. Groups are read through."""
    offset = 12
    if len(data) < offset:
        raise PaletteError("Adobe swatch file cut short in its header")
    number = 0
    while offset < len(data):
        number += 1
        where = f"block {number}"
        if len(data) - offset < 6:
            raise PaletteError(f"{where}: cut short")
        kind, length = struct.unpack_from(">HI", data, offset)
        body = data[offset + 6:offset + 6 + length]
        offset += 6 + length
        if len(body) < length:
            raise PaletteError(f"{where}: cut short")
        if kind != 0x0001:  # group start and end, and blocks we need not know
            continue
        if len(body) < 2:
            raise PaletteError(f"{where}: no name")
        units = struct.unpack_from(">H", body)[0]
        end = 2 + 2 * units
        if end + 4 > len(body):
            raise PaletteError(f"{where}: longer name than the block")
        try:
            name = body[2:end].decode("utf-16-be").rstrip("\x00")
        except UnicodeDecodeError:
            raise PaletteError(f"{where}: the name is not UTF-16 text") from None
        model = body[end:end + 4]
        counts = {b"RGB ": 3, b"Gray": 1}
        if model not in counts:
            shown = model.decode("latin-1").strip() or "no"
            raise PaletteError(f"{where} ({name}): {shown!r} colours are not read; give RGB or Gray colours")
        values = body[end + 4:end + 4 + 4 * counts[model]]
        if len(values) < 4 * counts[model]:
            raise PaletteError(f"{where} ({name}): cut short")
        floats = struct.unpack(f">{counts[model]}f", values)
        if not all(0.0 <= v <= 1.0 for v in floats):  # NaN fails too
            raise PaletteError(f"{where} ({name}): values outside 0-1")
        rgb = [round(v * 255) for v in floats] * (3 // counts[model])
        yield name, ",".join(map(str, rgb)), where


def _from_png(data: bytes):
    """The palette a swatch image of --export keeps in a text chunk; the
    chunks are walked without decoding any pixels."""
    offset = len(_PNG_SIGNATURE)
    while offset + 8 <= len(data):
        length, kind = struct.unpack_from(">I4s", data, offset)
        body = data[offset + 8:offset + 8 + length]
        offset += 12 + length
        if kind == b"tEXt" and body.startswith(PNG_KEY.encode("latin-1") + b"\x00"):
            text = body[len(PNG_KEY) + 1:].decode("latin-1")
            return _from_json(text)
        if kind == b"IEND":
            break
    raise PaletteError("a PNG image without a palette in it (swatch images of --export have one)")


def _from_svg(text: str):
    """The palette a swatch image of --export keeps in its metadata."""
    import html

    opening = f'<metadata id="{PNG_KEY.replace(" ", "-")}">'
    start = text.find(opening)
    end = text.find("</metadata>", start)
    if start < 0 or end < 0:
        raise PaletteError("an SVG image without a palette in it (swatch images of --export have one)")
    return _from_json(html.unescape(text[start + len(opening):end]))


# ---- the file -------------------------------------------------------------------------------

_KINDS = [(stat.S_ISDIR, "a folder"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISSOCK, "a socket"),
          (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device")]


def _not_regular(mode: int) -> str:
    kind = next((words for test, words in _KINDS if test(mode)), "not a regular file")
    return f"{kind}, not a palette file"


def _read_bytes(path: str) -> bytes:
    """At most MAX_BYTES + 1 bytes of a regular file. Anything else is refused
    before it is opened; the file is opened without blocking, in case it
    turned into a FIFO meanwhile, and checked once more."""
    try:
        mode = os.stat(path).st_mode
    except ValueError:  # a NUL in the path
        raise PaletteError("no such file") from None
    if not stat.S_ISREG(mode):
        raise PaletteError(_not_regular(mode))
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    with open(fd, "rb", closefd=True) as file:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise PaletteError(_not_regular(info.st_mode))
        if info.st_size > MAX_BYTES:
            raise PaletteError(f"{info.st_size:,} bytes, more than a palette file may have ({MAX_BYTES:,})")
        data = file.read(MAX_BYTES + 1)
    if len(data) > MAX_BYTES:
        raise PaletteError(f"more than the {MAX_BYTES:,} bytes a palette file may have")
    return data


def _text(data: bytes) -> str:
    for bom, encoding in ((b"\xff\xfe", "utf-16-le"), (b"\xfe\xff", "utf-16-be")):
        if data.startswith(bom):  # as Windows editors save "Unicode" text
            return data[len(bom):].decode(encoding)
    return data.decode("utf-8-sig")


def _entries(data: bytes):
    if data.startswith(b"ASEF"):
        return _from_ase(data)
    if data.startswith(_PNG_SIGNATURE):
        return _from_png(data)
    try:
        text = _text(data)
    except UnicodeDecodeError:
        raise PaletteError(f"neither UTF-8 text nor an Adobe swatch file; palette files read: {FORMATS_READ}") from None
    stripped = text.lstrip()
    if stripped.startswith("GIMP Palette"):
        return _from_gpl(stripped)
    if stripped.startswith(("{", "[")):
        return _from_json(text)
    if stripped.startswith("<"):
        return _from_svg(text)
    if _is_hex_list(text):
        return _from_hex(text)
    if _looks_like_css(text):
        return _from_css(text)
    return _from_csv(text)


def shown_name(name: str) -> str:
    """A name as tables and lines may print it: characters that are not
    printable (controls, line separators, direction overrides) escaped."""
    if name.isprintable():
        return name
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode("ascii") for c in name)


def read_palette(path: str) -> list[tuple[str, tuple[int, int, int]]]:
    """(name, rgb) pairs of a palette file, in the file's order. A colour
    without a name is named by its hex code; a name that comes again is
    numbered ("red", "red 2"). OSError when the file cannot be read,
    PaletteError for anything else."""
    data = _read_bytes(path)
    palette, seen = [], {}
    try:
        for name, colour, where in _entries(data):
            try:
                rgb = parse_color(colour)
            except ValueError as exc:
                raise PaletteError(f"{where}: {exc}") from None
            name = shown_name((name or "").strip()) or hex_code(rgb)
            if name in seen:
                # the next number no name of the file has taken ("red 2", "red", "red")
                base = name
                while name in seen:
                    seen[base] += 1
                    name = f"{base} {seen[base]}"
            seen.setdefault(name, 1)
            palette.append((name, rgb))
            if len(palette) > MAX_COLOURS:
                raise PaletteError(f"more than {MAX_COLOURS:,} colours")
    except PaletteError:
        raise
    except (ValueError, RecursionError, csv.Error, struct.error) as exc:  # the last guard: one line, never a traceback
        raise PaletteError(f"unreadable ({exc}); palette files read: {FORMATS_READ}") from None
    if not palette:
        raise PaletteError(f"no colours in it; palette files read: {FORMATS_READ}")
    return palette
