"""The API's OpenAPI description (/openapi.json) and its docs page (/docs):
Swagger UI from the swagger-ui-bundle package, served from here, so the
page needs nothing from another site."""

from __future__ import annotations

from velmora_huebit.analysis.palette import DEFAULT_MAX_SIDE, MAX_COLORS
from velmora_huebit.colour.roles import NAMES as ROLES
from velmora_huebit.service.work import FORMATS, MAX_TARGETS

# the files of Swagger UI the docs page loads, and their media types
ASSETS = {"swagger-ui-bundle.js": "text/javascript", "swagger-ui.css": "text/css"}

DOCS_PAGE = """<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>velmora-huebit API</title>
<link rel="stylesheet" href="/docs/swagger-ui.css"></head>
<body><div id="ui"></div><script src="/docs/swagger-ui-bundle.js"></script>
<script>SwaggerUIBundle({url: "/openapi.json", dom_id: "#ui"});</script></body></html>
"""


def asset(name: str) -> bytes | None:
    """One of the ASSETS' bytes; None for any other name."""
    if name not in ASSETS:
        return None
    from swagger_ui_bundle import swagger_ui_path

    return (swagger_ui_path / name).read_bytes()


def _query(name: str, schema: dict, about: str) -> dict:
    return {"name": name, "in": "query", "required": False, "schema": schema, "description": about}


_COMMON = [
    _query("colors", {"type": "integer", "minimum": 1, "maximum": MAX_COLORS, "default": 5},
           "at most this many dominant colours"),
    _query("max_side", {"type": "integer", "minimum": 0, "default": DEFAULT_MAX_SIDE},
           "photos whose longer side exceeds it are shrunk to it first (0: full size)"),
    _query("keep_transparent", {"type": "boolean", "default": False},
           "count transparent pixels too (by default alpha below 128 is left out)"),
    _query("name", {"type": "string"}, "the photo's name in palette files (default: the uploaded file's)"),
]

_IMAGE_BODY = {
    "required": True,
    "content": {
        "image/*": {"schema": {"type": "string", "format": "binary"}},
        "application/octet-stream": {"schema": {"type": "string", "format": "binary"}},
        "multipart/form-data": {"schema": {
            "type": "object", "required": ["image"],
            "properties": {"image": {"type": "string", "format": "binary"},
                           "targets": {"type": "string", "description": "match: a JSON object of names and colours"}},
        }},
    },
}

_ERROR = {"description": "one line of JSON: {\"error\": \"...\"}",
          "content": {"application/json": {"schema": {"$ref": "#/components/schemas/Error"}}}}
_ERRORS = {
    "400": {**_ERROR, "description": "a bad option"},
    "401": {**_ERROR, "description": "the bearer token is missing or wrong (when the server has one)"},
    "408": {**_ERROR, "description": "the upload took longer than the server's time limit"},
    "413": {**_ERROR, "description": "the body is over the size limit, or the image over the pixel limit "
                                      "(sized from its header, nothing decoded)"},
    "422": {**_ERROR, "description": "not an image file, or a damaged one"},
    "503": {**_ERROR, "description": "busy: every thread is analysing and the queue is full (see Retry-After)"},
}

DESCRIPTION = {
    "openapi": "3.1.0",
    "info": {"title": "velmora-huebit", "version": "1",
             "description": "Dominant colours of photos and target-colour matching, as the command line's "
                            "extract and match find them. Stateless: run as many processes as you like "
                            "behind a load balancer."},
    "components": {
        "securitySchemes": {"bearer": {"type": "http", "scheme": "bearer"}},
        "schemas": {
            "Error": {"type": "object", "properties": {"error": {"type": "string"}}},
            "Colour": {"type": "object", "properties": {
                "color": {"type": "array", "items": {"type": "integer"}, "description": "(r, g, b)"},
                "hex": {"type": "string"}, "percentage": {"type": "number"}, "name": {"type": "string"},
                "role": {"enum": list(ROLES), "description": "roles=true: its swatch role, where it holds one"},
                "oklch": {"type": "array", "items": {"type": "number"},
                          "description": "oklch=true: [lightness 0-1, chroma, hue in degrees]"},
                "text": {"enum": ["black", "white"],
                         "description": "contrast=true: the text colour that reads better on it"},
                "text_contrast": {"type": "number", "description": "contrast=true: its WCAG contrast ratio"}}},
            "Palette": {"type": "object", "properties": {
                "colors": {"type": "array", "items": {"$ref": "#/components/schemas/Colour"},
                           "description": "palette()'s records, largest share first"},
                "analysed_size": {"type": "array", "items": {"type": "integer"}},
                "warnings": {"type": "array", "items": {"type": "string"}},
                "readable_pairs": {"type": "array", "description": "contrast=true: the pairs of colours "
                                   "that reach WCAG AA (4.5) for body text", "items": {
                                       "type": "object", "properties": {
                                           "colors": {"type": "array", "items": {"type": "string"}},
                                           "contrast": {"type": "number"}, "level": {"enum": ["AA", "AAA"]}}}}}},
            "Match": {"type": "object", "properties": {
                "units": {"type": "string", "description": "CIEDE2000, or the module's OpenCV 8-bit L*a*b* distance"},
                "tolerances": {"type": "object", "description": "ΔE2000 of a match, a close and a similar colour"},
                "targets_present": {"type": "integer", "description": "how many targets the photo holds (ΔE2000)"},
                "targets": {"type": "object", "description": "per target, the record of the command line's match"},
                "analysed_size": {"type": "array", "items": {"type": "integer"}},
                "warnings": {"type": "array", "items": {"type": "string"}}}},
        },
    },
    "security": [{"bearer": []}, {}],
    "paths": {
        "/v1/palette": {"post": {
            "summary": "The dominant colours of a photo",
            "parameters": [*_COMMON,
                           _query("names", {"enum": ["css", "xkcd", "none"], "default": "css"},
                                  "the list each colour is named from"),
                           _query("format", {"enum": list(FORMATS)},
                                  "a palette file instead of the records (or ask for its type with Accept)"),
                           _query("roles", {"type": "boolean", "default": False},
                                  "mark the six swatch roles (vibrant, muted, each with a dark and a light "
                                  "variant), as palette(roles=True) and extract --roles (.css and .ase files too)"),
                           _query("oklch", {"type": "boolean", "default": False},
                                  "each colour's OKLCH, as extract gives it"),
                           _query("contrast", {"type": "boolean", "default": False},
                                  "each colour's text colour and WCAG contrast, and the palette's "
                                  "readable pairs, as extract gives them")],
            "requestBody": _IMAGE_BODY,
            "responses": {"200": {"description": "the palette, or the palette file asked for", "content": {
                "application/json": {"schema": {"$ref": "#/components/schemas/Palette"}},
                **{media: {"schema": {"type": "string", "format": "binary"}}
                   for media in FORMATS.values() if media != "application/json"}}}, **_ERRORS},
        }},
        "/v1/match": {"post": {
            "summary": "How much of a photo shows each target colour",
            "parameters": [*_COMMON,
                           _query("targets", {"type": "string"},
                                  f'a JSON object of names and colours (at most {MAX_TARGETS}), such as '
                                  '{"cream": "#f0cfaf", "espresso": [51, 22, 18]}'),
                           _query("target", {"type": "array", "items": {"type": "string"}},
                                  "NAME=COLOUR, repeatable, as the command line's --target"),
                           _query("tolerances", {"type": "string", "default": "2,5,10"},
                                  "the ΔE2000 (CIEDE2000) within which a pixel is a match, a close and a "
                                  "similar colour"),
                           _query("min_share", {"type": "number", "minimum": 0, "maximum": 100, "default": 0.5},
                                  "the percentage of the pixels within a tolerance that makes a target present"),
                           _query("threshold", {"type": "number", "minimum": 0},
                                  "the module's match instead: the largest OpenCV 8-bit L*a*b* distance at "
                                  "which a dominant colour still counts"),
                           _query("pixels", {"type": "boolean", "default": False},
                                  "the module's pixel matching instead (OpenCV 8-bit L*a*b* bands 15/30/50)")],
            "requestBody": _IMAGE_BODY,
            "responses": {"200": {"description": "each target's record", "content": {
                "application/json": {"schema": {"$ref": "#/components/schemas/Match"}}}}, **_ERRORS},
        }},
        "/healthz": {"get": {"summary": "Whether the process answers", "security": [],
                             "responses": {"200": {"description": "ok"}}}},
        "/metrics": {"get": {"summary": "Prometheus metrics of this process", "security": [],
                             "responses": {"200": {"description": "the text format"}}}},
    },
}
