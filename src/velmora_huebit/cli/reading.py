"""Reading photos and masks. The command line reads each file's bytes itself
and hands OpenCV the bytes, never the name: a name that is not valid UTF-8
then cannot trip a library up, and a FIFO or device is recognised before
anything is read from it (a read would block forever or never end).

The colour image is decoded exactly as cv2.imread decodes a file (8-bit
blue-green-red, EXIF orientation applied), so results equal the module's for
the same file. Transparency is read separately, only for files that can
carry it."""

from __future__ import annotations

import dataclasses
import io
import os
import stat
import warnings

# alpha values below this (on the 0-255 scale) count as transparent
OPAQUE = 128

# what a file that is not a regular one is, for the message that skips it
_KINDS = ((stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"),
          (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket"))


class PhotoError(Exception):
    """A failure explained in words for the user."""


def read_file(path: str) -> bytes:
    """The bytes of a regular file; PhotoError for anything else."""
    try:
        info = os.stat(path)
        if stat.S_ISDIR(info.st_mode):
            raise PhotoError("is a folder")
        if not stat.S_ISREG(info.st_mode):
            kind = next((name for test, name in _KINDS if test(info.st_mode)), "not a regular file")
            raise PhotoError(f"{kind}, not a photo: skipped without reading it")
        # non-blocking, in case the file was swapped for a FIFO after the check
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0))
        with open(fd, "rb") as file:
            if not stat.S_ISREG(os.fstat(file.fileno()).st_mode):
                raise PhotoError("not a regular file, not a photo: skipped without reading it")
            return file.read()
    except FileNotFoundError:
        raise PhotoError("no such file") from None
    except OSError as exc:
        raise PhotoError(f"cannot read the file: {exc.strerror or exc}") from None


def read_bytes(path: str, s3_options: dict | None = None) -> bytes:
    """The bytes of a photo: a local file (read_file), or the object a URL
    names (read through fsspec, see storage)."""
    from velmora_huebit.cli.storage import StorageError, is_url, options_for, read_object

    if not is_url(path):
        return read_file(path)
    try:
        return read_object(path, options_for(path, s3_options))
    except StorageError as exc:
        raise PhotoError(str(exc)) from None


def _probe(data: bytes) -> tuple[bool, int]:
    """Whether the image may be transparent, and its EXIF orientation,
    from the header alone. Formats Pillow does not know may be transparent."""
    from PIL import Image

    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # size warnings: OpenCV decodes it anyway
            with Image.open(io.BytesIO(data)) as image:
                alpha = "A" in image.getbands() or "transparency" in image.info
                return alpha, image.getexif().get(0x0112, 1)
    except Exception:
        return True, 1


def _jpeg_header(data: bytes) -> tuple[tuple[int, int] | None, bool]:
    """(size as shown, EXIF orientation applied, or None; whether the file
    is truncated) of a JPEG."""
    from PIL import Image

    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            with Image.open(io.BytesIO(data)) as image:
                size = image.size[::-1] if image.getexif().get(0x0112, 1) in (5, 6, 7, 8) else image.size
                # decoded at an eighth of the size: all of the data is read, fast
                image.draft("RGB", (1, 1))
                try:
                    image.load()
                except OSError as exc:
                    return size, "truncated" in str(exc)
                return size, False
    except Exception:
        return None, False


def _reduction(size: tuple[int, int] | None, max_side: int) -> int:
    """The cv2.IMREAD_* flag that decodes a JPEG at 1/2, 1/4 or 1/8 of its
    size when that still leaves at least max_side pixels to shrink from:
    the decoder averages the pixels itself, far quicker than a full decode."""
    import cv2

    if size and max_side:
        for factor, flag in ((8, cv2.IMREAD_REDUCED_COLOR_8), (4, cv2.IMREAD_REDUCED_COLOR_4),
                             (2, cv2.IMREAD_REDUCED_COLOR_2)):
            if max(size) // factor >= max_side:
                return flag
    return cv2.IMREAD_COLOR


def _oriented(alpha, orientation: int):
    """The alpha plane turned as EXIF orientation 1-8 asks, as OpenCV turns the colour."""
    import numpy as np

    turns = {2: lambda a: a[:, ::-1], 3: lambda a: a[::-1, ::-1], 4: lambda a: a[::-1],
             5: lambda a: a.T, 6: lambda a: np.rot90(a, -1), 7: lambda a: np.rot90(a, 1)[::-1],
             8: lambda a: np.rot90(a, 1)}
    return np.ascontiguousarray(turns[orientation](alpha)) if orientation in turns else alpha


def _alpha(buffer, shape, orientation: int):
    """The alpha plane on the 0-255 scale, aligned with the colour image,
    or None when the image has none."""
    import cv2
    import numpy as np

    raw = cv2.imdecode(buffer, cv2.IMREAD_UNCHANGED)
    if raw is None or raw.ndim != 3 or raw.shape[2] not in (2, 4):
        return None
    alpha = raw[:, :, -1]
    if alpha.dtype == np.uint16:
        alpha = (alpha >> 8).astype(np.uint8)
    elif alpha.dtype != np.uint8:  # floating point (EXR): 0 to 1
        alpha = (np.clip(np.nan_to_num(alpha), 0, 1) * 255).astype(np.uint8)
    for candidate in (_oriented(alpha, orientation), alpha):
        if candidate.shape == shape:
            return candidate
    return None


@dataclasses.dataclass
class Decoded:
    image: object  # 8-bit BGR, as cv2.imread gives it (possibly reduced, see max_side)
    alpha: object  # 8-bit alpha plane of the image's size, or None
    size: tuple[int, int]  # (width, height) of the photo itself
    notes: list  # warnings for the user


def decode(data: bytes, with_alpha: bool, max_side: int = 0) -> Decoded:
    """The photo in a file's bytes. With max_side, a large JPEG may come
    back reduced, to no less than max_side pixels on its longer side."""
    import cv2
    import numpy as np

    if not data:
        raise PhotoError("empty file")
    from velmora_huebit.cli import heif

    container = heif.kind(data)  # HEIC/HEIF go through pillow-heif (see heif)
    if container == "HEIF":
        return heif.decode(data, with_alpha, what=container)
    buffer = np.frombuffer(data, np.uint8)
    is_jpeg = data[:3] == b"\xff\xd8\xff"
    shown, truncated = _jpeg_header(data) if is_jpeg else (None, False)
    flag = _reduction(shown, max_side)
    image = cv2.imdecode(buffer, flag)
    if image is None and container == "AVIF":  # an OpenCV built without AVIF
        return heif.decode(data, with_alpha, what=container)
    if image is None:
        if truncated:
            raise PhotoError("the JPEG file is truncated (cut off before its end)")
        raise PhotoError("cannot read the image (not an image file, or a damaged one)")
    size = shown if flag != cv2.IMREAD_COLOR else (image.shape[1], image.shape[0])
    notes = []
    if truncated:
        notes.append("the JPEG file is truncated (cut off before its end): the missing "
                     "part of the picture is filled with grey and counted")
    alpha = None
    if with_alpha and not is_jpeg:
        may_be_transparent, orientation = _probe(data)
        if may_be_transparent:
            alpha = _alpha(buffer, image.shape[:2], orientation)
    return Decoded(image, alpha, size, notes)


def read_mask(path: str, s3_options: dict | None = None):
    """A mask file as a colour image, as the module reads mask files."""
    return decode(read_bytes(path, s3_options), with_alpha=False).image
