"""velmora_huebit.palette(): the dominant colours of one image, as the
command line's ``extract`` finds them, from a path, the bytes of an image
file, a NumPy array or a PIL image.

The pieces are shared with the command line: ``prepare`` shrinks an image
and folds its transparency into the mask, ``dominant_colors`` runs the
palette engine (the native module ``velmora_huebit._engine``) on what
``prepare`` gives, and ``color_records`` is the one place that turns the
engine's clusters into colour records. Nothing here imports scikit-learn or
Matplotlib.
"""

from __future__ import annotations

import errno
import os
import sys
from typing import TYPE_CHECKING, Any, BinaryIO, Literal

if TYPE_CHECKING:
    from numpy.typing import NDArray
    from PIL.Image import Image as PILImage

    from velmora_huebit.records import ColorRecord

    # what palette() takes as an image, and as a mask
    ImageLike = str | os.PathLike[str] | bytes | bytearray | memoryview | BinaryIO | NDArray[Any] | PILImage
    MaskLike = str | os.PathLike[str] | NDArray[Any] | PILImage

MAX_COLORS = 256  # velmora_huebit._engine.MAX_COLORS
DEFAULT_MAX_SIDE = 256


def color_records(swatches: list[tuple[tuple[int, int, int], int]]) -> list[ColorRecord]:
    """The engine's [((r, g, b), pixels), ...] as colour records, in its
    order (the most pixels first)."""
    total = sum(pixels for _, pixels in swatches)
    return [{"color": colour, "percentage": round(pixels / total * 100, 2)}
            for colour, pixels in swatches]


def grey(mask):
    """A mask's grey plane (a mask read as blue-green-red has three)."""
    if mask is not None and mask.ndim == 3:
        import cv2

        return cv2.cvtColor(mask, cv2.COLOR_BGR2GRAY)
    return mask


def dominant_colors(image, mask, n_colors: int, rgb: bool = False, counted=None) -> list[ColorRecord]:
    """The palette engine's records for an 8-bit image (blue-green-red, or
    red-green-blue with rgb) and an 8-bit mask or None, both as prepared;
    with counted, the (image, mask) of a larger decode, their shares counted
    there (see shares)."""
    from velmora_huebit._engine import find_palette

    swatches = find_palette(image, n_colors, grey(mask), rgb=rgb)
    if counted is not None and swatches:
        from velmora_huebit.analysis.shares import recount

        swatches = recount(swatches, counted[0], grey(counted[1]), rgb)
    return color_records(swatches)


def _shrink(image, max_side: int):
    from velmora_huebit.photos.sizing import shrunk, shrunk_size

    height, width = image.shape[:2]
    if not max_side or max(height, width) <= max_side:
        return image
    return shrunk(image, shrunk_size(width, height, max_side))


def _wanted(mask, alpha):
    """One mask from the user's mask and the alpha plane: a pixel is wanted
    when both say so (mask grey value above 128, alpha at least OPAQUE)."""
    import numpy as np

    from velmora_huebit.photos.reading import OPAQUE, selected

    wanted = alpha >= OPAQUE
    if mask is not None:
        wanted &= selected(mask)
    return np.where(wanted, np.uint8(255), np.uint8(0))


def prepare(image, alpha, mask, max_side: int):
    """(image, mask): the image shrunk to max_side (0: as it is), the mask
    (of the image's full size, or None) shrunk with it, and transparent
    pixels (alpha below OPAQUE) left out of the mask."""
    import cv2

    from velmora_huebit.photos import sizing
    from velmora_huebit.photos.reading import OPAQUE

    shrunk = _shrink(image, max_side)
    if mask is not None and mask.shape[:2] != shrunk.shape[:2]:
        # nearest neighbour keeps the mask's edges where they were
        mask = cv2.resize(mask, shrunk.shape[1::-1], interpolation=cv2.INTER_NEAREST)
    if alpha is not None and alpha.min() < OPAQUE:
        if alpha.shape[:2] != shrunk.shape[:2]:
            # averaged, then cut at OPAQUE: a shrunk edge pixel counts when mostly opaque
            alpha = sizing.shrunk(alpha, shrunk.shape[1::-1])
        mask = _wanted(mask, alpha)
    return shrunk, mask


# ---- palette() ------------------------------------------------------------------


def _count(n_colors: Any) -> int:
    if isinstance(n_colors, bool) or not hasattr(type(n_colors), "__index__"):
        raise TypeError(f"n_colors must be a whole number, not {type(n_colors).__name__}")
    value = n_colors.__index__()
    if not 1 <= value <= MAX_COLORS:
        raise ValueError(f"n_colors must be from 1 to {MAX_COLORS}, not {value}")
    return value


def _side(max_side: Any) -> int:
    if isinstance(max_side, bool) or not hasattr(type(max_side), "__index__"):
        raise TypeError(f"max_side must be a whole number, not {type(max_side).__name__}")
    value = max_side.__index__()
    if value < 0:
        raise ValueError(f"max_side must be 0 (full size) or more, not {value}")
    return value


def _pil_image(value: Any) -> bool:
    module = sys.modules.get("PIL.Image")
    return module is not None and isinstance(value, module.Image)


def _decode(given: Any, keep_transparent: bool, max_side: int, picked=None):
    """(image, alpha, full size, picked) of a local file's path, read where it
    lies as the command line reads it, or of an image file's bytes (picked:
    as the reader takes and gives them); its warnings (a truncated JPEG) as
    Python warnings."""
    import warnings

    from velmora_huebit.photos.reading import PhotoError, decode, read_local

    if isinstance(given, bytes):
        what, read = "image data", decode
    else:
        what, read = os.fsdecode(given), read_local
    try:
        photo = read(given if isinstance(given, bytes) else what, not keep_transparent, max_side, picked=picked)
    except PhotoError as exc:
        if str(exc) == "no such file" and read is read_local:
            raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), what) from None
        raise ValueError(f"{what}: {exc}") from None
    for note in photo.notes:
        warnings.warn(f"{what}: {note}", stacklevel=5)  # the caller of palette() or match()
    return photo.image, photo.alpha, photo.size, photo.picked


def _from_array(array, what: str):
    """(image, alpha) of an 8-bit array: height x width (grey), or with 1, 3
    or 4 channels (the fourth is alpha)."""
    import numpy as np

    if array.dtype != np.uint8:
        raise TypeError(f"{what} must hold 8-bit values (uint8), not {array.dtype}; "
                        "convert it, for instance with array.astype(np.uint8)")
    if array.ndim == 2 or (array.ndim == 3 and array.shape[2] == 1):
        grey = array.reshape(array.shape[:2])
        return np.repeat(grey[:, :, None], 3, axis=2), None
    if array.ndim != 3 or array.shape[2] not in (3, 4):
        raise ValueError(f"{what} must be height x width, or height x width x 3 or 4 "
                         f"(with alpha), not {' x '.join(map(str, array.shape)) or 'a scalar'}")
    alpha = array[:, :, 3] if array.shape[2] == 4 else None
    return array[:, :, :3], alpha


def _load_image(image: Any, channels: str, keep_transparent: bool, max_side: int, picked=None):
    """(image, alpha, full size (width, height), rgb order, picked): picked
    as the reader takes and gives them, for a photo file."""
    import numpy as np

    if isinstance(image, (str, os.PathLike)):
        return (*_decode(image, keep_transparent, max_side, picked), False)
    if isinstance(image, (bytes, bytearray, memoryview)):
        return (*_decode(bytes(image), keep_transparent, max_side, picked), False)
    if callable(getattr(image, "read", None)):  # a file object: BytesIO, an open file
        import io

        data = None if isinstance(image, io.TextIOBase) else image.read()
        if not isinstance(data, (bytes, bytearray)):
            raise TypeError("image must be a file opened in binary mode ('rb'), not in text mode")
        return (*_decode(bytes(data), keep_transparent, max_side, picked), False)
    if _pil_image(image):
        has_alpha = "A" in image.getbands() or "transparency" in image.info
        array = np.asarray(image.convert("RGBA" if has_alpha else "RGB"))
        colour, alpha = _from_array(array, "image")
        return colour, None if keep_transparent else alpha, image.size, None, True
    if isinstance(image, np.ndarray):
        colour, alpha = _from_array(image, "image")
        size = (colour.shape[1], colour.shape[0])
        return colour, None if keep_transparent else alpha, size, None, channels == "rgb"
    raise TypeError("image must be a path, the bytes of an image file, a binary file object, a "
                    f"NumPy array or a PIL image, not {type(image).__name__}")


def _load_mask(mask: Any, size: tuple[int, int]):
    """The mask as an 8-bit plane of the image's full size (a pixel counts
    above 128), or None."""
    import numpy as np

    if mask is None:
        return None
    if isinstance(mask, (str, os.PathLike)):
        plane = _decode(mask, True, 0)[0]
    elif _pil_image(mask):
        plane = np.asarray(mask.convert("L"))
    elif isinstance(mask, np.ndarray):
        plane = mask
        if plane.dtype == np.bool_:
            plane = np.where(plane, np.uint8(255), np.uint8(0))
        elif plane.dtype != np.uint8:
            raise TypeError(f"mask must hold 8-bit values (uint8) or booleans, not {plane.dtype}")
    else:
        raise TypeError(f"mask must be a path, a NumPy array or a PIL image, not {type(mask).__name__}")
    if plane.ndim == 3 and plane.shape[2] == 1:
        plane = plane[:, :, 0]
    if plane.ndim == 3 and plane.shape[2] == 3:
        import cv2

        plane = cv2.cvtColor(np.ascontiguousarray(plane), cv2.COLOR_BGR2GRAY)
    if plane.ndim != 2:
        raise ValueError("mask must be height x width, or height x width x 3, not "
                         f"{' x '.join(map(str, plane.shape)) or 'a scalar'}")
    if plane.shape[::-1] != tuple(size):
        raise ValueError(f"mask is {plane.shape[1]}x{plane.shape[0]} pixels but the image is "
                         "{}x{}".format(*size))
    return plane


def check_channels(channels: Any) -> None:
    if channels not in ("bgr", "rgb"):
        raise ValueError(f"channels must be 'bgr' or 'rgb', not {channels!r}")


def load_prepared(image: Any, mask: Any, max_side: Any, channels: Any, keep_transparent: Any):
    """(image, mask, rgb, counted) as palette() analyses them, the image
    shrunk and its transparency folded into the mask, and the larger
    (image, mask) its shares are counted on (see shares) or None; None for
    an image without pixels.
    The arguments as palette() takes them, channels checked before."""
    from velmora_huebit.analysis.shares import counted, pick, reading_side

    side = _side(max_side)
    colour, alpha, size, given, rgb = _load_image(image, channels, bool(keep_transparent), reading_side(side),
                                                  pick(side, mask))
    plane = _load_mask(mask, size)
    if colour.size == 0:
        return None
    if side and max(colour.shape[:2]) > side:
        import numpy as np

        colour = np.ascontiguousarray(colour)  # OpenCV shrinks rows of packed pixels
    shrunk, wanted = prepare(colour, alpha, plane, side)
    return shrunk, wanted, rgb, counted(colour, alpha, plane, shrunk, given)


def palette(
    image: ImageLike,
    n_colors: int = 5,
    *,
    mask: MaskLike | None = None,
    max_side: int = DEFAULT_MAX_SIDE,
    channels: Literal["bgr", "rgb"] = "bgr",
    keep_transparent: bool = False,
    names: Literal["css", "xkcd"] | None = "css",
    roles: bool = False,
) -> list[ColorRecord]:
    """The dominant colours of an image, largest share first, exactly as
    ``velmora-huebit extract`` reports them with the same settings.

    image: a path (str or os.PathLike), the bytes of an image file, a file
    object opened in binary mode (read from where it stands), a NumPy
    array of 8-bit values (height x width x 3 in blue-green-red order as
    OpenCV reads it, or red-green-blue with ``channels="rgb"``; a fourth
    channel is alpha; height x width is grey), or a PIL image.

    n_colors: at most this many colours (1 to 256); an image with fewer
    distinct colours gives fewer records.
    mask: None, a path, a NumPy array or a PIL image of the image's size;
    only pixels where it is above 128 (or True) are analysed.
    max_side: images whose longer side exceeds it are shrunk to it first
    (area interpolation; 0 analyses the full resolution).
    keep_transparent: count pixels whose alpha is below 128 too (by default
    they are left out).
    names: the list each colour is named from, by CIEDE2000: "css" (the 148
    CSS colour names), "xkcd" (the 949 names of the XKCD colour survey), or
    None for records without a name. No two colours of a palette share a
    name (see colour.names).
    roles: add "role" to the colours that take one of the six swatch roles
    ("vibrant", "vibrant_dark", "vibrant_light", "muted", "muted_dark",
    "muted_light"; see velmora_huebit.colour.roles); each role goes to at
    most one colour, and a role no colour fits is left out.

    Returns ``[{'color': (r, g, b), 'hex': '#rrggbb', 'percentage': share,
    'name': name}, ...]``
    with shares in percent of the analysed pixels, rounded to two decimals;
    ``[]`` when no pixel is left. The same pixels always give the same
    records.
    """
    check_channels(channels)
    if names not in ("css", "xkcd", None):
        raise ValueError(f"names must be 'css', 'xkcd' or None, not {names!r}")
    k = _count(n_colors)
    prepared = load_prepared(image, mask, max_side, channels, keep_transparent)
    if prepared is None:
        return []
    shrunk, wanted, rgb, larger = prepared
    records = dominant_colors(shrunk, wanted, k, rgb=rgb, counted=larger)
    from velmora_huebit.colour.space import hex_code

    records = [{"color": r["color"], "hex": hex_code(r["color"]), "percentage": r["percentage"]}
               for r in records]
    if names is not None:
        from velmora_huebit.colour.names import add_names

        add_names(records, names)
    if roles:
        from velmora_huebit.colour.roles import mark_roles

        mark_roles(records)
    return records
