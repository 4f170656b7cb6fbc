"""The record of one photo as plain data (str, int, float, bool, list,
dict), as JSON prints it and other outputs store it. Every field keeps one
type: shares, similarities and distances are always floats, colours lists
of three ints, and photo names valid text, kept exact (see photos.text_name)."""

from __future__ import annotations

from velmora_huebit.colour.space import hex_code
from velmora_huebit.photos.sources import text_name
from velmora_huebit.analysis.job import Job, Outcome, status

# The module gives an int 0 where a share or score is clamped or beyond the
# threshold, and NumPy scalars elsewhere.
FLOAT_FIELDS = frozenset({
    "percentage", "similarity", "distance",
    "total_percentage", "close_percentage", "very_close_percentage", "min_distance", "similarity_score",
})


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
    --names none, rgb, percentage) or "targets" (match)}; a photo whose
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
    else:
        record["targets"] = {
            name: {"target": hex_code(job.targets[name]),
                   **{key: _field(key, value) for key, value in result.items()}}
            for name, result in outcome.result.items()
        }
    return record
