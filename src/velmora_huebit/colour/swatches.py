"""How a colour is shown to a person: the label colour that reads on it
(black or white, with its WCAG contrast), the pairs of a palette that can
carry text on each other, a border where it would vanish into a white page, its place in a palette
sorted by lightness or hue, and, for a target colour, the band it was found
in. Plain Python on a handful of colours: the charts, the report and the
tables share it."""

from __future__ import annotations

import math

from velmora_huebit.colour.space import contrast, lab

# Label colours: black and white. Whichever reads better on a colour
# reaches a contrast ratio of at least 4.58 (the square root of 21), above
# the 4.5 that WCAG asks of body text, whatever the colour; a softer
# near-black would fall below it on mid-tones.
DARK_LABEL = (0, 0, 0)
LIGHT_LABEL = (255, 255, 255)
PAGE = (255, 255, 255)
# Below this contrast with the white page a swatch gets a grey outline.
BORDER_CONTRAST = 1.3
SORTS = ("share", "lightness", "hue")


def label_colour(rgb) -> tuple[int, int, int]:
    """The label colour with the higher contrast on rgb."""
    return DARK_LABEL if contrast(rgb, DARK_LABEL) >= contrast(rgb, LIGHT_LABEL) else LIGHT_LABEL


# WCAG 2.x contrast for body text: AA asks 4.5, AAA 7
AA, AAA = 4.5, 7.0


def text_colour(rgb) -> tuple[str, float]:
    """("black" or "white", whichever reads better on rgb, and its WCAG
    contrast ratio)."""
    dark, light = contrast(rgb, DARK_LABEL), contrast(rgb, LIGHT_LABEL)
    return ("black", ratio_shown(dark)) if dark >= light else ("white", ratio_shown(light))


def ratio_shown(ratio: float) -> float:
    """A contrast ratio cut (not rounded) to two decimals: 4.499 shows as
    4.49, never as a 4.5 it does not reach."""
    return math.floor(ratio * 100) / 100


def readable_pairs(colours: list) -> list[tuple[int, int, float, str]]:
    """(i, j, ratio, "AAA" or "AA") of the pairs of colours (i < j) whose
    WCAG contrast reaches AA."""
    pairs = []
    for i, a in enumerate(colours):
        for j in range(i + 1, len(colours)):
            ratio = contrast(a, colours[j])
            if ratio >= AA:
                pairs.append((i, j, ratio_shown(ratio), "AAA" if ratio >= AAA else "AA"))
    return pairs


def needs_border(rgb, page=PAGE) -> bool:
    return contrast(rgb, page) < BORDER_CONTRAST


# Below this chroma a colour reads as a grey: it has no hue to sort by.
GREY_CHROMA = 8.0


def sort_key(how: str):
    """Key for sorted() over colour records ({"color": rgb, ...}); share
    keeps the module's order (largest first). Lightness runs dark to light;
    hue runs red, orange, yellow, green, blue, purple by the L*C*h hue angle,
    with the greys after the colours, dark to light."""
    if how == "lightness":
        return lambda record: lab(record["color"])[0]

    def by_hue(record):
        lightness, a, b = lab(record["color"])
        if math.hypot(a, b) < GREY_CHROMA:
            return (1, lightness)
        # start the circle at a pinkish red (about 350 degrees) so reds stay together
        return (0, (math.degrees(math.atan2(b, a)) - 350) % 360)

    return by_hue


def sort_colours(records: list, how: str) -> list:
    """The records in the order asked for (share: as they are)."""
    if how == "share" or len(records) < 2:
        return records
    return sorted(records, key=sort_key(how))


# Bands of a matched target: (key, words), best first. In CIEDE2000 a target
# is present as a match, close or similar colour (the tightest tolerance
# that holds enough pixels) or not at all. With the module's measures and
# without --pixels, a target is found directly (its nearest dominant colour
# closer than 10), within the threshold (credited with a share), or not at
# all; with --pixels the bands are the module's distances 15, 30 and 50.
# The keys are shared (a page styles them): direct, close, within, none.
SIMILARITY_BANDS = (("direct", "found directly"), ("within", "within the threshold"), ("none", "not found"))
PIXEL_BANDS = (("direct", "pixels within 15"), ("close", "pixels within 30"),
               ("within", "pixels within 50"), ("none", "no pixel within 50"))
_PRESENT = (("match", "direct"), ("close", "close"), ("similar", "within"))


def bands(kind: str, tolerances=(2.0, 5.0, 10.0)) -> tuple[tuple[str, str], ...]:
    """The bands of match records of a kind (delta_e, pixels, similarity)."""
    if kind == "delta_e":
        return (*((key, f"{word} (ΔE2000 ≤ {t:g})") for (word, key), t in zip(_PRESENT, tolerances)),
                ("none", "not present"))
    return PIXEL_BANDS if kind == "pixels" else SIMILARITY_BANDS


def band(record: dict, kind: str, tolerances=(2.0, 5.0, 10.0)) -> tuple[str, str]:
    """(key, words) of the band a target's match record falls in."""
    found = bands(kind, tolerances)
    if kind == "delta_e":
        words = [word for word, _ in _PRESENT]
        return found[words.index(record["present"])] if record["present"] in words else found[-1]
    if kind == "pixels":
        shares = (record["very_close_percentage"], record["close_percentage"], record["total_percentage"])
        for (key, words), share in zip(found, shares):
            if share > 0:
                return key, words
        return found[-1]
    if record["found_directly"]:
        return found[0]
    return found[1] if record["similarity"] > 0 else found[2]


def nearest(record: dict, kind: str):
    """The photo's colour nearest a target: a pixel's or a dominant colour."""
    return record[{"delta_e": "nearest_color", "pixels": "closest_pixel"}.get(kind, "closest_color")]


def target_share(record: dict, kind: str) -> float:
    """The share of the photo a match record gives its target: the pixels
    within the widest tolerance, or the module's share."""
    return float(record[{"delta_e": "similar_share", "pixels": "total_percentage"}.get(kind, "percentage")])
