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
from velmora_huebit.analysis.job import status
from velmora_huebit.photos.sources import display_name
from velmora_huebit.colour.space import hex_code
from velmora_huebit.colour.swatches import (PIXEL_BANDS, SIMILARITY_BANDS, band, label_colour,
                                         nearest, needs_border)

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

    def __init__(self, path: str, job, settings: dict, inline_limit: int = INLINE_LIMIT):
        self.path = path
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
        bands = PIXEL_BANDS if job.pixels else SIMILARITY_BANDS
        self.targets = {name: dict.fromkeys((key for key, _ in bands), 0) for name in job.targets or {}}
        self.target_shares = dict.fromkeys(job.targets or {}, 0.0)
        self.started = datetime.datetime.now()

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
                self.targets[name][band(record, self.job.pixels)[0]] += 1
                self.target_shares[name] += float(record["total_percentage" if self.job.pixels else "percentage"])
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
        try:
            link = pathlib.Path(os.path.abspath(path)).as_uri()
        except ValueError:
            link = None
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
        doubtful = status(outcome) == "warning"
        if doubtful:  # said on top: its palette is not to be trusted as it stands
            size += ' · <b class="status">warning</b>'
        return (f'<article class="photo{" doubtful" if doubtful else ""}" id="p{number}" '
                f'data-name="{_e(shown.lower())}">{picture}'
                f'<h3 title="{_e(shown)}">{_e(name)}</h3><p class="size">{size}</p>{body}{notes}</article>\n')

    def _palette(self, records: list) -> str:
        if not records:
            return '<p class="none">no colours found (is the mask empty?)</p>'
        strip = "".join(
            f'<span style="flex-grow:{float(r["percentage"]):.2f};background:{hex_code(r["color"])}" '
            f'title="{hex_code(r["color"])} {_share(r["percentage"])}"></span>' for r in records)
        rows = "".join(
            f'<li>{_chip(r["color"], hex_code(r["color"]))}<span class="name" title="{_e(r.get("name") or "")}">'
            f'{_e(r.get("name") or "")}</span>'
            f'<span class="share">{_share(r["percentage"])}</span></li>' for r in records)
        return f'<div class="strip">{strip}</div><ul class="colours">{rows}</ul>'

    def _matches(self, records: dict) -> str:
        if not records:
            return '<p class="none">no colours found (is the mask empty?)</p>'
        pixels = self.job.pixels
        rows = []
        for name, record in records.items():
            key, words = band(record, pixels)
            found = nearest(record, pixels)
            share = record["total_percentage"] if pixels else record["percentage"]
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
            page.write(f"</div></section>{_SCRIPT}</body></html>\n")
        os.replace(partial, self.path)

    def _head(self) -> str:
        total = self.count + self.failed - self.twice
        title = f"{GENERATOR} {self.job.command}: {total} photo{'s' * (total != 1)}"
        return (f'<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
                f'<meta name="viewport" content="width=device-width, initial-scale=1">'
                f'<meta name="generator" content="{GENERATOR} {_e(version())}">'
                f"<title>{_e(title)}</title><style>{_STYLE}</style></head><body>\n"
                f"<header><h1>{_e(title)}</h1><p class=\"run\">{_e(self._run_line())}</p></header>\n")

    def _run_line(self) -> str:
        s, job = self.settings, self.job
        words = []
        if not job.pixels:  # the dominant colours are found first
            words += [f"{s.get('n_colors', '?')} colours", s.get("algorithm", "kmeans"),
                      "RGB" if not s.get("lab_space", True) else "L*a*b*"]
        if s.get("preprocessing"):
            words.append("preprocessed")
        words.append(f"max side {job.max_side}" if job.max_side else "full size")
        if job.command == "match":
            words.append("pixels" if job.pixels else
                         f"threshold {50.0 if job.threshold is None else job.threshold:g}")
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
                items = "".join(
                    f'<li>{_chip(rgb, hex_code(rgb))}<span class="name" title="{_e(name or "")}">{_e(name or "")}</span>'
                    f'<span class="count">{photos} photo{"s" * (photos != 1)}</span></li>'
                    for rgb, name, photos, _ in common)
                parts.append(f'<h2>Most common colours</h2><ol class="common">{items}</ol>')
        elif self.targets:
            bands = PIXEL_BANDS if self.job.pixels else SIMILARITY_BANDS
            head = "".join(f'<th class="band-{key}">{_e(words)}</th>' for key, words in bands)
            rows = []
            for name, counts in self.targets.items():
                found = self.count - counts["none"]
                bar = "".join(f'<span class="band-{key}" style="flex-grow:{counts[key]}" '
                              f'title="{_e(words)}: {counts[key]}"></span>' for key, words in bands)
                mean = self.target_shares[name] / self.count if self.count else 0.0
                cells = "".join(f"<td>{counts[key]}</td>" for key, _ in bands)
                rgb = self.job.targets[name]
                rows.append(f'<tr><th scope="row">{_chip(rgb, cls="sq")}<span class="tname">{_e(name)}</span> '
                            f'<span class="hex">{hex_code(rgb)}</span></th>'
                            f'<td class="found">{found} of {self.count}</td><td><div class="bar">{bar}</div></td>'
                            f'{cells}<td>{_share(mean)}</td></tr>')
            parts.append(f'<h2>Targets</h2><table class="targets"><thead><tr><th>target</th><th>found in</th>'
                         f'<th></th>{head}<th>mean share</th></tr></thead><tbody>{"".join(rows)}</tbody></table>')
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
        return ('<input id="filter" type="search" placeholder="Filter by file name" '
                'aria-label="Filter the photos by file name">')


_SCRIPT = """<script>
(function () {
  var box = document.getElementById("filter");
  if (!box) return;
  var cards = document.querySelectorAll("article.photo");
  box.addEventListener("input", function () {
    var words = box.value.trim().toLowerCase();
    for (var i = 0; i < cards.length; i++)
      cards[i].hidden = words !== "" && cards[i].dataset.name.indexOf(words) < 0;
  });
})();
</script>"""

_STYLE = """
:root{--ink:#1d1d1f;--muted:#6e6e73;--line:#e3e3e6;--card:#fff;--page:#f5f5f7;
--direct:#1b7f3b;--close:#5a8f1e;--within:#b26a00;--none:#9a9aa0}
*{box-sizing:border-box}
body{margin:0;padding:24px 32px 48px;background:var(--page);color:var(--ink);
font:14px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,"DejaVu Sans",sans-serif}
h1{font-size:22px;margin:0 0 4px}h2{font-size:16px;margin:22px 0 10px}
.run{color:var(--muted);margin:0}
.stats{display:flex;gap:12px;margin-top:18px;flex-wrap:wrap}
.stat{background:var(--card);border:1px solid var(--line);border-radius:10px;padding:10px 16px;min-width:120px}
.stat b{display:block;font-size:24px}.stat.bad b{color:#b3261e}
.interrupted{background:#fff4e5;border:1px solid #f0c27a;border-radius:8px;padding:8px 12px}
.sw{display:inline-block;font:12px/1 ui-monospace,"DejaVu Sans Mono",monospace;padding:5px 7px;
border-radius:5px;min-width:72px;text-align:center}
.sq{display:inline-block;width:22px;height:22px;vertical-align:middle}
.edge{box-shadow:inset 0 0 0 1px #b8b8be}
ol.common{list-style:none;padding:0;margin:0;display:grid;grid-template-columns:repeat(auto-fill,minmax(200px,250px));gap:6px 24px}
ol.common li,ul.colours li{display:flex;align-items:center;gap:8px}
.name{flex:1;overflow:hidden;text-overflow:ellipsis;white-space:nowrap}
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
.reason{color:#b3261e}
#filter{font:inherit;padding:7px 10px;border:1px solid var(--line);border-radius:8px;width:min(360px,100%);margin-bottom:14px}
.grid{display:grid;grid-template-columns:repeat(auto-fill,minmax(260px,1fr));gap:16px}
.photo{background:var(--card);border:1px solid var(--line);border-radius:12px;padding:12px;
content-visibility:auto;contain-intrinsic-size:auto 420px}
.photo[hidden]{display:none}
.thumb{display:flex;align-items:center;justify-content:center;height:180px;background:#ececef;border-radius:8px;overflow:hidden}
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
.warn{color:#8a5a00;font-size:12px;margin:8px 0 0}
.photo.doubtful{border-color:#f0c27a}.status{color:#8a5a00}.stat.warned b{color:#8a5a00}
.none{color:var(--muted)}
"""
