"""--export: each photo's palette written to files, in the format the
extension names. colours.read_palette reads every one of them back (so an
exported palette serves as --targets), and the tools each is for read them:

- .gpl: a GIMP palette (also Inkscape and Krita)
- .ase: Adobe Swatch Exchange (Photoshop, Illustrator, InDesign): a group
  named after the photo holding its colours as RGB
- .css: custom properties --color-1 ... in share order, name and share in
  comments
- .json: the photo's record as --json prints it
- .hex: one hex code per line, as palette sites share them
- .png, .svg: swatch images with hex code, name and share under each
  colour (the .png keeps its palette as JSON in a text chunk)

A template without {stem} in a library format (.ase, .gpl, .css, .json,
.hex) is one file for the whole run, a section per photo: an .ase group,
a .gpl comment line, a .css :root block of --STEM-1 ..., a .json
{"photos": [record, ...]}, a blank line between .hex lists. It grows in a
part file beside it as the photos come, and is put together when the run
ends, however it ends.

Files are written in the main process as the photos' records come, each
whole or not at all."""

from __future__ import annotations

import functools
import io
import json
import os
import re
import struct
import tempfile
from typing import IO, Callable
from html import escape

from velmora_huebit._version import version
from velmora_huebit.errors import SettingError
from velmora_huebit.outputs.folders import ensure_folder, make_folder
from velmora_huebit.colour.parse import PNG_KEY
from velmora_huebit.photos.sources import display_name
from velmora_huebit.colour.space import hex_code
from velmora_huebit.outputs.records import json_record
from velmora_huebit.analysis.job import Job, Outcome


class Swatch:
    """One colour of a palette as the files show it."""

    def __init__(self, record: dict):
        self.rgb = tuple(int(c) for c in record["color"])
        self.hex = hex_code(self.rgb)
        self.share = float(record["percentage"])
        self.name = record.get("name")

    @property
    def label(self) -> str:
        return self.name or self.hex


_CONTROL = re.compile(r"[\x00-\x1f\x7f-\x9f]")


def _one_line(text: str) -> str:
    return _CONTROL.sub("?", text)


def _about(title: str, swatches: list[Swatch]) -> str:
    count = f"{len(swatches)} colour" + ("" if len(swatches) == 1 else "s")
    return f"{_one_line(title)}: {count}, largest share first (velmora-huebit {version()})"


def _gpl(title: str, swatches: list[Swatch], record: dict) -> bytes:
    stem = os.path.splitext(os.path.basename(title))[0]
    lines = ["GIMP Palette", f"Name: {_one_line(stem)}", f"Columns: {len(swatches)}", f"# {_about(title, swatches)}"]
    lines += [f"{r:3d} {g:3d} {b:3d}\t{_one_line(s.label)}" for s in swatches for r, g, b in [s.rgb]]
    return ("\n".join(lines) + "\n").encode("utf-8")


def _ase_name(text: str) -> bytes:
    units = text[:1000].encode("utf-16-be", "surrogatepass") + b"\x00\x00"
    return struct.pack(">H", len(units) // 2) + units


def _ase_block(kind: int, body: bytes) -> bytes:
    return struct.pack(">HI", kind, len(body)) + body


def _ase_group(title: str, swatches: list[Swatch]) -> list[bytes]:
    stem = os.path.splitext(os.path.basename(title))[0]
    blocks = [_ase_block(0xC001, _ase_name(stem))]  # group start
    for s in swatches:
        values = struct.pack(">3f", *(c / 255 for c in s.rgb))
        blocks.append(_ase_block(0x0001, _ase_name(s.label) + b"RGB " + values + struct.pack(">H", 2)))  # 2: normal
    blocks.append(_ase_block(0xC002, b""))  # group end
    return blocks


def _ase_head(blocks: int) -> bytes:
    return b"ASEF" + struct.pack(">HHI", 1, 0, blocks)


def _ase(title: str, swatches: list[Swatch], record: dict) -> bytes:
    blocks = _ase_group(title, swatches)
    return _ase_head(len(blocks)) + b"".join(blocks)


def _css_comment(text: str) -> str:
    return _one_line(text).replace("*/", "* /")


def _css(title: str, swatches: list[Swatch], record: dict) -> bytes:
    lines = [f"/* {_css_comment(_about(title, swatches))} */", ":root {"]
    for rank, s in enumerate(swatches, 1):
        about = f"{s.name}, {s.share:.2f}%" if s.name else f"{s.share:.2f}%"
        lines.append(f"  --color-{rank}: {s.hex}; /* {_css_comment(about)} */")
    lines.append("}")
    return ("\n".join(lines) + "\n").encode("utf-8")


def _json(title: str, swatches: list[Swatch], record: dict) -> bytes:
    # one colour a line: as easy to read as to diff
    fields = [f"  {json.dumps(key)}: {json.dumps(value, ensure_ascii=False)}"
              for key, value in record.items() if key != "colors"]
    colours = ",\n".join(f"    {json.dumps(c, ensure_ascii=False)}" for c in record["colors"])
    return ("{\n" + ",\n".join(fields) + ',\n  "colors": [\n' + colours + "\n  ]\n}\n").encode("utf-8")


def _hex(title: str, swatches: list[Swatch], record: dict) -> bytes:
    return "".join(s.hex[1:] + "\n" for s in swatches).encode("ascii")


# ---- swatch images: one tile per colour, rows of eight, its words below ----------------

TILE, GAP, MARGIN, TITLE_HEIGHT, LINE = 150, 10, 16, 30, 17
PER_ROW = 8


def _layout(swatches: list[Swatch]):
    """The image size and, per swatch, the top-left corner of its tile."""
    columns = max(1, min(len(swatches), PER_ROW))
    rows = max(1, -(-len(swatches) // PER_ROW))
    cell_height = TILE + 3 * LINE + GAP
    width = 2 * MARGIN + columns * TILE + (columns - 1) * GAP
    height = MARGIN + TITLE_HEIGHT + rows * cell_height + MARGIN - GAP
    corners = [(MARGIN + (i % PER_ROW) * (TILE + GAP), MARGIN + TITLE_HEIGHT + (i // PER_ROW) * cell_height)
               for i in range(len(swatches))]
    return width, height, corners


def _lines(s: Swatch) -> list[str]:
    name = s.name if s.name is None or len(s.name) <= 22 else s.name[:21] + "…"
    return [s.hex, *([name] if name else []), f"{s.share:.2f}%"]


@functools.lru_cache(maxsize=None)
def _font(size: int):
    from PIL import ImageFont

    try:
        return ImageFont.load_default(size=size)
    except TypeError:  # Pillow 10.0: one bitmap size only
        return ImageFont.load_default()


def _png(title: str, swatches: list[Swatch], record: dict) -> bytes:
    from PIL import Image, ImageDraw, PngImagePlugin

    width, height, corners = _layout(swatches)
    image = Image.new("RGB", (width, height), "white")
    draw = ImageDraw.Draw(image)
    draw.text((MARGIN, MARGIN), _one_line(os.path.basename(title)), fill="black", font=_font(16))
    font = _font(13)
    for s, (x, y) in zip(swatches, corners):
        # a grey outline keeps a white or pale swatch apart from the page
        draw.rectangle((x, y, x + TILE - 1, y + TILE - 1), fill=s.rgb, outline=(200, 200, 200))
        for n, text in enumerate(_lines(s)):
            draw.text((x, y + TILE + 3 + n * LINE), text, fill=(40, 40, 40), font=font)
    info = PngImagePlugin.PngInfo()
    info.add_text(PNG_KEY, json.dumps(record))  # ASCII: a plain text chunk
    out = io.BytesIO()
    image.save(out, "PNG", pnginfo=info)
    return out.getvalue()


def _svg(title: str, swatches: list[Swatch], record: dict) -> bytes:
    width, height, corners = _layout(swatches)
    parts = [
        '<?xml version="1.0" encoding="UTF-8"?>',
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
        f'viewBox="0 0 {width} {height}" font-family="Helvetica, Arial, sans-serif">',
        f"<title>{escape(_one_line(title))}</title>",
        f'<metadata id="{PNG_KEY.replace(" ", "-")}">{escape(json.dumps(record))}</metadata>',
        f'<rect width="{width}" height="{height}" fill="#ffffff"/>',
        f'<text x="{MARGIN}" y="{MARGIN + 16}" font-size="16" font-weight="bold">'
        f"{escape(_one_line(os.path.basename(title)))}</text>",
    ]
    for s, (x, y) in zip(swatches, corners):
        parts.append(f'<rect x="{x}" y="{y}" width="{TILE}" height="{TILE}" fill="{s.hex}" '
                     f'stroke="#c8c8c8"><title>{escape(_one_line(s.label))}</title></rect>')
        for n, text in enumerate(_lines(s)):
            parts.append(f'<text x="{x}" y="{y + TILE + 14 + n * LINE}" font-size="13" '
                         f'fill="#282828">{escape(_one_line(text))}</text>')
    parts.append("</svg>")
    return ("\n".join(parts) + "\n").encode("utf-8")


WRITERS = {".gpl": _gpl, ".ase": _ase, ".css": _css, ".json": _json, ".hex": _hex, ".png": _png, ".svg": _svg}


# ---- one library for the run ------------------------------------------------------------

LIBRARIES = (".ase", ".gpl", ".css", ".json", ".hex")


def is_library(template: str) -> bool:
    """Whether --export TEMPLATE writes one file for the run (no {stem})."""
    return "{stem}" not in template and os.path.splitext(template)[1].lower() in LIBRARIES


def _ident(stem: str) -> str:
    """A CSS custom property's name from a photo's stem."""
    found = re.sub(r"[^A-Za-z0-9_-]+", "-", stem).strip("-") or "photo"
    return found if re.match(r"[A-Za-z_]", found) else "p-" + found


class Library:
    """One palette file for the run, a section per photo (see the top)."""

    def __init__(self, path: str):
        self.path = path
        self.suffix = os.path.splitext(path)[1].lower()
        self.photos = 0
        self.blocks = 0  # .ase blocks
        self.idents: dict[str, int] = {}
        self.part: IO[bytes] | None = None

    def add(self, title: str, swatches: list[Swatch], record: dict) -> None:
        if self.part is None:
            make_folder(self.path)
            self.part = tempfile.NamedTemporaryFile(dir=os.path.dirname(self.path) or ".", delete=False,
                                                    prefix=f".{os.path.basename(self.path)}.", suffix=".part")
        self.part.write(self._section(title, swatches, record))
        self.photos += 1

    def _section(self, title: str, swatches: list[Swatch], record: dict) -> bytes:
        first = not self.photos
        if self.suffix == ".ase":
            blocks = _ase_group(title, swatches)
            self.blocks += len(blocks)
            return b"".join(blocks)
        if self.suffix == ".gpl":
            return _gpl(title, swatches, record).split(b"\n", 3)[3]  # its comment and colours
        if self.suffix == ".css":
            ident = _ident(os.path.splitext(os.path.basename(title))[0])
            self.idents[ident] = self.idents.get(ident, 0) + 1
            if self.idents[ident] > 1:  # the same stem in two folders
                ident += f"-{self.idents[ident]}"
            lines = [f"/* {_css_comment(_about(title, swatches))} */", ":root {"]
            lines += [f"  --{ident}-{rank}: {s.hex}; /* {_css_comment(f'{s.label}, {s.share:.2f}%')} */"
                      for rank, s in enumerate(swatches, 1)]
            return ("" if first else "\n").encode() + ("\n".join(lines) + "\n}\n").encode("utf-8")
        if self.suffix == ".json":
            return ("" if first else ",\n").encode() + b"    " + json.dumps(record, ensure_ascii=False).encode("utf-8")
        return ("" if first else "\n").encode() + _hex(title, swatches, record)

    def _head(self) -> bytes:
        if self.suffix == ".ase":
            return _ase_head(self.blocks)
        about = f"{self.photos} photo{'s' * (self.photos != 1)}, a section each (velmora-huebit {version()})"
        if self.suffix == ".gpl":
            stem = os.path.splitext(os.path.basename(self.path))[0]
            return f"GIMP Palette\nName: {_one_line(stem)}\n# {about}\n".encode("utf-8")
        if self.suffix == ".css":
            return f"/* {about} */\n".encode()
        if self.suffix == ".json":
            return b'{\n  "photos": [\n'
        return b""

    def close(self) -> None:
        """The file put together (whole, or not at all), and the part removed."""
        if self.part is None:
            return
        part, self.part = self.part, None
        try:
            part.close()
            with open(part.name, "rb") as sections:
                body = sections.read()
            tail = b"\n  ]\n}\n" if self.suffix == ".json" else b""
            _write_whole(self.path, self._head() + body + tail)
        finally:
            os.unlink(part.name)


def check_export_template(template: str) -> None:
    suffix = os.path.splitext(template)[1].lower()
    if suffix not in WRITERS:
        raise SettingError(f"--export {template}: unknown palette format {suffix or '(none)'!r} "
                         f"(use one of: {', '.join(WRITERS)})")
    ensure_folder(template, "--export")


def palette_file(path: str, job: Job, outcome: Outcome, photo: str) -> bytes:
    """The bytes of the palette file at path (its extension names the format)
    for one photo's outcome."""
    record = json_record(photo, job, outcome)
    swatches = [Swatch(c) for c in outcome.result]
    return WRITERS[os.path.splitext(path)[1].lower()](display_name(photo), swatches, record)


def _write_whole(path: str, data: bytes) -> None:
    """A reader never sees half a file, nor a killed run leave one."""
    temporary = os.path.join(os.path.dirname(path), f".{os.path.basename(path)}.{os.getpid()}.part")
    make_folder(path)
    try:
        with open(temporary, "wb") as file:
            file.write(data)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


class Exporter:
    """Writes the palette files of each photo as its outcome comes. paths_of
    gives (and forgets) the files of a photo."""

    def __init__(self, job: Job, paths_of: Callable[[str], tuple], warn: Callable[[str, str], None],
                 libraries: tuple = ()):
        self.job = job
        self.paths_of = paths_of
        self.warn = warn
        self.libraries = {template: Library(template) for template in libraries}
        self.unwritten: dict[str, str] = {}  # library -> why it cannot be written

    def write(self, photo: str, outcome: Outcome) -> list[str]:
        """The problems, as words; the colours stand when a file fails."""
        paths = self.paths_of(photo)
        if outcome.result is None:
            return []
        problems = []
        if outcome.result:
            self._add(photo, outcome)
        for path in paths:
            if not outcome.result:
                self.warn(photo, f"no colours found, palette {display_name(path)} not written")
                continue
            try:
                _write_whole(path, palette_file(path, self.job, outcome, photo))
            except OSError as exc:
                problems.append(f"palette {display_name(path)}: {exc.strerror or exc}")
        return problems

    def _add(self, photo: str, outcome: Outcome) -> None:
        record = json_record(photo, self.job, outcome)
        swatches = [Swatch(c) for c in outcome.result]
        for path, library in self.libraries.items():
            if path in self.unwritten:
                continue
            try:
                library.add(display_name(photo), swatches, record)
            except OSError as exc:
                self.unwritten[path] = exc.strerror or str(exc)

    def close(self) -> list[str]:
        """Puts the libraries together; the problems, as words."""
        for path, library in self.libraries.items():
            try:
                library.close()
            except OSError as exc:
                self.unwritten.setdefault(path, exc.strerror or str(exc))
        return [f"palette {display_name(path)}: {why}" for path, why in self.unwritten.items()]
