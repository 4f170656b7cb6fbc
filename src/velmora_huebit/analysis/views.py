"""What a photo's result becomes besides its record, in the worker that
analysed it: its colours in the order asked for, a warning when DBSCAN
found no palette worth the name, and the thumbnail of the HTML report, made
from the image already decoded (never reading the photo twice)."""

from __future__ import annotations

import dataclasses

from velmora_huebit.colour.swatches import sort_colours

# DBSCAN: a colour whose share reaches this is "nearly everything"; the
# warning is given when at least FAR_SHARE of the photo's pixels lie farther
# than FAR (8-bit L*a*b* units, the module's "close" band) from every
# colour found. A photo that really is one colour (a plain logo) stays quiet.
ONE_COLOUR = 95.0
FAR = 30.0
FAR_SHARE = 0.1
SAMPLE = 1 << 16  # pixels looked at for that test


@dataclasses.dataclass(frozen=True)
class View:
    sort: str = "share"  # extract's colours: share, lightness or hue
    thumbnail: int = 0  # longer side of the report's thumbnails; 0 for none
    dbscan: bool = False  # the colours come from DBSCAN
    roles: bool = False  # extract: the swatch roles in every output (--roles)


def arrange(view: View, records: list, image, mask) -> tuple[list, str | None]:
    """(extract's records in the order asked for, a warning or None)."""
    note = _dbscan_note(records, image, mask) if view.dbscan else None
    return sort_colours(records, view.sort), note


def _wanted_lab(image, mask):
    import cv2
    import numpy as np

    from velmora_huebit.photos.reading import selected

    lab = cv2.cvtColor(image, cv2.COLOR_BGR2LAB).reshape(-1, 3)
    if mask is not None:
        lab = lab[selected(mask).reshape(-1)]
    step = max(1, len(lab) // SAMPLE)
    return lab[::step].astype(np.float32)


def _dbscan_note(records: list, image, mask) -> str | None:
    import cv2
    import numpy as np

    pixels = _wanted_lab(image, mask)
    if not len(pixels):
        return None  # an empty mask: the output says so itself
    if not records:
        return "DBSCAN found no dense group of colours (every pixel counted as noise); try --algorithm kmeans"
    top = max(records, key=lambda r: float(r["percentage"]))
    if float(top["percentage"]) < ONE_COLOUR:
        return None
    rgb = np.array([[r["color"] for r in records]], np.uint8)
    centres = cv2.cvtColor(rgb, cv2.COLOR_RGB2LAB).reshape(-1, 3).astype(np.float32)
    nearest = np.full(len(pixels), np.inf, np.float32)
    for centre in centres:  # one at a time: --colors may be large
        np.minimum(nearest, np.linalg.norm(pixels - centre, axis=1), out=nearest)
    far = float(np.mean(nearest > FAR))
    if far < FAR_SHARE:
        return None
    return (f"DBSCAN put {float(top['percentage']):.0f}% of the photo into one colour, though "
            f"{far:.0%} of its pixels lie far from every colour found; try --algorithm kmeans")


def thumbnail(image, side: int) -> bytes | None:
    """The image at most `side` pixels on its longer side, as JPEG bytes."""
    import cv2

    height, width = image.shape[:2]
    if not height or not width:
        return None
    if max(height, width) > side:
        from velmora_huebit.photos.sizing import shrunk, shrunk_size

        image = shrunk(image, shrunk_size(width, height, side))
    try:
        ok, encoded = cv2.imencode(".jpg", image, [cv2.IMWRITE_JPEG_QUALITY, 82])
    except cv2.error:  # the photo's record stands without its picture
        return None
    return encoded.tobytes() if ok else None
