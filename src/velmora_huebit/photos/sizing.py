"""What decoding a photo costs, from its header alone, and the pixel limit
that refuses a decompression bomb before anything is decoded; the errors
and the decoded photo that every reader (the decoders of reading and heif)
shares."""

from __future__ import annotations

import dataclasses

from velmora_huebit.photos.headers import Header, HeaderError, Source, Truncated, Unsupported, read_header
from velmora_huebit.photos.limits import OPENCV_DEFAULT, OPENCV_PIXELS, decoder_pixels

# Images are decoded when that takes no more memory than this many pixels of
# 8-bit colour: with the command's own 200 MB a process stays under 400 MB
# (bench/bench_reading.py), and a JPEG read reduced counts at its reduced size.
DEFAULT_MAX_PIXELS = 50_000_000

# OpenCV's own ceiling of a side (its OPENCV_IO_MAX_IMAGE_WIDTH and _HEIGHT defaults)
_DECODER_SIDE = 1 << 20

_UNREADABLE = "cannot read the image (not an image file, or a damaged one)"


class PhotoError(Exception):
    """A failure explained in words for the user."""


class TooLarge(PhotoError):
    """An image over the pixel limit, refused from its header."""


@dataclasses.dataclass
class Decoded:
    image: object  # 8-bit BGR, as cv2.imread gives it (possibly reduced, see max_side)
    alpha: object  # 8-bit alpha plane of the image's size, or None
    size: tuple[int, int]  # (width, height) of the photo itself
    notes: list  # warnings for the user
    picked: object = None  # 8-bit BGR: some of the photo's pixels at full size (see reading._coefficients)


def _header(source: Source) -> Header:
    if source.size == 0:
        raise PhotoError("empty file")
    try:
        return read_header(source)
    except Unsupported as exc:
        raise PhotoError(f"not read: {exc}") from None
    except Truncated as exc:
        raise PhotoError(f"the {exc} file is truncated (cut off before its end)") from None
    except HeaderError:
        raise PhotoError(_UNREADABLE) from None


def _factor(header: Header, max_side: int) -> int:
    """The scale 1/2, 1/4 or 1/8 at which the decoder can read a JPEG and
    still leave at least max_side pixels to shrink from: it averages the
    pixels itself, far quicker than a full decode."""
    if header.reducible and max_side:
        for factor in (8, 4, 2):
            if max(header.width, header.height) // factor >= max_side:
                return factor
    return 1


def shrunk_size(width: int, height: int, max_side: int) -> tuple[int, int]:
    """The size an image is shrunk to, its longer side max_side: the one
    rounding of every shrink (the photos, palette(), the report's thumbnails)."""
    scale = max_side / max(height, width)
    return max(1, round(width * scale)), max(1, round(height * scale))


_EPSILON = 2.220446049250313e-16  # C's DBL_EPSILON, as OpenCV compares with it


def shrunk(image, size: tuple[int, int]):
    """cv2.resize(image, size, interpolation=cv2.INTER_AREA): the same
    pixels, by the native _area (a third of the time) where OpenCV takes
    its general path: an 8-bit image (a plane, or 1 to 4 channels) made
    smaller by no whole factor. Every other image goes to OpenCV itself."""
    import cv2
    import numpy as np

    width, height = size
    old_height, old_width = image.shape[:2]
    if not (width > 0 and height > 0 and old_width and old_height):
        return cv2.resize(image, size, interpolation=cv2.INTER_AREA)  # its own error
    # OpenCV's scales, and its test for a whole factor (resize.cpp)
    scale_x, scale_y = 1.0 / (width / old_width), 1.0 / (height / old_height)
    whole = abs(scale_x - int(scale_x)) < _EPSILON and abs(scale_y - int(scale_y)) < _EPSILON
    channels = image.shape[2] if image.ndim == 3 else 1
    if image.dtype != np.uint8 or image.ndim not in (2, 3) or not 1 <= channels <= 4 or whole \
            or scale_x < 1 or scale_y < 1:
        return cv2.resize(image, size, interpolation=cv2.INTER_AREA)
    from velmora_huebit.photos import _area

    out = np.empty((height, width, channels), np.uint8)
    _area.shrink(image if image.ndim == 3 else image[:, :, None], out)
    return out if channels > 1 else out[:, :, 0]  # one channel comes back a plane, as from OpenCV


def _alpha_mode(header: Header, with_alpha: bool) -> str:
    """"": colour only; "same": colour and alpha from one decode with
    cv2.IMREAD_UNCHANGED (for 8 bits a sample it gives the colour exactly,
    and it ignores EXIF orientation, which TIFF's decoder applies itself);
    "second": a second decode for the alpha plane."""
    if not (with_alpha and header.alpha) or header.kind == "JPEG":
        return ""
    if not header.deep and (header.orientation == 1 or header.kind == "TIFF"):
        return "same"
    return "second"


def _cost(header: Header, factor: int, with_alpha: bool, max_side: int, shrink: bool) -> float:
    """Bytes that decoding takes, beyond the process itself."""
    pixels = -(-header.width // factor) * -(-header.height // factor)
    shrunk = shrink and max_side and max(header.width, header.height) // factor > max_side
    per_pixel = header.per_pixel
    if header.turned and header.kind != "TIFF":  # turned into a copy, and copied once more
        per_pixel += 6
    colour = pixels * per_pixel + header.fixed + header.scans_buffer
    mode = _alpha_mode(header, with_alpha)
    if mode == "same":  # the colour and alpha planes split off, unless shrunk first
        return pixels * (header.alpha_per_pixel + (0 if shrunk else 4)) + header.fixed
    if mode == "second":  # the colour stays (unless shrunk) while the alpha plane is read
        alpha = pixels * (header.alpha_per_pixel + (0 if shrunk else 3) + 2) + header.fixed
        return max(colour, alpha)
    return colour


def _megapixels(count: float) -> str:
    return f"{count / 1e6:.1f}".removesuffix(".0")


def _check(header: Header, factor: int, with_alpha: bool, max_side: int, shrink: bool,
           max_pixels: int) -> None:
    width, height = header.width, header.height
    across, down = -(-width // factor), -(-height // factor)
    if max_pixels:
        _check_cost(header, factor, with_alpha, max_side, shrink, max_pixels)
    # OpenCV checks the size it decodes (a JPEG's reduced one) against its own limits
    limit = decoder_pixels()
    if across > _DECODER_SIDE or down > _DECODER_SIDE or across * down > limit:
        given = "" if limit == OPENCV_DEFAULT else f", {OPENCV_PIXELS} in this process"
        raise TooLarge(f"{width}x{height} pixels: larger than the decoder reads "
                       f"({_megapixels(limit)} megapixels at most{given})")


def _check_cost(header: Header, factor: int, with_alpha: bool, max_side: int, shrink: bool,
                max_pixels: int) -> None:
    width, height = header.width, header.height
    cost = _cost(header, factor, with_alpha, max_side, shrink)
    if cost <= 3 * max_pixels:
        return
    size = f"{width}x{height} pixels ({_megapixels(width * height)} megapixels)"
    across, down = -(-width // factor), -(-height // factor)
    if cost <= 3 * across * down + header.fixed and across * down > max_pixels:  # plain colour
        if factor > 1:
            size += f", {across}x{down} ({_megapixels(across * down)} megapixels) decoded at 1/{factor}"
    else:
        kind = ("progressive " if header.multi_scan else "") + header.kind + " image"
        if _alpha_mode(header, with_alpha):
            kind += " with transparency"
        size += (f"; decoding this {kind} takes about {cost / 1e6:.0f} MB, as much as "
                 f"{_megapixels(cost / 3)} megapixels of plain colour")
    raise TooLarge(f"{size}: over the limit of {_megapixels(max_pixels)} megapixels, not decoded "
                   "(--max-pixels N raises the limit, 0 lifts it)")


def check_held(size: int, max_pixels: int, what: str) -> None:
    """A file or object that is read whole into memory to be decoded (HEIF,
    AVIF, an object in a bucket), refused before it is read when holding it
    (twice: the bytes and the decoder's copy) takes more than the pixel
    limit allows."""
    if max_pixels and 2 * size > 3 * max_pixels:
        raise TooLarge(f"{what} of {size / 1e6:.0f} MB, read whole to be decoded: over the "
                       f"{1.5 * max_pixels / 1e6:.0f} MB that the limit of {_megapixels(max_pixels)} "
                       "megapixels allows (--max-pixels N raises the limit, 0 lifts it)")


# --- decoding --------------------------------------------------------------------
