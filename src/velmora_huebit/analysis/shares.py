"""Faithful shares: the palette is found on the shrunk photo (fast, and its
colours hold), while the share of each colour is counted on more of the
same photo, whose fine detail (type, threads, foliage) a shrink would
blend into colours of its own. The palette engine's count_nearest counts
each of those pixels for its nearest palette colour.

A JPEG that 1/8 or 1/4 of its size leaves max_side is read from its
coefficients: at that scale for the palette, with up to PICKED_PIXELS of
its pixels at full size, one from each cell of a lattice over it, to count
on, for one pass of the decoder (photos.reading, picked=). Another JPEG is
decoded at the reduced scale (1/2) that leaves at least COUNT_SIDE pixels
on its longer side; other images are counted at the size they were
decoded. A large one is sampled (every step-th pixel of each row, about
COUNT_PIXELS in all): sampling keeps the pixels' colours, where a shrink
would blend them (bench/bench_fidelity.py --large measures the share error
and time).
"""

from __future__ import annotations

COUNT_SIDE = 960  # 0: shares as counted on the shrunk image
COUNT_PIXELS = 1 << 16  # a larger image is sampled down to about this many
PICKED_PIXELS = 1 << 14  # full-size pixels of a large JPEG counted (one a cell of blocks)


def reading_side(max_side: int) -> int:
    """The longer side to read a photo at (max_side 0: full size) so that
    its shares can be counted on more than the max_side it is shrunk to."""
    return max(max_side, COUNT_SIDE) if max_side and COUNT_SIDE else max_side


def pick(max_side: int, mask=None) -> tuple[int, int] | None:
    """What to ask the reader for (its picked=): full-size pixels of a large
    JPEG, unless a mask selects pixels by where they are."""
    return (max_side, PICKED_PIXELS) if COUNT_SIDE and max_side and mask is None else None


def counted(image, alpha, mask, shrunk, picked=None):
    """(image, mask) to count shares on: the pixels the reader picked, when
    it gave some; else the image prepared as the shrunk one was (the mask
    brought to the image's size, transparent pixels left out); None when
    the analysed image is this one."""
    from velmora_huebit.analysis.palette import prepare

    if picked is not None:
        return picked, None
    if not COUNT_SIDE or image.shape[:2] == shrunk.shape[:2]:
        return None
    return prepare(image, alpha, mask, 0)


def _pack(colour) -> int:
    r, g, b = colour
    return r << 16 | g << 8 | b


def recount(swatches, image, mask, rgb: bool):
    """The engine's [((r, g, b), pixels), ...] with their pixels counted on
    the larger image: largest first, colours without pixels there left out
    (all of them kept when none has any)."""
    from velmora_huebit._engine import count_nearest

    counts = count_nearest(image, [colour for colour, _ in swatches], mask, rgb=rgb, step=sample_step(image))
    found = [(colour, n) for (colour, _), n in zip(swatches, counts) if n]
    if not found:
        return swatches
    # the engine's order: more pixels first, equal counts by colour
    return sorted(found, key=lambda s: (-s[1], _pack(s[0])))


def sample_step(image) -> int:
    """Every how many pixels of a row are counted: about COUNT_PIXELS in all."""
    return max(1, image.shape[0] * image.shape[1] // COUNT_PIXELS)

