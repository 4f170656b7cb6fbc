"""The rows of --output tables: one per photo and colour (extract) or per
photo and target (match), and one per photo that failed, each a flat record
of plain values that pandas, DuckDB or a spreadsheet take as they are.

Every row starts with the photo: file (its absolute path or its URL, as valid text),
status ("ok"; "warning" when its palette is doubtful, see Outcome.doubts;
"empty" when the analysis found no colours, with the colour columns null;
"failed"), width and height of the photo, and analysed_width and
analysed_height (after --max-side). Then:

- extract: rank (1 for the largest share), hex, r, g, b (int32: their
  differences, and sums of squared differences, stay exact), lab_l,
  lab_a, lab_b (CIE L*a*b*, D65, colour.space), share (percent of the
  analysed pixels) and name (the record's name of the colour, null
  without one: --names none);
- match in CIEDE2000 (the palette engine): target (its name), target_hex,
  nearest_color (#rrggbb, the photo's pixel colour nearest the target),
  delta_e (its CIEDE2000 difference), match_share, close_share and
  similar_share (percent of the pixels within each tolerance), present
  ("match", "close", "similar" or null) and targets_present (how many of
  the targets the photo holds: the same on each of its rows);
- match with the module's measures (--engine library, --threshold or
  --pixels): target, target_hex, then the module's keys in its order,
  colours as #rrggbb (closest_color, closest_pixel).

Extract's rows then carry, for designers: oklch_l, oklch_c, oklch_h (the
colour in OKLCH: lightness 0-1, chroma, hue in degrees, 0 for greys), text
(black or white, whichever reads better on the colour) and text_contrast
(its WCAG ratio), aa_with and aaa_with (the hex codes, space separated, of
the photo's other colours it reaches WCAG AA 4.5 or AAA 7 with for body
text), and role (its swatch role with --roles, otherwise null).

Last, error: why the photo failed, or on an analysed photo why its chart
was not written; and warnings: the photo's warnings, joined by "; ". A
photo that failed has no sizes and null colour columns.

Tables written before the L*a*b* and warnings columns (r, g and b then
uint8) are read as tables of today (upgraded): their L*a*b* columns worked
out from r, g and b, their warnings null.
"""

from __future__ import annotations

from velmora_huebit.photos.sources import absolute, text_name
from velmora_huebit.colour.roles import pick_roles
from velmora_huebit.colour.space import hex_code, lab, oklch
from velmora_huebit.colour.swatches import readable_pairs, text_colour
from velmora_huebit.outputs.records import json_record
from velmora_huebit.analysis.job import STATUSES, Job, Outcome, status

# column kinds: each maps to a type in every table format
PHOTO = [("file", "str"), ("status", "str"), ("width", "int"), ("height", "int"),
         ("analysed_width", "int"), ("analysed_height", "int")]
PER_ITEM = {
    "extract": [("rank", "int"), ("hex", "str"), ("r", "int"), ("g", "int"), ("b", "int"),
                # CIE L*a*b* (D65) of r, g, b
                ("lab_l", "float"), ("lab_a", "float"), ("lab_b", "float"),
                ("share", "float"), ("name", "str")],
    "similarity": [("target", "str"), ("target_hex", "str"), ("percentage", "float"),
                   ("similarity", "float"), ("closest_color", "str"), ("distance", "float"),
                   ("found_directly", "bool")],
    "delta_e": [("target", "str"), ("target_hex", "str"), ("nearest_color", "str"), ("delta_e", "float"),
                ("match_share", "float"), ("close_share", "float"), ("similar_share", "float"),
                ("present", "str"), ("targets_present", "int")],
    "pixels": [("target", "str"), ("target_hex", "str"), ("total_percentage", "float"),
               ("close_percentage", "float"), ("very_close_percentage", "float"),
               ("closest_pixel", "str"), ("min_distance", "float"), ("similarity_score", "float")],
}
TAIL = [("error", "str"), ("warnings", "str")]
# extract's columns for designers (records.add_designer_fields), before TAIL
DESIGNER = [("oklch_l", "float"), ("oklch_c", "float"), ("oklch_h", "float"), ("text", "str"),
            ("text_contrast", "float"), ("aa_with", "str"), ("aaa_with", "str"), ("role", "str")]

# columns added since tables were first written: an older table lacks them
ADDED = frozenset({"lab_l", "lab_a", "lab_b", "warnings", *(name for name, _ in DESIGNER)})

LAB_DECIMALS = 3  # far below a just-noticeable difference (ΔE2000 about 1)


def columns(job: Job) -> list[tuple[str, str]]:
    """(name, kind) of every column, in order."""
    kind = job.kind
    return PHOTO + PER_ITEM[kind] + (DESIGNER if kind == "extract" else []) + TAIL


def _row(names: list[str], *parts: dict) -> dict:
    """The columns, in order, from the parts (later ones win); keys that are
    not columns are left out."""
    merged = {key: value for part in parts for key, value in part.items()}
    return {name: merged.get(name) for name in names}


def photo_rows(path: str, job: Job, outcome: Outcome, names: list[str]) -> list[dict]:
    """The rows of one photo: one per colour or target, or a single row
    when it failed or nothing was found."""
    photo = {"file": text_name(absolute(path)), "warnings": "; ".join(outcome.warnings) or None}
    if outcome.result is None:
        return [_row(names, photo, {"status": "failed", "error": outcome.error})]
    (width, height), (analysed_width, analysed_height) = outcome.full_size, outcome.size
    photo.update(width=width, height=height, analysed_width=analysed_width,
                 analysed_height=analysed_height, error=outcome.error)
    record = json_record(path, job, outcome)
    if job.command == "extract":
        items = [{"rank": rank, "hex": colour["hex"], **dict(zip("rgb", colour["rgb"])), **_lab(colour["rgb"]),
                  "share": colour["percentage"], "name": colour.get("name")}
                 for rank, colour in enumerate(record["colors"], 1)]
        for item, found in zip(items, designer_items(record)):
            item.update(found)
    else:
        items = [{"target": name, "target_hex": fields["target"],
                  **{key: hex_code(value) if isinstance(value, list) else value
                     for key, value in fields.items() if key != "target"},
                  "targets_present": record.get("targets_present")}
                 for name, fields in record["targets"].items()]
    if not items:
        return [_row(names, photo, {"status": "empty"})]
    return [_row(names, photo, {"status": status(outcome)}, item) for item in items]


def _lab(rgb) -> dict:
    return dict(zip(("lab_l", "lab_a", "lab_b"), (round(v, LAB_DECIMALS) for v in lab(rgb))))


def upgraded(row: dict, names: list[str]) -> dict:
    """A row of an older table (a subset of the columns) with today's
    columns: L*a*b* from r, g and b, what else is new null."""
    found = {name: row.get(name) for name in names}
    if "lab_l" in names and "lab_l" not in row and all(isinstance(row.get(c), int) for c in "rgb"):
        found.update(_lab([row[c] for c in "rgb"]))
    if "oklch_l" in names and "oklch_l" not in row and all(isinstance(row.get(c), int) for c in "rgb"):
        # what one colour tells; the pairs and roles need the photo's other rows
        rgb = [row[c] for c in "rgb"]
        found.update(zip(("oklch_l", "oklch_c", "oklch_h", "text", "text_contrast"), (*oklch(rgb), *text_colour(rgb))))
    return found


def older(stored: list[str], names: list[str]) -> bool:
    """Whether stored columns are those of an older table of the same
    command: today's, less some of the columns added since (ADDED)."""
    missing = [name for name in names if name not in stored]
    return bool(missing) and set(missing) <= ADDED and stored == [name for name in names if name in stored]


def designer_items(record: dict) -> list[dict]:
    """The DESIGNER columns of each colour of extract's record (pairs and
    roles by position: two colours may share a hex code)."""
    colours = record["colors"]
    reaches: list[dict] = [{"AA": [], "AAA": []} for _ in colours]
    for i, j, _, level in readable_pairs([colour["rgb"] for colour in colours]):
        for found in ("AA", "AAA") if level == "AAA" else ("AA",):
            reaches[i][found].append(colours[j]["hex"])
            reaches[j][found].append(colours[i]["hex"])
    role_of: dict = {}
    if "roles" in record:
        found = pick_roles([(colour["rgb"], colour["percentage"]) for colour in colours])
        role_of = {index: role for role, index in found.items() if index is not None}
    return [{"oklch_l": colour["oklch"][0], "oklch_c": colour["oklch"][1], "oklch_h": colour["oklch"][2],
             "text": colour["text"], "text_contrast": colour["text_contrast"],
             "aa_with": " ".join(found["AA"]) or None, "aaa_with": " ".join(found["AAA"]) or None,
             "role": role_of.get(index)}
            for index, (colour, found) in enumerate(zip(colours, reaches))]


_CHECKS = {
    "str": lambda v: isinstance(v, str),
    "int": lambda v: isinstance(v, int) and not isinstance(v, bool) and -2**31 <= v < 2**31,
    "float": lambda v: isinstance(v, (int, float)) and not isinstance(v, bool),
    "bool": lambda v: isinstance(v, bool),
}


def valid_rows(rows, kinds: list[tuple[str, str]]) -> bool:
    """Whether rows read back from a journal are one photo's rows as
    photo_rows makes them: the columns, each value of its kind or null, one
    file, a known status."""
    if not isinstance(rows, list) or not rows:
        return False
    names = [name for name, _ in kinds]
    for at, row in enumerate(rows):
        if isinstance(row, dict) and list(row) != names and older(list(row), names):
            row = rows[at] = upgraded(row, names)  # a journal line of an older version
        if not isinstance(row, dict) or list(row) != names:
            return False
        if not all(row[name] is None or _CHECKS[kind](row[name]) for name, kind in kinds):
            return False
        if row["file"] != rows[0]["file"] or not row["file"] or row["status"] not in STATUSES:
            return False
    return True
