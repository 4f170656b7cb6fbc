"""Results on standard output: JSON lines or tables. Each output has
emit(path, outcome), called once per analysed photo in task order. A write
that fails (a full disk) raises OutputError."""

from __future__ import annotations

import contextlib
import json
import sys

from velmora_huebit.cli.progress import Progress
from velmora_huebit.photos.sources import display_name
from velmora_huebit.colour.space import hex_code
from velmora_huebit.outputs.records import json_record
from velmora_huebit.cli.terminal import console as make_console, draws_swatches
from velmora_huebit.errors import OutputError
from velmora_huebit.analysis.job import Job, Outcome, targets_present


@contextlib.contextmanager
def _writing():
    try:
        yield
    except BrokenPipeError:  # the reader went away: not an error of ours
        raise
    except OSError as exc:
        raise OutputError(exc.strerror or str(exc)) from exc


class JsonOutput:
    def __init__(self, job: Job, progress: Progress):
        self.job = job
        self.progress = progress

    def emit(self, path: str, outcome: Outcome) -> None:
        line = json.dumps(json_record(path, self.job, outcome))
        with _writing():
            if self.progress.on_screen:
                # one unbroken line above the bar, never wrapped into two
                self.progress.console.print(line, soft_wrap=True, markup=False, highlight=False, emoji=False)
            else:
                sys.stdout.write(line + "\n")
                sys.stdout.flush()


class TableOutput:
    def __init__(self, job: Job, progress: Progress, colour: str = "auto"):
        self.job = job
        self.progress = progress
        self.console = make_console(colour, highlight=False)
        if not self.console.is_terminal:
            # nobody's window to fit: let tables take their natural width instead of cropping cells
            self.console = make_console(colour, highlight=False, width=1 << 16)
        self.swatches = draws_swatches(self.console, colour)

    def _table(self):
        from rich import box
        from rich.table import Table

        return Table(box=box.SIMPLE_HEAD, pad_edge=False)

    def emit(self, path: str, outcome: Outcome) -> None:
        result = outcome.result
        if self.job.command == "extract":
            table = self._extract_table(result)
        elif self.job.kind == "delta_e":
            table = self._delta_e_table(result)
        elif self.job.pixels:
            table = self._pixels_table(result)
        else:
            table = self._similarity_table(result)
        from rich.text import Text

        width, height = outcome.size
        table.title = f"{width}x{height} px analysed"
        if outcome.size != outcome.full_size:
            table.title += " (of {}x{})".format(*outcome.full_size)
        table.title_justify = "left"
        # above the bar when both share the terminal
        console = self.progress.console if self.progress.on_screen else self.console
        # the path on a line of its own, never wrapped or read as markup, so it can be copied
        with _writing():
            console.print(Text(display_name(path), style="bold"), soft_wrap=True)
            console.print(table)

    def _extract_table(self, colors):
        table = self._table()
        named = self.job.names is not None
        roles: dict = {}
        if self.job.view.roles:
            from velmora_huebit.colour.roles import pick_roles

            roles = {index: role for role, index in pick_roles([(c["color"], c["percentage"]) for c in colors]).items()
                     if index is not None}
        self._columns(table, "colour", *(["name"] if named else []), "RGB", "share %",
                      *(["role"] if self.job.view.roles else []))
        for index, c in enumerate(colors):
            r, g, b = c["color"]
            table.add_row(self._labelled(c["color"], hex_code(c["color"])), *([c["name"]] if named else []),
                          f"{r:3d} {g:3d} {b:3d}", f"{c['percentage']:.2f}",
                          *([roles.get(index, "").replace("_", " ")] if self.job.view.roles else []))
        if not colors:
            table.caption = "no colours found (is the mask empty?)"
        return table

    def _labelled(self, rgb, label):
        from rich.text import Text

        code = hex_code(rgb)
        if not self.swatches:  # no swatch to read the colour from: its hex code, always
            return Text(label if label == code else f"{label} {code}")
        r, g, b = (int(c) for c in rgb)
        return Text.assemble(("███", f"rgb({r},{g},{b})"), " ", label)

    def _columns(self, table, *titles):
        for title in titles:
            left = title in ("colour", "name", "RGB", "target", "closest", "nearest pixel", "nearest", "present", "role")
            table.add_column(title, justify="left" if left else "right", no_wrap=True)

    def _delta_e_table(self, records):
        table = self._table()
        match, close, similar = (f"≤ {t:g} %" for t in self.job.tolerances)
        self._columns(table, "target", "nearest", "ΔE2000", match, close, similar, "present")
        for name, rec in records.items():
            table.add_row(
                self._labelled(self.job.targets[name], name),
                self._labelled(rec["nearest_color"], hex_code(rec["nearest_color"])),
                f"{rec['delta_e']:.2f}", f"{rec['match_share']:.2f}", f"{rec['close_share']:.2f}",
                f"{rec['similar_share']:.2f}", rec["present"] or "no",
            )
        table.caption = (f"{targets_present(self.job, records)} (from {self.job.min_share:g} % of the pixels)"
                         if records else "no pixels to match (is the mask empty?)")
        table.caption_justify = "left"
        return table

    def _similarity_table(self, records):
        table = self._table()
        self._columns(table, "target", "closest", "distance", "similarity %", "share %", "direct")
        for name, rec in records.items():
            table.add_row(
                self._labelled(self.job.targets[name], name),
                self._labelled(rec["closest_color"], hex_code(rec["closest_color"])),
                f"{rec['distance']:.2f}", f"{rec['similarity']:.2f}", f"{rec['percentage']:.2f}",
                "yes" if rec["found_directly"] else "no",
            )
        table.caption = ("no colours found (is the mask empty?)" if not records else
                         "distances in OpenCV's 8-bit L*a*b* (black to white 255), not ΔE2000")
        table.caption_justify = "left"
        return table

    def _pixels_table(self, records):
        table = self._table()
        self._columns(table, "target", "nearest pixel", "distance", "score",
                      "< 15 %", "< 30 %", "< 50 %")
        for name, rec in records.items():
            table.add_row(
                self._labelled(self.job.targets[name], name),
                self._labelled(rec["closest_pixel"], hex_code(rec["closest_pixel"])),
                f"{rec['min_distance']:.2f}", f"{rec['similarity_score']:.2f}",
                f"{rec['very_close_percentage']:.2f}", f"{rec['close_percentage']:.2f}",
                f"{rec['total_percentage']:.2f}",
            )
        table.caption = ("no pixels to match (is the mask empty?)" if not records else
                         "distances in OpenCV's 8-bit L*a*b* (black to white 255), not ΔE2000")
        table.caption_justify = "left"
        return table
