"""What is wrong with a decoded photo, in words, and what of it to leave
out: the grey that the JPEG decoder puts where a truncated file ends (every
sample 128), and a picture that is almost all transparent. Both make a
palette that looks sound and is not, so the photo's record says so."""

from __future__ import annotations

# the decoder's fill of what a truncated JPEG lacks: every channel at mid-grey
FILL = 128
# a photo with fewer opaque pixels than this share is "almost all transparent"
ALMOST_ALL = 0.99


def _trailing(grey):
    """Where grey runs unbroken to the bottom of its column."""
    import numpy as np

    return np.flip(np.logical_and.accumulate(np.flip(grey, 0), 0), 0)


def truncation_fill(image):
    """The decoder's fill of a truncated JPEG as a boolean plane, or None
    when there is none (a progressive file cut short is decoded whole, from
    the scans before the cut). The fill runs from where the data ended to
    the far corner: whole rows, and the right end of the last band of
    blocks. EXIF orientation may have turned it to any side, so each side
    is tried and the largest run kept."""
    import numpy as np

    grey = np.all(image == FILL, axis=2) if image.ndim == 3 else image == FILL
    if not grey.any():
        return None
    best = None
    for turn in range(4):
        run = np.rot90(_trailing(np.rot90(grey, turn)), -turn)
        if best is None or run.sum() > best.sum():
            best = run
    return best if best.any() else None


def truncation_note(fill) -> str:
    head = "the JPEG file is truncated (cut off before its end): "
    if fill is None:
        return head + "the picture is decoded from what came before the cut, with less detail"
    decoded = 100 * (1 - float(fill.mean()))
    return head + f"only the decoded part ({decoded:.1f}% of the picture) is analysed"


def fill_alpha(fill, alpha):
    """An alpha plane in which the fill is transparent (on top of the
    photo's own alpha, if any)."""
    import numpy as np

    plane = np.where(fill, np.uint8(0), np.uint8(255)) if alpha is None else np.where(fill, np.uint8(0), alpha)
    return np.ascontiguousarray(plane)


def transparency_note(alpha, opaque: int) -> str | None:
    """A note when almost every pixel is transparent (its colours come from
    the few left), or None."""
    import numpy as np

    if alpha is None:
        return None
    share = float(np.count_nonzero(alpha >= opaque)) / max(1, alpha.size)
    if share >= 1 - ALMOST_ALL:
        return None
    if not share:
        return "the whole picture is transparent: no colours are left to find"
    return (f"almost all of the picture is transparent ({100 * (1 - share):.2f}%): "
            f"its colours come from the {100 * share:.2f}% left")
