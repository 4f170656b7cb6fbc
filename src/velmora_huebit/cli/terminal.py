"""--color: how many colours the terminal is trusted with.

rich picks the colour depth from TERM and COLORTERM. With TERM=xterm and no
COLORTERM (SSH, Docker) that is the 16 system colours, in which a brown
such as #a94e24 can only be drawn as yellow. A swatch is therefore drawn
only at 256 colours or more, where it is near the truth; at 16 colours, or
none, the tables write the hex code beside every colour instead, target
colours included, so no colour is read from a swatch that lies."""

from __future__ import annotations

# --color's choices and rich's names for them
# (named as TERM names them: a bare "16" would read as a number of colours)
LEVELS = {"auto": "auto", "truecolor": "truecolor", "256color": "256", "16color": "standard", "never": None}


def console(choice: str = "auto", **options):
    from rich.console import Console

    return Console(color_system=LEVELS[choice], **options)  # type: ignore[arg-type]


def draws_swatches(console, choice: str) -> bool:
    """Whether swatches show their colour well enough to be read."""
    if choice == "auto" and not console.is_terminal:
        # written to a file or a pipe: no colours at all, and the swatch
        # characters stay as the column marker they have always been
        return True
    return console.color_system in ("truecolor", "256") and not console.no_color
