"""HEIC/HEIF photos (what phones save by default), and AVIF where OpenCV
does not read it, decoded through Pillow with pillow-heif's openers (the
heif extra). reading.decode hands them here.

- Told apart by the brands of their ftyp box, not by their names.
- Sized from the container before any pixel is decoded (libheif reads the
  boxes when the file is opened, the pixels when it is loaded): an image
  whose decoding would take more memory than max_pixels pixels of plain
  8-bit colour is refused, as the other formats are.
- Upright as the file says: libheif applies the HEIF transforms (irot,
  imir), where HEIC keeps its orientation (and pillow-heif writes an EXIF
  orientation it is given); the EXIF tag of a HEIF file is not applied
  once more, as HEIF readers do not. Pillow's AVIF images are turned as
  their EXIF orientation says.
- 8 bits a sample (10- and 12-bit images are scaled down by pillow-heif),
  blue-green-red as OpenCV gives other formats, and the alpha plane kept
  apart, as for PNG.
"""

from __future__ import annotations

import io
import warnings

from velmora_huebit.photos.headers import Header, HeaderError, Source, container_size
from velmora_huebit.photos.limits import pillow_limit
from velmora_huebit.photos.sizing import _UNREADABLE, DEFAULT_MAX_PIXELS, Decoded, PhotoError, _check, check_held

# brands of an ISO media file's ftyp box (ISO/IEC 23008-12, and AV1's)
_AVIF = (b"avif", b"avis")
_HEIF = (b"heic", b"heix", b"heim", b"heis", b"hevc", b"hevx", b"hevm", b"hevs", b"mif1", b"msf1", b"mif2")

# Bytes a pixel takes to decode, at the peak (6.7 to 8.7 measured on 12-megapixel
# photos, bench/bench_buckets.py): libheif's planes and output, and our copy.
BYTES_PER_PIXEL = 9
BYTES_PER_PIXEL_ALPHA = 10


def kind(data) -> str | None:
    """"HEIF" or "AVIF" for the bytes of such a file, else None."""
    head = bytes(data[:64])
    if len(head) < 16 or head[4:8] != b"ftyp":
        return None
    end = min(int.from_bytes(head[:4], "big"), len(head))
    # the major brand, then the compatible brands after the minor version
    brands = [head[8:12]] + [head[at:at + 4] for at in range(16, end - 3, 4)]
    if any(brand in _AVIF for brand in brands):
        return "AVIF"
    if any(brand in _HEIF for brand in brands):
        return "HEIF"
    return None


def _library(what: str):
    """pillow_heif when it reads this kind of file, None for an AVIF that
    only Pillow reads; PhotoError when nothing here reads it."""
    try:
        import pillow_heif
    except ImportError:
        pillow_heif = None
    if what == "AVIF" and (pillow_heif is None or not hasattr(pillow_heif, "register_avif_opener")):
        if _pillow_reads_avif():  # pillow-heif 1.0 left AVIF to Pillow
            return None
        if pillow_heif is not None:
            raise PhotoError("an AVIF photo that neither OpenCV nor Pillow here reads")
    if pillow_heif is None:
        raise PhotoError(f"a {'HEIC/HEIF' if what == 'HEIF' else what} photo: reading it needs pillow-heif: "
                         "pip install 'velmora_huebit[heif]'")
    return pillow_heif


def _pillow_reads_avif() -> bool:
    from PIL import features

    try:
        return bool(features.check("avif"))
    except ValueError:  # a Pillow that does not know the feature
        return False


def _check_size(width: int, height: int, alpha: bool, max_pixels: int, what: str, fixed: int = 0) -> None:
    """Refused over the pixel limit as the other formats are, at what
    libheif takes to decode (alpha is decoded whether it is wanted or not)."""
    if max_pixels:
        header = Header(what, width, height, alpha=alpha, per_pixel=BYTES_PER_PIXEL, fixed=fixed,
                        alpha_per_pixel=BYTES_PER_PIXEL_ALPHA - 4)  # the same decode, its planes split off
        _check(header, 1, alpha, 0, False, max_pixels)


def check_file(source: Source, max_pixels: int, what: str) -> None:
    """Refused before the file is read whole (libheif takes it in memory):
    a file too large to hold, or an image over the pixel limit by the size
    its boxes declare (checked again as libheif reads them)."""
    check_held(source.size, max_pixels, f"a {what} file")
    try:
        size = container_size(source)
    except HeaderError:
        size = None  # libheif says what it makes of it
    if size is not None:
        _check_size(*size, max_pixels, what, fixed=2 * source.size)


def decode(data, with_alpha: bool, max_pixels: int = DEFAULT_MAX_PIXELS, what: str | None = None) -> Decoded:
    """The image in the bytes of a HEIF or AVIF file, as reading.decode
    gives other formats (8-bit blue-green-red, the alpha plane apart)."""
    import cv2
    import numpy as np

    what = what or kind(data) or "HEIF"
    library = _library(what)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            if library is not None:
                # libheif reads the boxes here and decodes on the first look at the pixels
                image = library.open_heif(io.BytesIO(data), convert_hdr_to_8bit=True)
                alpha = image.has_alpha
                _check_size(*image.size, alpha, max_pixels, what)
                pixels = np.asarray(image)
            else:
                pixels, alpha = _pillow(data, max_pixels, what)
        except PhotoError:
            raise
        except MemoryError:
            raise
        except Exception:  # libheif's and Pillow's errors for a damaged or unknown file
            raise PhotoError(_UNREADABLE) from None
    if pixels.ndim != 3 or pixels.shape[2] != (4 if alpha else 3) or pixels.dtype != np.uint8:
        raise PhotoError(_UNREADABLE)
    plane = np.ascontiguousarray(pixels[:, :, 3]) if alpha and with_alpha else None
    image = cv2.cvtColor(pixels, cv2.COLOR_RGBA2BGR if alpha else cv2.COLOR_RGB2BGR)
    return Decoded(image, plane, (image.shape[1], image.shape[0]), [])


def _pillow(data, max_pixels: int, what: str):
    """(RGB or RGBA pixels, alpha) of an AVIF through Pillow's own plugin,
    upright as its EXIF orientation says."""
    import numpy as np
    from PIL import Image, ImageOps

    pillow_limit()
    with Image.open(io.BytesIO(data), formats=["AVIF"]) as image:
        alpha = "A" in image.getbands() or "transparency" in image.info
        _check_size(*image.size, alpha, max_pixels, what)
        image.load()
        mode = "RGBA" if alpha else "RGB"
        if image.mode != mode:
            image = image.convert(mode)
        if image.getexif().get(0x0112, 1) != 1:
            image = ImageOps.exif_transpose(image)
        return np.asarray(image), alpha
