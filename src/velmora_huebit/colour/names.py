"""Colour names: the nearest named colour of a list, by CIEDE2000.

::

    from velmora_huebit.colour.names import nearest_name, add_names

    nearest_name((177, 89, 46))                # 'sienna'
    nearest_name((177, 89, 46), names="xkcd")  # 'rust brown'... per the survey
    add_names(records)  # a 'name' beside each record's 'color'

The lists:

- ``"css"``: the 148 colour names of CSS (as Pillow's ``ImageColor`` knows
  them), which designers know and stylesheets take; where two names give
  one colour (aqua and cyan, gray and grey) the first in alphabetical order.
- ``"xkcd"``: the 949 names of the XKCD colour survey (public domain, CC0),
  finer and in everyday words, some of them crude.

Colours are (R, G, B) in sRGB, 0-255; they are compared in CIE L*a*b* (D65)
by the CIEDE2000 colour difference (see colour.space). Needs NumPy only: naming a colour never loads
Matplotlib or scikit-learn.
"""

from __future__ import annotations

import functools
from typing import Any, Iterable, Sequence, TypeVar

import numpy as np

from velmora_huebit.colour.space import ciede2000, srgb_to_lab

__all__ = ["NAME_LISTS", "nearest_name", "nearest_names", "add_names", "srgb_to_lab", "ciede2000"]

NAME_LISTS = ("css", "xkcd")

def _named_colours(names: str) -> dict[str, str]:
    if names == "css":
        from velmora_huebit.colour._css import COLOURS as CSS

        return CSS
    if names == "xkcd":
        from velmora_huebit.colour._xkcd import COLOURS

        return COLOURS
    raise ValueError(f"unknown list of colour names {names!r} (use one of: {', '.join(NAME_LISTS)})")


@functools.lru_cache(maxsize=None)
def _table(names: str) -> tuple[tuple[str, ...], np.ndarray]:
    listed = _named_colours(names)
    rgb = np.array([[int(code[i:i + 2], 16) for i in (1, 3, 5)] for code in listed.values()])
    return tuple(listed), srgb_to_lab(rgb)


def nearest_names(colours: Iterable[Sequence[int]], names: str = "css") -> list[str]:
    """The nearest named colour of each (R, G, B) colour; on a tie, the name
    listed first."""
    labels, table = _table(names)
    rgb = np.asarray(list(colours) if not isinstance(colours, np.ndarray) else colours, dtype=np.float64)
    if rgb.size == 0:
        return []
    if rgb.ndim != 2 or rgb.shape[1] != 3:
        raise ValueError(f"expected (R, G, B) colours, got an array of shape {rgb.shape}")
    if not (np.isfinite(rgb).all() and rgb.min() >= 0 and rgb.max() <= 255):
        raise ValueError("colour components must lie between 0 and 255")
    lab = srgb_to_lab(rgb)
    found = []
    for start in range(0, len(lab), 1024):  # a bounded distance matrix for long lists
        chunk = lab[start:start + 1024, None, :]
        found.extend(np.argmin(ciede2000(chunk, table[None, :, :]), axis=1).tolist())
    return [labels[i] for i in found]


def nearest_name(rgb: Sequence[int], names: str = "css") -> str:
    """The nearest named colour of one (R, G, B) colour."""
    return nearest_names([rgb], names)[0]


Records = TypeVar("Records", bound=Sequence[Any])


def add_names(records: Records, names: str = "css") -> Records:
    """Gives each colour record (a dict with an (R, G, B) 'color') a 'name'
    of the list; returns the records."""
    for record, name in zip(records, nearest_names([r["color"] for r in records], names)):
        record["name"] = name
    return records
