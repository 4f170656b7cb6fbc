"""The record of one photo as plain data (str, int, float, bool, list,
dict), as JSON prints it and other outputs store it."""

from __future__ import annotations

from velmora_huebit.cli.work import Job


def hex_code(rgb) -> str:
    r, g, b = (int(c) for c in rgb)
    return f"#{r:02x}{g:02x}{b:02x}"


def plain(value):
    if isinstance(value, dict):
        return {key: plain(item) for key, item in value.items()}
    if isinstance(value, (tuple, list)):
        return [plain(item) for item in value]
    if hasattr(value, "item") and not isinstance(value, (bool, int, float, str)):
        return value.item()  # numpy scalars
    return value


def json_record(path: str, job: Job, result) -> dict:
    if job.command == "extract":
        return {
            "file": path,
            "colors": [
                {"hex": hex_code(c["color"]), "rgb": list(c["color"]), "percentage": c["percentage"]}
                for c in result
            ],
        }
    targets = {}
    for name, record in result.items():
        targets[name] = {"target": hex_code(job.targets[name]), **plain(record)}
    return {"file": path, "targets": targets}
