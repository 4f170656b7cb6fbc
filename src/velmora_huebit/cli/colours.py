"""Colours as the user writes them."""

from __future__ import annotations

import re

_HEX = re.compile(r"#([0-9a-fA-F]{6})")
_TRIPLE = re.compile(r"\s*(\d{1,3})\s*,\s*(\d{1,3})\s*,\s*(\d{1,3})\s*")


def parse_color(text: str) -> tuple[int, int, int]:
    """'#RRGGBB' or 'R,G,B' (0-255 each) as an (r, g, b) tuple of ints."""
    match = _HEX.fullmatch(text.strip())
    if match:
        value = int(match.group(1), 16)
        return (value >> 16, (value >> 8) & 0xFF, value & 0xFF)
    match = _TRIPLE.fullmatch(text)
    if match:
        rgb = tuple(int(part) for part in match.groups())
        if all(channel <= 255 for channel in rgb):
            return rgb
    raise ValueError(f"malformed colour {text!r} (expected #RRGGBB or R,G,B with values 0-255)")
