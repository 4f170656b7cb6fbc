"""The record of one photo as plain data (str, int, float, bool, list,
dict), as JSON prints it and other outputs store it. Every field keeps one
type: shares, similarities and distances are always floats, colours lists
of three ints, and photo names valid text, kept exact (see photos.text_name)."""

from __future__ import annotations

from velmora_huebit.colour.space import hex_code, oklch_all
from velmora_huebit.colour.swatches import readable_pairs, text_colour
from velmora_huebit.photos.sources import text_name
from velmora_huebit.analysis.job import Job, Outcome, status

# The module gives an int 0 where a share or score is clamped or beyond the
# threshold, and NumPy scalars elsewhere.
FLOAT_FIELDS = frozenset({
    "percentage", "similarity", "distance",
    "total_percentage", "close_percentage", "very_close_percentage", "min_distance", "similarity_score",
    "delta_e", "match_share", "close_share", "similar_share",
})

# what match's distances are measured in, by the kind of its records (Job.kind)
UNITS = {"delta_e": "CIEDE2000", "similarity": "OpenCV 8-bit L*a*b* distance",
         "pixels": "OpenCV 8-bit L*a*b* distance"}


def _field(key: str, value):
    if key in FLOAT_FIELDS:
        return float(value)
    if isinstance(value, (tuple, list)):
        return [int(c) for c in value]
    if isinstance(value, bool):
        return value
    return value.item() if hasattr(value, "item") else value  # NumPy scalars


def json_record(path: str, job: Job, outcome: Outcome) -> dict:
    """{"file", "analysed_size", then "colors" (extract: hex, name unless
    --names none, rgb, percentage) or "units", "targets" (match; in
    CIEDE2000 also "tolerances" and "targets_present", how many targets
    the photo holds within one)}; a photo whose
    palette is doubtful (see Outcome.doubts) has "status": "warning" and
    its "warnings" after analysed_size."""
    record = {"file": text_name(path), "analysed_size": list(outcome.size)}
    if status(outcome) == "warning":
        record.update(status="warning", warnings=list(outcome.warnings))
    if job.command == "extract":
        record["colors"] = [
            {"hex": hex_code(c["color"]), **({"name": c["name"]} if "name" in c else {}),
             "rgb": [int(v) for v in c["color"]], "percentage": float(c["percentage"])}
            for c in outcome.result
        ]
        add_designer_fields(record, outcome.result, job.view.roles)
    else:
        record["units"] = UNITS[job.kind]
        if job.kind == "delta_e":
            from velmora_huebit.analysis.delta_e import BANDS

            record["tolerances"] = dict(zip(BANDS, map(float, job.tolerances)))
            record["targets_present"] = sum(r["present"] is not None for r in outcome.result.values())
        record["targets"] = {
            name: {"target": hex_code(job.targets[name]),
                   **{key: _field(key, value) for key, value in result.items()}}
            for name, result in outcome.result.items()
        }
    return record


# ---- for designers: OKLCH, text contrast, readable pairs, roles --------------------


def add_designer_fields(record: dict, colours: list, roles: bool) -> None:
    """Adds to extract's record: each colour's "oklch" [lightness 0-1,
    chroma, hue in degrees], "text" (black or white, whichever reads better
    on it) and "text_contrast" (its WCAG ratio); "readable_pairs", the pairs
    of the palette that reach WCAG AA (4.5) for body text, with their ratio
    and level (AA, or AAA from 7); with roles, "roles": each swatch role and
    its colour (hex, rgb, oklch, percentage), or null."""
    for shown, colour, found in zip(record["colors"], colours, oklch_all([c["color"] for c in colours])):
        text, ratio = text_colour(colour["color"])
        shown.update(oklch=list(found), text=text, text_contrast=ratio)
    record["readable_pairs"] = [
        {"colors": [record["colors"][i]["hex"], record["colors"][j]["hex"]], "contrast": ratio, "level": level}
        for i, j, ratio, level in readable_pairs([c["color"] for c in colours])]
    if roles:
        from velmora_huebit.colour.roles import pick_roles

        record["roles"] = {
            role: None if index is None else
            {key: record["colors"][index][key] for key in ("hex", "rgb", "oklch", "percentage")}
            for role, index in pick_roles([(c["color"], c["percentage"]) for c in colours]).items()}
