"""Writes src/velmora_huebit/_xkcd_colours.py: the 949 colour names of the
XKCD colour survey (Randall Munroe, 2010), as Matplotlib ships them.

    python tools/xkcd_names.py

The survey's results are in the public domain (CC0 1.0). Matplotlib keeps
them in a private module, so the package carries its own copy instead of
importing Matplotlib (slow to start, and its private names may move) to name
a colour. Run again only to pick up a change of the list."""

import pathlib

import matplotlib
from matplotlib import _color_data

OUT = pathlib.Path(__file__).resolve().parents[1] / "src" / "velmora_huebit" / "_xkcd_colours.py"

HEADER = '''"""The colour names of the XKCD colour survey (https://xkcd.com/color/rgb/),
in the order of the survey's list (the commonest names last). Public domain (CC0 1.0,
https://creativecommons.org/publicdomain/zero/1.0/). Written by
tools/xkcd_names.py from Matplotlib {version}; do not edit."""

COLOURS = {{
'''


def main() -> None:
    lines = [HEADER.format(version=matplotlib.__version__)]
    for key, value in _color_data.XKCD_COLORS.items():
        name = key.removeprefix("xkcd:")
        lines.append(f"    {name!r}: {value.lower()!r},\n")
    lines.append("}\n")
    OUT.write_text("".join(lines), encoding="utf-8")
    print(f"{OUT}: {len(_color_data.XKCD_COLORS)} names")


if __name__ == "__main__":
    main()
