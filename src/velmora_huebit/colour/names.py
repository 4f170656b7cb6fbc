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

Within one palette (add_names) every colour gets a name of its own: a
colour whose nearest name an earlier (larger) colour already has takes its
next nearest free name when that lies within NEXT_NAME_WITHIN of it, and
is otherwise told apart as "light ..." or "dark ..." (then numbered). A
tinted near-black, which both lists call black, is named by its tint:
"dark navy", "dark green", "dark brown" and so on.

Colours are (R, G, B) in sRGB, 0-255; they are compared in CIE L*a*b* (D65)
by the CIEDE2000 colour difference (see colour.space). Needs NumPy only: naming a colour never loads
Matplotlib or scikit-learn.
"""

from __future__ import annotations

import functools
from typing import Any, Iterable, Sequence, TypeVar

import numpy as np

from velmora_huebit.colour.space import ciede2000, srgb_to_lab

__all__ = ["NAME_LISTS", "nearest_name", "nearest_names", "distinct_names", "add_names", "srgb_to_lab", "ciede2000"]

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

# the largest CIEDE2000 at which a colour takes its next nearest name when
# an earlier colour of the palette has its nearest
NEXT_NAME_WITHIN = 8.0
# a "black" with at least this chroma (C*ab) is named by its tint
TINTED_BLACK = 5.0
# the tints of near-black, by hue angle h_ab in degrees (up to the bound)
# (red is at 40, brown 50-75, olive 100, green 136, teal 197, navy 306, purple 328)
_TINTS = ((45, "red"), (95, "brown"), (115, "olive"), (185, "green"), (250, "teal"),
          (316, "navy"), (350, "purple"), (360, "red"))


def _tinted_black(lab: np.ndarray) -> str | None:
    chroma = float(np.hypot(lab[1], lab[2]))
    if chroma < TINTED_BLACK:
        return None
    hue = float(np.degrees(np.arctan2(lab[2], lab[1]))) % 360
    tint = next(tint for bound, tint in _TINTS if hue < bound)
    # a greyish dark red is what people call brown (espresso, not wine)
    return "dark " + ("brown" if tint == "red" and chroma < 25 and hue < 90 else tint)


def distinct_names(colours: Sequence[Sequence[int]], names: str = "css") -> list[str]:
    """A name for each colour of one palette (in order, the first keeping
    its nearest), no two alike (see the module's notes)."""
    labels, table = _table(names)
    if not len(colours):
        return []
    lab = srgb_to_lab(np.asarray(colours, dtype=np.float64).reshape(-1, 3))
    distances = ciede2000(lab[:, None, :], table[None, :, :])
    taken: set[str] = set()
    found = []
    for i, row in enumerate(distances):
        order = np.argsort(row, kind="stable")
        name = labels[order[0]]
        if name == "black":
            name = _tinted_black(lab[i]) or name
        if name in taken:
            free = next((j for j in order[1:] if labels[j] not in taken and row[j] <= NEXT_NAME_WITHIN
                         and labels[j] != "black"), None)
            if free is not None:
                name = labels[free]
            else:
                first = found.index(name)
                lighter = lab[i][0] > srgb_to_lab(np.asarray(colours[first], np.float64))[0]
                qualified = f"{'light' if lighter else 'dark'} {name}"
                name, number = qualified, 2
                while name in taken:
                    name, number = f"{qualified} {number}", number + 1
        taken.add(name)
        found.append(name)
    return found


def add_names(records: Records, names: str = "css") -> Records:
    """Gives each colour record of one palette (a dict with an (R, G, B)
    'color') a 'name' of the list, no two alike; returns the records."""
    for record, name in zip(records, distinct_names([r["color"] for r in records], names)):
        record["name"] = name
    return records
