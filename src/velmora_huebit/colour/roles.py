"""Swatch roles: which of a photo's colours a designer would take as the
vibrant accent, the muted background, and the dark and light variants of
each, after the six roles of Android's Palette API, judged in OKLCH
(perceptual lightness and chroma) rather than in HSL.

Each role has a band of lightness and of chroma a colour must lie in, and
within the band the colour nearest the role's target lightness and chroma,
helped a little by its share, takes it. Roles are filled in the order of
ROLES, each from the colours no earlier role took, so a colour holds at most
one role; a role no colour fits stays empty. The roles are picked among the
colours reported: ask for more colours (-n 12) for finer ones."""

from __future__ import annotations

from velmora_huebit.colour.space import oklch_all

# (role, lightness band, target lightness, chroma band, target chroma).
# OKLCH lightness runs 0-1 (mid grey #777777 is 0.57); sRGB's most vivid
# colours reach chroma 0.2-0.32, earth tones 0.05-0.09, pastels 0.04-0.07.
# The chroma that counts as vibrant falls towards light and dark, where
# sRGB holds less of it: a clear pastel is a light vibrant colour.
CHROMA = {"mid": 0.09, "dark": 0.07, "light": 0.05}  # vibrant from, muted below
ROLES = (
    ("vibrant", (0.45, 0.82), 0.63, (CHROMA["mid"], 1.0), 0.30),
    ("vibrant_dark", (0.0, 0.50), 0.35, (CHROMA["dark"], 1.0), 0.30),
    ("vibrant_light", (0.72, 1.0), 0.85, (CHROMA["light"], 1.0), 0.30),
    ("muted", (0.45, 0.82), 0.63, (0.0, CHROMA["mid"]), 0.04),
    ("muted_dark", (0.0, 0.50), 0.30, (0.0, CHROMA["dark"]), 0.04),
    ("muted_light", (0.72, 1.0), 0.85, (0.0, CHROMA["light"]), 0.02),
)
NAMES = tuple(role for role, *_ in ROLES)
# weights of the score (Android's: lightness counts most, then chroma and share alike)
LIGHTNESS_WEIGHT, CHROMA_WEIGHT, SHARE_WEIGHT = 0.52, 0.24, 0.24


def pick_roles(colours: list[tuple[tuple[int, int, int], float]]) -> dict[str, int | None]:
    """{role: the index of its colour in colours ((rgb, share) pairs), or
    None}, for every role of NAMES."""
    found = oklch_all([rgb for rgb, _ in colours])
    largest = max((float(share) for _, share in colours), default=0.0) or 1.0
    taken: set[int] = set()
    roles: dict[str, int | None] = {}
    for role, (low_l, high_l), target_l, (low_c, high_c), target_c in ROLES:
        best, best_score = None, -1.0
        for index, ((lightness, chroma, _), (_, share)) in enumerate(zip(found, colours)):
            if index in taken or not (low_l <= lightness <= high_l and low_c <= chroma < high_c):
                continue
            score = (LIGHTNESS_WEIGHT * (1 - abs(lightness - target_l))
                     + CHROMA_WEIGHT * (1 - min(1.0, abs(chroma - target_c) / 0.3))
                     + SHARE_WEIGHT * float(share) / largest)
            if score > best_score:
                best, best_score = index, score
        roles[role] = best
        if best is not None:
            taken.add(best)
    return roles


def mark_roles(records: list) -> list:
    """The colour records with "role" added to those that hold one."""
    for role, index in pick_roles([(r["color"], r["percentage"]) for r in records]).items():
        if index is not None:
            records[index]["role"] = role
    return records
