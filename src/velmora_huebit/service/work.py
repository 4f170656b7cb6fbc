"""One photo's analysis for the API, run in the thread pool: decoded from
its bytes as the command line reads a photo (sized from its header first,
refused over the pixel limit, a large JPEG decoded reduced), prepared and
run through the palette engine as palette() and match() do, so the records
are theirs. The options come from the query string, checked here."""

from __future__ import annotations

import dataclasses
import json
import math
import re

from velmora_huebit.analysis.delta_e import MIN_SHARE, TOLERANCES, check_min_share, check_tolerances, delta_e_match
from velmora_huebit.analysis.job import Job, Outcome
from velmora_huebit.analysis.match import PaletteMatcher, parse_targets, similarity
from velmora_huebit.analysis.palette import DEFAULT_MAX_SIDE, MAX_COLORS, dominant_colors, prepare
from velmora_huebit.photos.reading import PhotoError, decode
from velmora_huebit.photos.sizing import TooLarge
from velmora_huebit.service.limits import Refused

# the palette files of outputs.exports, and the media type each is sent as
FORMATS = {
    "json": "application/json", "gpl": "text/x-gimp-palette", "ase": "application/x-adobe-ase",
    "css": "text/css", "hex": "text/x-hex-palette", "png": "image/png", "svg": "image/svg+xml",
}
_BY_TYPE = {media: name for name, media in FORMATS.items() if name != "json"}
NAME_LISTS = ("css", "xkcd", "none")
MAX_TARGETS = 1000  # a request's work stays bounded


@dataclasses.dataclass(frozen=True)
class Options:
    colors: int = 5
    max_side: int = DEFAULT_MAX_SIDE
    keep_transparent: bool = False
    names: str | None = "css"
    format: str | None = None  # a palette file instead of the records
    name: str = "photo"  # the photo's name in palette files
    # for designers, as the command line's extract gives them (see palette_answer)
    roles: bool = False
    oklch: bool = False
    contrast: bool = False
    targets: dict | None = None
    threshold: float | None = None  # given: the module's match on the dominant colours
    pixels: bool = False
    tolerances: tuple = TOLERANCES  # otherwise in ΔE2000
    min_share: float = MIN_SHARE


def _whole(query, key: str, default: int, least: int, most: int | None = None) -> int:
    text = query.get(key)
    if text is None:
        return default
    if not re.fullmatch(r"\d{1,10}", text):
        raise Refused(400, f"{key} must be a whole number, not {text[:40]!r}")
    value = int(text)
    if value < least or (most is not None and value > most):
        raise Refused(400, f"{key} must be from {least} to {most}, not {value}" if most is not None
                      else f"{key} must be {least} or more, not {value}")
    return value


def _flag(query, key: str) -> bool:
    text = query.get(key, "false").lower()
    if text not in ("true", "false", "1", "0", "yes", "no"):
        raise Refused(400, f"{key} must be true or false, not {text[:40]!r}")
    return text in ("true", "1", "yes")


def _format(query, accept: str) -> str | None:
    wanted = query.get("format")
    if wanted is not None:
        if wanted not in FORMATS:
            raise Refused(400, f"format must be one of {', '.join(FORMATS)}, not {wanted[:40]!r}")
        return wanted
    # Accept naming a palette file's type asks for that file; JSON, */* or none for the records
    for part in accept.split(","):
        media = part.split(";")[0].strip().lower()
        if media in _BY_TYPE:
            return _BY_TYPE[media]
    return None


def _targets(query, given: str | None) -> dict:
    """Targets from a JSON object (a form field or ?targets=) and from
    ?target=NAME=COLOUR, as the command line's --target takes them."""
    found: dict = {}
    for text in [given, query.get("targets")]:
        if text is None:
            continue
        try:
            value = json.loads(text)
        except ValueError:
            raise Refused(400, "targets must be a JSON object of names and colours") from None
        if not isinstance(value, dict):
            raise Refused(400, "targets must be a JSON object of names and colours")
        found.update(value)
    for text in query.getlist("target"):
        name, sep, colour = text.partition("=")
        found[name.strip() if sep else text] = colour if sep else text
    if len(found) > MAX_TARGETS:
        raise Refused(400, f"at most {MAX_TARGETS} targets, not {len(found)}")
    if not found:
        raise Refused(400, 'give the targets: a JSON object such as {"cream": "#f0cfaf"} '
                           "(form field or ?targets=) or ?target=NAME=COLOUR")
    try:
        return parse_targets(found)
    except (TypeError, ValueError) as exc:
        raise Refused(400, str(exc)) from None


def options(query, accept: str = "", targets: str | None = None, name: str | None = None,
            matching: bool = False) -> Options:
    """The options of a request from its query string (and the form's
    targets field); Refused (400) for a bad one."""
    names = query.get("names", "css")
    if names not in NAME_LISTS:
        raise Refused(400, f"names must be one of {', '.join(NAME_LISTS)}, not {names[:40]!r}")
    settings = dict(colors=_whole(query, "colors", 5, 1, MAX_COLORS),
                    max_side=_whole(query, "max_side", DEFAULT_MAX_SIDE, 0),
                    keep_transparent=_flag(query, "keep_transparent"),
                    name=(name or query.get("name") or "photo")[:200])
    if not matching:
        return Options(**settings, names=None if names == "none" else names, format=_format(query, accept),
                       **{key: _flag(query, key) for key in ("roles", "oklch", "contrast")})
    threshold = query.get("threshold")
    limit = None
    if threshold is not None:
        limit = _number(threshold, -1.0)
        if not (math.isfinite(limit) and limit >= 0):
            raise Refused(400, f"threshold must be a number of 0 or more, not {threshold[:40]!r}")
    pixels = _flag(query, "pixels")
    delta_e = {}
    try:
        if "tolerances" in query:
            delta_e["tolerances"] = check_tolerances(part.strip() for part in query["tolerances"][:200].split(","))
        if "min_share" in query:
            delta_e["min_share"] = check_min_share(_number(query["min_share"], math.nan))
    except (TypeError, ValueError) as exc:
        raise Refused(400, str(exc)) from None
    if (pixels or limit is not None) and delta_e:
        raise Refused(400, "tolerances and min_share measure in ΔE2000: not with pixels or threshold")
    if pixels and limit is not None:
        raise Refused(400, "threshold applies to the dominant colours, not to pixels")
    return Options(**settings, targets=_targets(query, targets), threshold=limit, pixels=pixels, **delta_e)


def _number(text: str, bad: float) -> float:
    try:
        return float(text)
    except ValueError:
        return bad


def _load(data: bytes, opts: Options, max_pixels: int, counting: bool = False):
    """(image, mask, photo notes, the larger (image, mask) its shares are
    counted on or None) as palette() prepares a photo; counting: read large
    enough to count shares on (see analysis.shares), as palette() reads it."""
    from velmora_huebit.analysis.shares import counted, pick, reading_side

    try:
        if counting:
            photo = decode(data, not opts.keep_transparent, reading_side(opts.max_side), max_pixels=max_pixels,
                           quiet=True, picked=pick(opts.max_side))
        else:
            photo = decode(data, not opts.keep_transparent, opts.max_side, max_pixels=max_pixels,
                           shrink=True, quiet=True)
    except TooLarge as exc:
        # the command line's hint names its own option; a client cannot raise the limit
        raise Refused(413, str(exc).split(" (--max-pixels")[0], "pixels") from None
    except PhotoError as exc:
        raise Refused(422, str(exc), "unreadable") from None
    image, mask = prepare(photo.image, photo.alpha, None, opts.max_side)
    larger = counted(photo.image, photo.alpha, None, image, photo.picked) if counting and image.size else None
    return image, mask, list(photo.notes), larger


def _designer_fields(records: list, opts: Options) -> list:
    """The readable pairs of the palette (contrast), once each record has
    its "oklch" (oklch) and its "text" and "text_contrast" (contrast): the
    fields of the command line's extract, by its own code."""
    from velmora_huebit.outputs.records import add_designer_fields

    shown: dict = {"colors": [{"hex": r["hex"]} for r in records]}
    add_designer_fields(shown, records, roles=False)
    wanted = ("oklch",) * opts.oklch + ("text", "text_contrast") * opts.contrast
    for record, fields in zip(records, shown["colors"]):
        record.update((key, fields[key]) for key in wanted)
    return shown["readable_pairs"]


def palette_answer(data: bytes, opts: Options, max_pixels: int) -> tuple[object, str]:
    """(the answer, its media type): {"colors": palette()'s records,
    "analysed_size", "warnings"}, or the bytes of a palette file. With
    roles, the records carry palette(roles=True)'s "role" (and .css and
    .ase files the roles, as extract --roles exports them); with oklch or
    contrast, extract's "oklch", or "text" and "text_contrast", and with
    contrast the answer its "readable_pairs"."""
    from velmora_huebit.analysis.views import View
    from velmora_huebit.colour.space import hex_code

    image, mask, notes, larger = _load(data, opts, max_pixels, counting=True)
    found = dominant_colors(image, mask, opts.colors, counted=larger) if image.size else []
    records = [{"color": r["color"], "hex": hex_code(r["color"]), "percentage": r["percentage"]} for r in found]
    if opts.names is not None:
        from velmora_huebit.colour.names import add_names

        add_names(records, opts.names)
    if opts.roles:
        from velmora_huebit.colour.roles import mark_roles

        mark_roles(records)
    size = [image.shape[1], image.shape[0]]
    if opts.format is None:
        answer = {"colors": records, "analysed_size": size, "warnings": notes}
        if opts.oklch or opts.contrast:
            pairs = _designer_fields(records, opts)
            if opts.contrast:
                answer["readable_pairs"] = pairs
        return answer, "application/json"
    if not records:
        raise Refused(422, "no colours found (every pixel is transparent): no palette file", "unreadable")
    from velmora_huebit.outputs.exports import palette_file

    job = Job(command="extract", names=opts.names, view=View(roles=opts.roles))
    outcome = Outcome(result=records, size=tuple(size))
    return palette_file(f"palette.{opts.format}", job, outcome, opts.name), FORMATS[opts.format]


def match_answer(data: bytes, opts: Options, max_pixels: int) -> dict:
    """The command line's match answer: {"units", "targets": {name: record},
    "analysed_size", "warnings"}, in ΔE2000 also "tolerances" and
    "targets_present"."""
    from velmora_huebit.outputs.records import json_record

    job = Job(command="match", targets=opts.targets, pixels=opts.pixels, threshold=opts.threshold,
              tolerances=opts.tolerances, min_share=opts.min_share)
    image, mask, notes, larger = _load(data, opts, max_pixels, counting=job.kind == "delta_e")
    if not image.size:
        result: dict = {}
    elif job.kind == "delta_e":
        result = delta_e_match(image, mask, opts.targets, tolerances=opts.tolerances, min_share=opts.min_share,
                               counted=larger)
    elif opts.pixels:
        result = PaletteMatcher(opts.colors).find_color_matches(image, opts.targets, mask)
    else:
        result = similarity(dominant_colors(image, mask, opts.colors), opts.targets, opts.threshold)
    record = json_record(opts.name, job, Outcome(result=result, size=(image.shape[1], image.shape[0])))
    return {key: record[key] for key in ("units", "tolerances", "targets_present", "targets", "analysed_size")
            if key in record} | {"warnings": notes}
