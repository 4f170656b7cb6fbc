"""--report FILE.html: one page showing a run to a person.

On top a summary (photos, failures, photos with warnings, the most common
colours by the number of photos that have them, or how often
each target was found, in which band), then the photos that failed with
their reasons, then a card per photo: its thumbnail, its palette as a strip
of shares and as a list (hex code, name, share), or for match each target
beside the photo's nearest colour with its band, and the photo's warnings
(a photo whose palette is doubtful, status "warning", is marked so).

A small run gives one self-contained file: the thumbnails are data: URIs.
Past INLINE_LIMIT photos the thumbnails go to a folder beside the page
(FILE_files/, as browsers save pages) and are loaded lazily, and the cards
are skipped by the browser's layout until scrolled to, so a run of tens of
thousands of photos opens at once. The page is streamed: cards go to a part
file as the photos come and the page is put together when the run ends,
however it ends, so memory holds neither the thumbnails nor the cards;
only the tallies of the summary and the failures' lines.

For designers: a click on a swatch copies its hex code (its RGB and OKLCH
have buttons of their own); each colour says whether black or white text
reads on it, with the WCAG contrast, and each palette which of its pairs
carry body text (AA, AAA); the swatch roles are marked, and the summary
shows the run's combined palette with its roles. The photos can be sorted
and filtered by their nearest colour to one chosen (CIEDE2000, worked out
in the page). The page follows the system's dark setting and prints one
card per block without its controls. Links to the photos and the
thumbnails' folder are relative to the page, so that the folder holding
both can be zipped and opened elsewhere.

Every text that comes from outside (file names, target and colour names,
messages) is escaped: a photo called <script>.png is shown, not run."""

from __future__ import annotations

import base64
import contextlib
import datetime
import html
import os
import pathlib
import re
import shutil
import tempfile
import urllib.parse
from typing import IO

from velmora_huebit._version import version
from velmora_huebit.errors import OutputError, SettingError
from velmora_huebit.outputs.folders import ensure_folder
from velmora_huebit.analysis.job import match_settings, status
from velmora_huebit.photos.sources import display_name
from velmora_huebit.photos.storage import is_url
from velmora_huebit.colour.roles import pick_roles
from velmora_huebit.colour.space import hex_code, oklch_all, oklch_css
from velmora_huebit.colour.swatches import (band, bands, label_colour, target_share,
                                         nearest, needs_border, readable_pairs, text_colour)

PAIRS_SHOWN = 6  # a palette's readable pairs shown on its card, the highest contrast first
INLINE_LIMIT = 100  # photos whose thumbnails are written into the page itself
THUMBNAIL_SIDE = 240  # pixels: sharp at the cards' 200 CSS pixels on most screens
COMMON = 16  # colours in the summary
FAILURES_SHOWN = 10_000  # failures listed one by one; the rest are counted
_THUMBNAIL_NAME = re.compile(r"\d{6,}\.jpg")

# the program named in the page's title and its generator tag
GENERATOR = "velmora-huebit"


def check_report_path(path: str) -> None:
    if os.path.splitext(path)[1].lower() not in (".html", ".htm"):
        raise SettingError(f"--report {path}: the report is an HTML page; name it FILE.html")
    ensure_folder(path, "--report")
    folder = os.path.dirname(path) or "."
    if not os.access(folder, os.W_OK | os.X_OK):
        raise SettingError(f"--report {path}: cannot write in {folder}")
    if os.path.isdir(path):
        raise SettingError(f"--report {path}: is a folder")


def _e(text) -> str:
    return html.escape(str(text), quote=True)


def _chip(rgb, text: str = "", cls: str = "sw") -> str:
    """A colour as a span, its text in black or white, outlined when light."""
    border = " edge" if needs_border(rgb) else ""
    return (f'<span class="{cls}{border}" style="background:{hex_code(rgb)};color:{hex_code(label_colour(rgb))}">'
            f"{_e(text)}</span>")


def _copy(text: str) -> str:
    """A button that copies the text it shows (the page's script does it)."""
    return f'<button class="copy">{_e(text)}</button>'


def _swatch(rgb) -> str:
    """A colour as a button showing its hex code in the label colour that
    reads on it; a click copies the code."""
    code = hex_code(rgb)
    border = " edge" if needs_border(rgb) else ""
    return f'<button class="sw{border}" style="background:{code};color:{hex_code(label_colour(rgb))}">{code}</button>'


def _role_name(role: str) -> str:
    return role.replace("_", " ")


def _colour_row(rgb, name: str | None, share: str, role: str | None, found=None) -> str:
    """One colour of a list: its swatch, name and share, its role, and given
    its oklch() (found) its RGB and OKLCH to copy and the WCAG contrast of
    the text on its swatch."""
    tag = f'<span class="role">{_role_name(role)}</span>' if role else ""
    more = ""
    if found is not None:
        r, g, b = (int(c) for c in rgb)
        more = (f'<span class="more">{_copy(f"rgb({r} {g} {b})")}{_copy(oklch_css(rgb, found))}'
                f'<span class="on">{text_colour(rgb)[1]:.2f}:1</span>{tag}</span>')
        tag = ""
    return (f'<li>{_swatch(rgb)}<span class="name" title="{_e(name or "")}">{_e(name or "")}</span>'
            f'{tag}<span class="share">{share}</span>{more}</li>')


def _pairs(colours: list) -> str:
    """The palette's pairs that carry body text, as samples of one on the other."""
    found = sorted(readable_pairs(colours), key=lambda pair: -pair[2])
    if not found:
        return '<p class="pairs none">no pair reaches WCAG AA for text</p>'
    samples = "".join(
        f'<span class="pair {level.lower()}" style="background:{hex_code(colours[i])};color:{hex_code(colours[j])}" '
        f'title="{hex_code(colours[j])} on {hex_code(colours[i])}: contrast {ratio:.2f}, WCAG {level}">'
        f"Aa {ratio:.1f} {level}</span>" for i, j, ratio, level in found[:PAIRS_SHOWN])
    more = f'<span class="more-pairs">+{len(found) - PAIRS_SHOWN}</span>' if len(found) > PAIRS_SHOWN else ""
    return f'<p class="pairs"><span class="label">Text pairs</span>{samples}{more}</p>'


def _share(value) -> str:
    return f"{float(value):.1f}\u202f%"


class _Colours:
    """The summary's most common colours: records counted by name where they
    have one, otherwise by a coarse cell of the RGB cube (32 steps a side),
    so the tally stays small over any number of photos."""

    def __init__(self):
        self.cells: dict = {}  # key: [photos, share sum, weighted r, g, b, name]

    def add(self, records: list) -> None:
        seen = set()
        for record in records:
            rgb, share = record["color"], float(record["percentage"])
            name = record.get("name")
            key = name or tuple(int(c) // 32 for c in rgb)
            cell = self.cells.setdefault(key, [0, 0.0, 0.0, 0.0, 0.0, name])
            if key not in seen:
                cell[0] += 1
                seen.add(key)
            cell[1] += share
            for i in range(3):
                cell[2 + i] += share * int(rgb[i])

    def top(self, count: int) -> list:
        # in the photos each is in, as the summary shows them; then by summed share
        ranked = sorted(self.cells.values(), key=lambda cell: (-cell[0], -cell[1]))[:count]
        return [(tuple(round(cell[2 + i] / cell[1]) if cell[1] else 0 for i in range(3)),
                 cell[5], cell[0], cell[1]) for cell in ranked]


class WithReport:
    """An output that also hands each photo to the report."""

    def __init__(self, output, report: "Report"):
        self.output = output
        self.report = report

    def emit(self, path: str, outcome) -> None:
        self.output.emit(path, outcome)
        self.report.emit(path, outcome)


class Report:
    """Collects a run (emit() per analysed photo, failure() per photo or
    argument that failed) and writes the page when the with-block ends."""

    def __init__(self, path: str, job, settings: dict, inline_limit: int = INLINE_LIMIT,
                 title: str | None = None):
        self.path = path
        self.title = title
        self.job = job
        self.settings = settings
        self.inline_limit = inline_limit
        base = os.path.splitext(os.path.basename(path))[0]
        self.folder = os.path.join(os.path.dirname(path), f"{base}_files")
        self.pending: list = []  # (path, outcome) while the thumbnails may still go inline
        self.cards: IO[str] | None = None  # the part file of the cards, once past inline_limit
        self.count = 0
        self.warned = 0
        self.failures: list[tuple[str, str]] = []  # the first FAILURES_SHOWN
        self.failed = 0
        self.last: str | None = None  # the photo emitted last: its chart may fail after its colours came
        self.twice = 0  # photos both analysed and failed
        self.colours = _Colours()
        self.targets = {name: dict.fromkeys((key for key, _ in self._bands()), 0) for name in job.targets or {}}
        self.target_shares = dict.fromkeys(job.targets or {}, 0.0)
        self.started = datetime.datetime.now()

    def _bands(self):
        return bands(self.job.kind, self.job.tolerances)

    def __enter__(self):
        return self

    def __exit__(self, kind, exc, traceback):
        try:
            self._write(interrupted=kind is not None)
        finally:
            if self.cards is not None:
                self.cards.close()
                os.unlink(self.cards.name)
        return False

    # -- what the run tells

    def emit(self, path: str, outcome) -> None:
        self.count += 1
        self.last = path
        self.warned += status(outcome) == "warning"
        if self.job.command == "extract":
            self.colours.add(outcome.result)
        else:
            for name, record in outcome.result.items():
                self.targets[name][band(record, self.job.kind, self.job.tolerances)[0]] += 1
                self.target_shares[name] += target_share(record, self.job.kind)
        try:
            if self.cards is None:
                self.pending.append((path, outcome))
                if len(self.pending) > self.inline_limit:
                    self._to_folder()
            else:
                self._stream(path, outcome)
        except OSError as exc:
            raise OutputError(f"--report {display_name(self.path)}: {exc.strerror or exc}") from exc

    def failure(self, name: str, message: str) -> None:
        self.twice += name == self.last
        self.failed += 1
        if len(self.failures) < FAILURES_SHOWN:
            self.failures.append((display_name(name), message))

    # -- cards

    def _to_folder(self) -> None:
        """Past the limit: thumbnails to files, cards to the part file."""
        os.makedirs(self.folder, exist_ok=True)
        for entry in os.listdir(self.folder):  # a previous run's pictures
            if _THUMBNAIL_NAME.fullmatch(entry):
                os.unlink(os.path.join(self.folder, entry))
        self.cards = tempfile.NamedTemporaryFile("w", encoding="utf-8", dir=os.path.dirname(self.path) or ".",
                                                 prefix=".report-", suffix=".part", delete=False)
        pending, self.pending = self.pending, []
        for number, (path, outcome) in enumerate(pending, 1):
            self._stream(path, outcome, number)

    def _stream(self, path: str, outcome, number: int | None = None) -> None:
        number = number or self.count
        source = None
        if outcome.thumbnail:
            name = f"{number:06d}.jpg"
            with open(os.path.join(self.folder, name), "wb") as file:
                file.write(outcome.thumbnail)
            source = f"{urllib.parse.quote(os.path.basename(self.folder))}/{name}"
        assert self.cards is not None
        self.cards.write(self._card(number, path, outcome, source))

    def _card(self, number: int, path: str, outcome, source: str | None) -> str:
        shown = display_name(path)
        name = os.path.basename(shown) or shown
        link = self._link(path)
        picture = '<div class="thumb none">no picture</div>'
        if source is not None:
            width, height = outcome.size
            scale = min(1.0, THUMBNAIL_SIDE / max(width, height))
            # pictures in files load as they are scrolled to; those in the page are there already
            lazy = "" if source.startswith("data:") else ' loading="lazy"'
            img = (f'<img src="{_e(source)}" alt="{_e(name)}" width="{max(1, round(width * scale))}" '
                   f'height="{max(1, round(height * scale))}"{lazy} decoding="async">')
            picture = f'<a class="thumb" href="{_e(link)}">{img}</a>' if link else f'<div class="thumb">{img}</div>'
        size = "{}×{} px analysed".format(*outcome.size)
        if outcome.full_size and outcome.full_size != outcome.size:
            size += " (of {}×{})".format(*outcome.full_size)
        body = self._palette(outcome.result) if self.job.command == "extract" else self._matches(outcome.result)
        notes = "".join(f'<p class="warn">{_e(w)}</p>' for w in outcome.warnings)
        found = [r["color"] for r in outcome.result] if self.job.command == "extract" else \
            [nearest(r, self.job.kind) for r in outcome.result.values()]
        colours = " ".join(hex_code(rgb) for rgb in found)
        doubtful = status(outcome) == "warning"
        if doubtful:  # said on top: its palette is not to be trusted as it stands
            size += ' · <b class="status">warning</b>'
        return (f'<article class="photo{" doubtful" if doubtful else ""}" id="p{number}" data-n="{number}" '
                f'data-name="{_e(shown.lower())}" data-colours="{colours}">{picture}'
                f'<h3 title="{_e(shown)}">{_e(name)}</h3><p class="size">{size}</p>{body}{notes}</article>\n')

    def _link(self, path: str) -> str | None:
        """The photo's address from the page: relative, so that a folder
        holding both can move; a URL as it is where a browser opens it."""
        if is_url(path):
            return path if path.lower().startswith(("http://", "https://")) else None
        target = os.path.abspath(path)
        try:
            relative = os.path.relpath(target, os.path.dirname(os.path.abspath(self.path)))
        except ValueError:  # another drive
            return pathlib.Path(target).as_uri()
        return urllib.parse.quote(os.fsencode(relative.replace(os.sep, "/")))

    def _palette(self, records: list) -> str:
        if not records:
            return '<p class="none">no colours found (is the mask empty?)</p>'
        strip = "".join(
            f'<span style="flex-grow:{float(r["percentage"]):.2f};background:{hex_code(r["color"])}" '
            f'title="{hex_code(r["color"])} {_share(r["percentage"])}"></span>' for r in records)
        roles = {index: role for role, index in
                 pick_roles([(r["color"], r["percentage"]) for r in records]).items() if index is not None}
        rows = "".join(_colour_row(r["color"], r.get("name"), _share(r["percentage"]), roles.get(i), found)
                       for i, (r, found) in enumerate(zip(records, oklch_all([r["color"] for r in records]))))
        return (f'<div class="strip">{strip}</div><ul class="colours">{rows}</ul>'
                f'{_pairs([r["color"] for r in records])}')

    def _matches(self, records: dict) -> str:
        if not records:
            return '<p class="none">no colours found (is the mask empty?)</p>'
        kind = self.job.kind
        rows = []
        for name, record in records.items():
            key, words = band(record, kind, self.job.tolerances)
            found = nearest(record, kind)
            share = target_share(record, kind)
            if kind == "delta_e":
                words = f"{words}, nearest ΔE2000 {record['delta_e']:.1f}"
            rows.append(
                f'<li class="band-{key}"><span class="pair">{_chip(self.job.targets[name], cls="sq")}'
                f'{_chip(found, cls="sq")}</span><span class="tname" title="{_e(name)}: nearest '
                f'{hex_code(found)}">{_e(name)}</span><span class="band">{_e(words)}</span>'
                f'<span class="share">{_share(share)}</span></li>')
        return f'<ul class="targets">{"".join(rows)}</ul>'

    # -- the page

    def _write(self, interrupted: bool) -> None:
        partial = f"{self.path}.tmp"
        try:
            self._put_together(partial, interrupted)
        except OSError as exc:
            with contextlib.suppress(OSError):
                os.unlink(partial)
            raise OutputError(f"--report {display_name(self.path)}: {exc.strerror or exc}") from exc

    def _put_together(self, partial: str, interrupted: bool) -> None:
        with open(partial, "w", encoding="utf-8") as page:
            page.write(self._head())
            page.write(self._summary(interrupted))
            page.write(self._failures())
            page.write(f'<section id="photos"><h2>Photos</h2>{self._filter()}<div class="grid">\n')
            if self.cards is None:
                for number, (path, outcome) in enumerate(self.pending, 1):
                    source = None
                    if outcome.thumbnail:
                        source = "data:image/jpeg;base64," + base64.b64encode(outcome.thumbnail).decode("ascii")
                    page.write(self._card(number, path, outcome, source))
            else:
                self.cards.flush()
                with open(self.cards.name, encoding="utf-8") as cards:
                    shutil.copyfileobj(cards, page)
            if not self.count:
                page.write('<p class="none">no photo was analysed</p>')
            page.write(f'</div></section><div id="toast" role="status" aria-live="polite"></div>{_SCRIPT}</body></html>\n')
        os.replace(partial, self.path)

    def _head(self) -> str:
        total = self.count + self.failed - self.twice
        title = self.title or f"{GENERATOR} {self.job.command}: {total} photo{'s' * (total != 1)}"
        return (f'<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
                f'<meta name="viewport" content="width=device-width, initial-scale=1">'
                f'<meta name="generator" content="{GENERATOR} {_e(version())}">'
                f"<title>{_e(title)}</title><style>{_STYLE}</style></head><body>\n"
                f"<header><h1>{_e(title)}</h1><p class=\"run\">{_e(self._run_line())}</p></header>\n")

    def _run_line(self) -> str:
        s, job = self.settings, self.job
        words = []
        if job.kind in ("extract", "similarity"):  # the dominant colours are found first
            words += [f"{s.get('n_colors', '?')} colours", s.get("algorithm", "kmeans"),
                      "RGB" if not s.get("lab_space", True) else "L*a*b*"]
        if s.get("preprocessing"):
            words.append("preprocessed")
        words.append(f"max side {job.max_side}" if job.max_side else "full size")
        if job.command == "match":
            words.append(match_settings(job))
        if job.command == "extract" and job.view.sort != "share":
            words.append(f"sorted by {job.view.sort}")
        words.append(self.started.strftime("%Y-%m-%d %H:%M"))
        return " · ".join(words)

    def _summary(self, interrupted: bool) -> str:
        failed = self.failed
        stats = [f'<div class="stat"><b>{self.count}</b> analysed</div>',
                 f'<div class="stat{" bad" if failed else ""}"><b>{failed}</b> failed</div>']
        if self.warned:
            stats.append(f'<div class="stat warned"><b>{self.warned}</b> with warnings</div>')
        parts = ['<section id="summary">']
        if interrupted:
            parts.append('<p class="interrupted">The run was cut short: this page shows the photos done by then.</p>')
        parts.append(f'<div class="stats">{"".join(stats)}</div>')
        if self.job.command == "extract":
            common = self.colours.top(COMMON)
            if common:
                roles = pick_roles([(rgb, share) for rgb, _, _, share in common])
                role_of = {index: role for role, index in roles.items() if index is not None}
                items = "".join(_colour_row(rgb, name, f'{photos} photo{"s" * (photos != 1)}', role_of.get(i))
                                for i, (rgb, name, photos, _) in enumerate(common))
                cells = "".join(
                    f'<li><span class="role">{_role_name(role)}</span>'
                    + (_swatch(common[index][0]) if index is not None else '<span class="sw empty">none</span>')
                    + "</li>" for role, index in roles.items())
                parts.append(f'<h2>Most common colours</h2><ol class="common">{items}</ol>'
                             f'<h2>Roles of the run\'s palette</h2><ul class="roles">{cells}</ul>')
        elif self.targets:
            found_bands = self._bands()
            head = "".join(f'<th class="band-{key}">{_e(words)}</th>' for key, words in found_bands)
            rows = []
            for name, counts in self.targets.items():
                found = self.count - counts["none"]
                bar = "".join(f'<span class="band-{key}" style="flex-grow:{counts[key]}" '
                              f'title="{_e(words)}: {counts[key]}"></span>' for key, words in found_bands)
                mean = self.target_shares[name] / self.count if self.count else 0.0
                cells = "".join(f"<td>{counts[key]}</td>" for key, _ in found_bands)
                rgb = self.job.targets[name]
                rows.append(f'<tr><th scope="row">{_chip(rgb, cls="sq")}<span class="tname">{_e(name)}</span> '
                            f'<span class="hex">{hex_code(rgb)}</span></th>'
                            f'<td class="found">{found} of {self.count}</td><td><div class="bar">{bar}</div></td>'
                            f'{cells}<td>{_share(mean)}</td></tr>')
            within = f" (ΔE2000 ≤ {self.job.tolerances[-1]:g})" if self.job.kind == "delta_e" else ""
            parts.append(f'<h2>Targets</h2><table class="targets"><thead><tr><th>target</th><th>found in</th>'
                         f'<th></th>{head}<th>mean share{within}</th></tr></thead><tbody>{"".join(rows)}</tbody></table>')
        parts.append("</section>\n")
        return "".join(parts)

    def _failures(self) -> str:
        if not self.failures:
            return ""
        items = "".join(f'<li><span class="file">{_e(name)}</span><span class="reason">{_e(message)}</span></li>'
                        for name, message in self.failures)
        count = self.failed
        if count > len(self.failures):
            items += f'<li class="more">and {count - len(self.failures)} more (each named on standard error)</li>'
        opened = " open" if count <= 20 else ""
        return (f'<section id="failures"><details{opened}><summary><h2>{count} failed</h2></summary>'
                f'<ul class="failures">{items}</ul></details></section>\n')

    def _filter(self) -> str:
        if self.count < 2:
            return ""
        return ('<div id="controls"><input id="filter" type="search" placeholder="Filter by file name" '
                'aria-label="Filter the photos by file name">'
                '<label>Sort <select id="order"><option value="run">as analysed</option>'
                '<option value="name">by name</option><option value="near">nearest to colour</option></select></label>'
                '<label>Colour <input id="near" type="color" value="#c0392b"></label>'
                '<label>within ΔE2000 <input id="within" type="number" min="0" max="100" step="1" '
                'placeholder="any" aria-label="Show only photos with a colour within this CIEDE2000 difference">'
                '</label><span id="shown" role="status"></span></div>'
                '<p id="legend">Click a swatch or a value to copy it. Each swatch shows its hex code in the text '
                'colour that reads on it (black or white), followed by that text\'s WCAG contrast ratio; '
                '"Text pairs" are a card\'s colours that carry body text on each other (AA from 4.5, AAA from 7).</p>')


_SCRIPT = """<script>
(function () {
  "use strict";
  // sRGB hex to CIE L*a*b* (D65) and CIEDE2000, as colour/space.py works them out
  function lab(hex) {
    var v = [1, 3, 5].map(function (i) {
      var c = parseInt(hex.substr(i, 2), 16) / 255;
      return c <= 0.04045 ? c / 12.92 : Math.pow((c + 0.055) / 1.055, 2.4);
    });
    var xyz = [(0.4124564 * v[0] + 0.3575761 * v[1] + 0.1804375 * v[2]) / 0.95047,
               0.2126729 * v[0] + 0.7151522 * v[1] + 0.0721750 * v[2],
               (0.0193339 * v[0] + 0.1191920 * v[1] + 0.9503041 * v[2]) / 1.08883].map(function (t) {
      return t > 216 / 24389 ? Math.cbrt(t) : (24389 / 27 * t + 16) / 116;
    });
    return [116 * xyz[1] - 16, 500 * (xyz[0] - xyz[1]), 200 * (xyz[1] - xyz[2])];
  }
  function deltaE(p, q) {
    var rad = Math.PI / 180, p7 = Math.pow(25, 7);
    var cm = Math.pow((Math.hypot(p[1], p[2]) + Math.hypot(q[1], q[2])) / 2, 7);
    var g = 0.5 * (1 - Math.sqrt(cm / (cm + p7)));
    var a1 = (1 + g) * p[1], a2 = (1 + g) * q[1];
    var c1 = Math.hypot(a1, p[2]), c2 = Math.hypot(a2, q[2]);
    var h1 = (Math.atan2(p[2], a1) / rad + 360) % 360, h2 = (Math.atan2(q[2], a2) / rad + 360) % 360;
    var grey = c1 * c2 === 0, dh = h2 - h1;
    dh = grey ? 0 : dh > 180 ? dh - 360 : dh < -180 ? dh + 360 : dh;
    var dL = q[0] - p[0], dC = c2 - c1, dH = 2 * Math.sqrt(c1 * c2) * Math.sin(dh * rad / 2);
    var l = (p[0] + q[0]) / 2 - 50, c = (c1 + c2) / 2, hs = h1 + h2;
    var h = grey ? hs : Math.abs(h1 - h2) <= 180 ? hs / 2 : hs < 360 ? (hs + 360) / 2 : (hs - 360) / 2;
    var t = 1 - 0.17 * Math.cos((h - 30) * rad) + 0.24 * Math.cos(2 * h * rad)
          + 0.32 * Math.cos((3 * h + 6) * rad) - 0.2 * Math.cos((4 * h - 63) * rad);
    var c7 = Math.pow(c, 7), rt = -Math.sin(60 * Math.exp(-Math.pow((h - 275) / 25, 2)) * rad) * 2 * Math.sqrt(c7 / (c7 + p7));
    var sl = 1 + 0.015 * l * l / Math.sqrt(20 + l * l), sc = 1 + 0.045 * c, sh = 1 + 0.015 * c * t;
    return Math.sqrt(Math.pow(dL / sl, 2) + Math.pow(dC / sc, 2) + Math.pow(dH / sh, 2) + rt * (dC / sc) * (dH / sh));
  }
  window.huebitColour = {lab: lab, deltaE: deltaE};

  // copy: a click on a swatch or a value copies the text it shows
  var toast = document.getElementById("toast"), hide;
  function tell(words) {
    toast.textContent = words;
    toast.className = "on";
    clearTimeout(hide);
    hide = setTimeout(function () { toast.className = ""; }, 1600);
  }
  function byHand(text) {  // where the clipboard API is refused
    var area = document.createElement("textarea");
    area.value = text;
    document.body.appendChild(area);
    area.select();
    var done = document.execCommand("copy");
    area.remove();
    return done;
  }
  document.addEventListener("click", function (event) {
    var button = event.target.closest("button.sw, button.copy");
    if (!button) return;
    var text = button.textContent;
    var copied = navigator.clipboard ? navigator.clipboard.writeText(text) : Promise.reject();
    copied.then(function () { tell("Copied " + text); }, function () {
      tell(byHand(text) ? "Copied " + text : "Could not copy " + text);
    });
  });

  // sort and filter the photos
  var cards = [].slice.call(document.querySelectorAll("article.photo"));
  var box = document.getElementById("filter"), order = document.getElementById("order");
  var near = document.getElementById("near"), within = document.getElementById("within");
  var shown = document.getElementById("shown");
  if (!box) return;
  var labs = new Map();
  function distance(card, target) {  // to the card's nearest colour
    var best = Infinity, hexes = card.dataset.colours.split(" ");
    for (var i = 0; i < hexes.length; i++) {
      if (!hexes[i]) continue;
      if (!labs.has(hexes[i])) labs.set(hexes[i], lab(hexes[i]));
      best = Math.min(best, deltaE(target, labs.get(hexes[i])));
    }
    return best;
  }
  function update() {
    var words = box.value.trim().toLowerCase(), limit = parseFloat(within.value);
    var byColour = order.value === "near" || !isNaN(limit), target = lab(near.value);
    var count = 0;
    cards.forEach(function (card) {
      card.distance = byColour ? distance(card, target) : 0;
      var hide = (words !== "" && card.dataset.name.indexOf(words) < 0) || (!isNaN(limit) && !(card.distance <= limit));
      if (card.hidden !== hide) card.hidden = hide;
      count += !hide;
    });
    // the grid's order property places the cards: moving 10,000 of them in the document takes minutes
    var sorted = cards.slice();
    if (order.value === "name") sorted.sort(function (a, b) { return a.dataset.name < b.dataset.name ? -1 : a.dataset.name > b.dataset.name ? 1 : 0; });
    else if (order.value === "near") sorted.sort(function (a, b) { return a.distance - b.distance; });
    sorted.forEach(function (card, place) {
      var wanted = order.value === "run" ? "" : String(place);
      if (card.style.order !== wanted) card.style.order = wanted;
    });
    shown.textContent = count === cards.length ? "" : count + " of " + cards.length + " shown";
  }
  [box, order, near, within].forEach(function (control) { control.addEventListener("input", update); });
})();
</script>"""

_STYLE = """
:root{--ink:#1d1d1f;--muted:#6e6e73;--line:#e3e3e6;--card:#fff;--page:#f5f5f7;
--direct:#1b7f3b;--close:#5a8f1e;--within:#b26a00;--none:#9a9aa0;--bad:#b3261e;--note:#8a5a00;
--well:#ececef;--outline:#b8b8be;--alert:#fff4e5;--alert-line:#f0c27a;color-scheme:light dark}
@media (prefers-color-scheme:dark){:root{--ink:#ececf0;--muted:#a0a0a8;--line:#3a3a40;--card:#1e1e22;
--page:#121214;--direct:#5cc27f;--close:#9bc860;--within:#e0a03c;--bad:#ff8a80;--note:#f0c070;--well:#2a2a2f;
--outline:#55555c;--alert:#3a2c12;--alert-line:#7a5a20}.sw{box-shadow:inset 0 0 0 1px var(--outline)}}
*{box-sizing:border-box}
body{margin:0;padding:24px 32px 48px;background:var(--page);color:var(--ink);
font:14px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,"DejaVu Sans",sans-serif}
h1{font-size:22px;margin:0 0 4px}h2{font-size:16px;margin:22px 0 10px}
.run{color:var(--muted);margin:0}
.stats{display:flex;gap:12px;margin-top:18px;flex-wrap:wrap}
.stat{background:var(--card);border:1px solid var(--line);border-radius:10px;padding:10px 16px;min-width:120px}
.stat b{display:block;font-size:24px}.stat.bad b{color:var(--bad)}
.interrupted{background:var(--alert);border:1px solid var(--alert-line);border-radius:8px;padding:8px 12px}
.sw{display:inline-block;font:12px/1 ui-monospace,"DejaVu Sans Mono",monospace;padding:5px 7px;
border-radius:5px;min-width:72px;text-align:center;border:0}
button.sw,button.copy{cursor:pointer}button.sw:hover,button.copy:hover{outline:2px solid var(--muted)}
.sw.empty{background:var(--well);color:var(--muted)}
.copy{font:11px/1.2 ui-monospace,"DejaVu Sans Mono",monospace;color:var(--muted);background:none;
border:1px solid var(--line);border-radius:4px;padding:1px 4px}
.more{flex-basis:100%;display:flex;flex-wrap:wrap;gap:4px;align-items:center;padding-left:2px}
.on{font-size:11px;color:var(--muted);font-variant-numeric:tabular-nums}
.role{font-size:11px;font-weight:600;border-radius:8px;padding:0 6px;background:var(--well)}
ul.roles{list-style:none;padding:0;margin:0;display:flex;flex-wrap:wrap;gap:10px 18px}
ul.roles li{display:flex;flex-direction:column;gap:4px}
.pairs{display:flex;flex-wrap:wrap;gap:4px;align-items:center;margin:8px 0 0;font-size:11px}
.pairs .label{color:var(--muted);margin-right:2px}.pairs.none{color:var(--muted)}
.pair{padding:2px 5px;border-radius:4px;font-weight:600;box-shadow:inset 0 0 0 1px var(--line)}
#controls{display:flex;flex-wrap:wrap;gap:10px 16px;align-items:center;margin-bottom:14px}
#controls label{display:flex;gap:6px;align-items:center;color:var(--muted)}
#controls select,#controls input{font:inherit;color:inherit;background:var(--card)}
#within{width:70px;padding:4px 6px;border:1px solid var(--line);border-radius:6px}
#shown{color:var(--muted)}#legend{color:var(--muted);font-size:12px;margin:-6px 0 12px}
#toast{position:fixed;bottom:20px;left:50%;transform:translateX(-50%);background:var(--ink);color:var(--page);
padding:8px 14px;border-radius:8px;opacity:0;transition:opacity .2s;pointer-events:none}#toast.on{opacity:1}
.sq{display:inline-block;width:22px;height:22px;vertical-align:middle}
.edge{box-shadow:inset 0 0 0 1px var(--outline)}
ol.common{list-style:none;padding:0;margin:0;display:grid;grid-template-columns:repeat(auto-fill,minmax(280px,320px));gap:6px 24px}
ol.common li,ul.colours li{display:flex;flex-wrap:wrap;align-items:center;gap:4px 8px}ol.common li{flex-wrap:nowrap}
.name{flex:1;min-width:5em;overflow:hidden;text-overflow:ellipsis;white-space:nowrap}
.count,.share{color:var(--muted);font-variant-numeric:tabular-nums;white-space:nowrap}
table.targets{border-collapse:collapse;background:var(--card);border:1px solid var(--line);border-radius:10px}
table.targets th,table.targets td{padding:7px 12px;text-align:left;border-bottom:1px solid var(--line);
font-variant-numeric:tabular-nums;white-space:nowrap}
table.targets thead th{font-weight:600;color:var(--muted);font-size:12px}
table.targets th[scope=row] .tname{margin-left:8px}
.bar{display:flex;width:180px;height:12px;border-radius:6px;overflow:hidden;background:var(--line)}
th.band-direct,li.band-direct .band{color:var(--direct)}th.band-close,li.band-close .band{color:var(--close)}
th.band-within,li.band-within .band{color:var(--within)}th.band-none,li.band-none .band{color:var(--none)}
.bar .band-direct{background:var(--direct)}.bar .band-close{background:var(--close)}
.bar .band-within{background:var(--within)}.bar .band-none{background:#d5d5da}
#failures{margin-top:8px}.hex{color:var(--muted);font-weight:400;font-size:12px}
details summary{cursor:pointer}details summary h2{display:inline}
ul.failures{background:var(--card);border:1px solid var(--line);border-radius:10px;padding:8px 16px;list-style:none}
ul.failures li{padding:4px 0;display:flex;gap:12px;flex-wrap:wrap}
.file{font-family:ui-monospace,"DejaVu Sans Mono",monospace;font-size:12px;word-break:break-all}
.reason{color:var(--bad)}
#filter{font:inherit;padding:7px 10px;border:1px solid var(--line);border-radius:8px;width:min(360px,100%)}
.grid{display:grid;grid-template-columns:repeat(auto-fill,minmax(260px,1fr));gap:16px}
.photo{background:var(--card);border:1px solid var(--line);border-radius:12px;padding:12px;
content-visibility:auto;contain-intrinsic-size:auto 420px}
.photo[hidden]{display:none}
.thumb{display:flex;align-items:center;justify-content:center;height:180px;background:var(--well);border-radius:8px;overflow:hidden}
.thumb img{max-width:100%;max-height:180px;width:auto;height:auto;display:block}
.thumb.none{color:var(--muted)}
.photo h3{font-size:14px;margin:10px 0 0;overflow:hidden;text-overflow:ellipsis;white-space:nowrap}
.size{color:var(--muted);font-size:12px;margin:0 0 8px}
.strip{display:flex;height:26px;border-radius:6px;overflow:hidden;box-shadow:inset 0 0 0 1px rgba(0,0,0,.08)}
.strip span{flex-basis:0;min-width:1px}
ul.colours,ul.targets{list-style:none;padding:0;margin:8px 0 0}
ul.colours li{padding:2px 0}
ul.targets li{display:grid;grid-template-columns:auto 1fr auto;grid-template-areas:"pair name share" "pair band band";
column-gap:10px;padding:5px 0;border-top:1px solid var(--line)}
ul.targets li:first-child{border-top:0}
.pair{grid-area:pair;display:flex}.pair .sq{width:26px;height:36px}
ul.targets .tname{grid-area:name;font-weight:600;overflow:hidden;text-overflow:ellipsis;white-space:nowrap}
ul.targets .band{grid-area:band;font-size:12px;font-weight:600}ul.targets .share{grid-area:share}
.warn{color:var(--note);font-size:12px;margin:8px 0 0}
.photo.doubtful{border-color:var(--alert-line)}.status{color:var(--note)}.stat.warned b{color:var(--note)}
.none{color:var(--muted)}
@media print{
:root{--ink:#000;--muted:#555;--line:#ccc;--card:#fff;--page:#fff;--well:#eee;color-scheme:light}
*{-webkit-print-color-adjust:exact;print-color-adjust:exact}
body{padding:0;font-size:11px}
#controls,#toast,#legend{display:none!important}
.grid{grid-template-columns:repeat(3,1fr);gap:10px}
.photo{break-inside:avoid;page-break-inside:avoid;content-visibility:visible;border-color:#ccc}
button.copy{border:0;padding:0}a{color:inherit;text-decoration:none}
}
"""
