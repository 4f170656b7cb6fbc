"""Reading photos and masks.

Every file is sized from its header before anything is decoded (headers.py):
an image that would take more memory to decode than max_pixels pixels of
plain 8-bit colour (3 bytes each) is refused in one line, so a decompression
bomb, a small file that claims billions of pixels, costs a few small reads.
A JPEG is decoded at 1/2, 1/4 or 1/8 of its size by the decoder itself when
max_side leaves enough pixels to shrink from.

The decoder is cv2.imread, as the module uses for a path, so the pixels are
the module's: 8-bit blue-green-red, EXIF orientation applied, and a JPEG cut
off before its end decoded as far as it goes, with a warning; the decoder's
grey below the cut comes back transparent in the alpha plane, so that it is
left out as transparent pixels are (see damage). It reads the file that was opened and checked, by its
/proc/self/fd name: a FIFO or device is refused before anything is read from
it, a name that is not valid UTF-8 cannot trip a library up, and the file is
never read whole into memory. Bytes go through an in-memory file the same way.

Transparency comes from the same decode where that gives the colour exactly
(8 bits a sample, no EXIF turn); otherwise from a second decode."""

from __future__ import annotations

import contextlib
import os
import re
import stat
import sys
import threading

from velmora_huebit.photos.damage import fill_alpha, transparency_note, truncation_fill, truncation_note
from velmora_huebit.photos.limits import out_of_memory
from velmora_huebit.photos.headers import MAX_SCANS, Header, HeaderError, Source, jpeg_scans, png_complete, read_header
from velmora_huebit.photos.sizing import (_UNREADABLE, DEFAULT_MAX_PIXELS, Decoded, PhotoError, TooLarge, _alpha_mode,
                                          _check, _factor, _header, check_held, shrunk, shrunk_size)

# alpha values below this (on the 0-255 scale) count as transparent
OPAQUE = 128


def selected(mask):
    """Where a mask (a grey plane, or blue-green-red as cv2.imread reads it)
    selects its pixels: a grey value above 128, as the module reads masks."""
    import cv2

    grey = mask if mask.ndim == 2 else cv2.cvtColor(mask, cv2.COLOR_BGR2GRAY)
    return grey > 128

# what a file that is not a regular one is, for the message that skips it
_KINDS = ((stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"),
          (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket"))


def _open(path) -> int:
    """A file descriptor of the regular file at path; PhotoError for anything else."""
    try:
        info = os.stat(path)
        if stat.S_ISDIR(info.st_mode):
            raise PhotoError("is a folder")
        if not stat.S_ISREG(info.st_mode):
            kind = next((name for test, name in _KINDS if test(info.st_mode)), "not a regular file")
            raise PhotoError(f"{kind}, not a photo: skipped without reading it")
        # non-blocking, in case the file was swapped for a FIFO after the check
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0))
    except FileNotFoundError:
        raise PhotoError("no such file") from None
    except OSError as exc:
        raise PhotoError(f"cannot read the file: {exc.strerror or exc}") from None
    if not stat.S_ISREG(os.fstat(fd).st_mode):
        os.close(fd)
        raise PhotoError("not a regular file, not a photo: skipped without reading it")
    return fd


def read_file(path, *, max_pixels: int = DEFAULT_MAX_PIXELS) -> bytes:
    """The bytes of a regular file; PhotoError for anything else, and for an
    image over the pixel limit (checked from its header before the rest is
    read). read_photo reads a photo without holding its file in memory."""
    fd = _open(path)
    try:
        try:
            # at the least it could cost: a JPEG read at 1/8, without alpha
            header = read_header(Source(fd=fd))
            _check(header, 8 if header.reducible else 1, False, 0, False, max_pixels)
        except HeaderError:
            pass  # not an image: the caller's decode says so
        with open(fd, "rb", closefd=False) as file:
            return file.read()
    except OSError as exc:
        raise PhotoError(f"cannot read the file: {exc.strerror or exc}") from None
    finally:
        os.close(fd)


def read_photo(path, with_alpha: bool, max_side: int = 0, *, max_pixels: int = DEFAULT_MAX_PIXELS,
               shrink: bool = False, quiet: bool = False, storage: dict | None = None,
               picked: tuple[int, int] | None = None) -> Decoded:
    """The photo in the file at path, decoded as cv2.imread decodes it. With
    max_side, a large JPEG may come back reduced, to no less than max_side
    pixels on its longer side; with shrink too, every image comes back
    shrunk to max_side (area interpolation, as the command line shrinks)
    with its alpha plane, which is then None unless some pixel of the full
    image is transparent. quiet keeps the decoders' own messages off
    standard error. PhotoError for what cannot be read, TooLarge for an
    image over max_pixels (0: no limit). A URL (s3://bucket/key) is read
    through fsspec with the storage options, then decoded as its bytes.
    With picked=(side, pixels), a JPEG that 1/8 or 1/4 of its size leaves
    side pixels or more on its longer side is read from its coefficients
    instead (see _jpeg): at that scale, with up to that many of its pixels
    at full size in Decoded.picked, for one pass of the decoder."""
    if _is_url(path):
        return _read_object(path, storage, with_alpha, max_side, max_pixels, shrink, quiet, picked)
    return read_local(path, with_alpha, max_side, max_pixels=max_pixels, shrink=shrink, quiet=quiet, picked=picked)


def read_local(path, with_alpha: bool, max_side: int = 0, *, max_pixels: int = DEFAULT_MAX_PIXELS,
               shrink: bool = False, quiet: bool = False, picked: tuple[int, int] | None = None) -> Decoded:
    """read_photo of a local file, whatever its name looks like: decoded
    where it lies, its header parsed and its cost checked once."""
    fd = _open(path)
    try:
        return _read(Source(fd=fd), _Input(fd), with_alpha, max_side, max_pixels, shrink, quiet, picked=picked)
    finally:
        os.close(fd)


def decode(data: bytes, with_alpha: bool, max_side: int = 0, *, max_pixels: int = DEFAULT_MAX_PIXELS,
           shrink: bool = False, quiet: bool = False, picked: tuple[int, int] | None = None) -> Decoded:
    """The photo in a file's bytes, as read_photo reads a file."""
    if not data:
        raise PhotoError("empty file")
    source = Source(data=data)
    header = _header_or_heif(source)
    if isinstance(header, str):
        return _read_heif(source, with_alpha, max_side, max_pixels, shrink, header)
    # refused before the bytes are copied for the decoder; _read does not check again
    _check(header, _factor(header, max_side), with_alpha, max_side, shrink, max_pixels)
    with _Input.of_bytes(data) as given:
        return _read(source, given, with_alpha, max_side, max_pixels, shrink, quiet, header, picked)


def read_mask(path, *, max_pixels: int = DEFAULT_MAX_PIXELS, grey: bool = False, quiet: bool = False,
              storage: dict | None = None):
    """A mask file as a colour image, as the module reads mask files (with
    grey, as the one plane the module makes of it: the same mask in a third
    of the memory). Sized first like a photo."""
    import cv2

    image = read_photo(path, False, max_pixels=max_pixels, quiet=quiet, storage=storage).image
    return cv2.cvtColor(image, cv2.COLOR_BGR2GRAY) if grey else image


def read_bytes(path, storage: dict | None = None) -> bytes:
    """The bytes of a photo: a local file (read_file), or the object a URL
    names (object_bytes), each refused only over what it could cost at the
    least (LEAST)."""
    if not _is_url(path):
        return read_file(path)
    from velmora_huebit.photos.storage import StorageError, options_for

    try:
        return object_bytes(path, options_for(path, storage), **LEAST)
    except StorageError as exc:
        raise PhotoError(str(exc)) from None


# What any photo costs to decode at the least: a JPEG read at 1/8 (every
# max_side leaves that much), colour only. Sizing bytes or a path that
# someone else decodes with options of their own refuses only over that.
LEAST = {"with_alpha": False, "max_side": 1}


def _sized(source: Source, with_alpha: bool, max_side: int, max_pixels: int, shrink: bool,
           held: int = 0) -> None:
    """TooLarge when decoding the photo in source as read_photo would, with
    held bytes kept in memory beside it, costs more than max_pixels allows;
    PhotoError for one that is no image."""
    from velmora_huebit.photos import heif

    header = _header_or_heif(source)
    if isinstance(header, str):
        heif.check_file(source, max_pixels, header)
        return
    if held:
        check_held(held, max_pixels, "an object")
        header.fixed += 2 * held
    _check(header, _factor(header, max_side), with_alpha, max_side, shrink, max_pixels)


def check_file(path, with_alpha: bool = False, max_side: int = 0, *, max_pixels: int = DEFAULT_MAX_PIXELS,
               shrink: bool = False) -> None:
    """Refuses, from its header, a local photo that read_photo with these
    options would refuse as too large (TooLarge), and a name that is no
    regular file, such as a FIFO (PhotoError), before some other reader
    decodes it. A missing file, or one that is no image, passes: its reader
    says so in its own words."""
    try:
        fd = _open(path)
    except PhotoError as exc:
        if str(exc) == "no such file":
            return
        raise
    try:
        _sized(Source(fd=fd), with_alpha, max_side, max_pixels, shrink)
    except TooLarge:
        raise
    except (PhotoError, OSError):
        pass
    finally:
        os.close(fd)


def object_bytes(url: str, options: dict | None, with_alpha: bool = False, max_side: int = 0, *,
                 max_pixels: int = DEFAULT_MAX_PIXELS, shrink: bool = False) -> bytes:
    """The bytes of the object at url (options: fsspec's, as given), sized
    from its head before it is read whole: the bytes held count in what
    decoding it as read_photo would with these options costs, as a HEIF
    file's do on disk. TooLarge over max_pixels, PhotoError for a large
    object that is no image, StorageError for what cannot be read. An
    object that came whole with its head is sized too, with these options
    (its bytes may go to a decoder with limits of its own), but what it is
    otherwise is left for the decoder to say."""
    from velmora_huebit.photos.storage import object_head, read_object

    head, size, fetch = object_head(url, options)
    if size is None:  # a store that does not tell
        return read_object(url, options)
    try:
        _sized(Source(data=head, size=size, fetch=fetch), with_alpha, max_side, max_pixels, shrink, held=size)
    except PhotoError as exc:
        if isinstance(exc, TooLarge) or size > len(head):
            raise
    return head + fetch(len(head), size - len(head)) if size > len(head) else head


def _read_object(url: str, storage: dict | None, with_alpha: bool, max_side: int, max_pixels: int,
                 shrink: bool, quiet: bool, picked: tuple[int, int] | None) -> Decoded:
    """The photo in an object, sized first (object_bytes)."""
    from velmora_huebit.photos.storage import StorageError, options_for

    try:
        data = object_bytes(url, options_for(url, storage), with_alpha, max_side, max_pixels=max_pixels,
                            shrink=shrink)
    except StorageError as exc:
        raise PhotoError(str(exc)) from None
    return decode(data, with_alpha, max_side, max_pixels=max_pixels, shrink=shrink, quiet=quiet, picked=picked)


def _is_url(path) -> bool:
    from velmora_huebit.photos.storage import is_url

    return isinstance(path, str) and is_url(path)


# --- HEIC/HEIF, and AVIF that OpenCV does not read (see heif) ----------------------

def _header_or_heif(source: Source) -> Header | str:
    """The header of the image, or "HEIF" or "AVIF" for a file that
    pillow-heif reads: every HEIC/HEIF, and an AVIF whose size Pillow
    cannot tell."""
    from velmora_huebit.photos import heif

    container = heif.kind(source.read(0, 64))
    if container == "HEIF":
        return container
    try:
        return _header(source)
    except PhotoError:
        if container == "AVIF":
            return container
        raise


def _read_heif(source: Source, with_alpha: bool, max_side: int, max_pixels: int, shrink: bool,
               what: str) -> Decoded:
    from velmora_huebit.photos import heif

    heif.check_file(source, max_pixels, what)
    photo = heif.decode(source.read(0, source.size), with_alpha, max_pixels, what)
    image, alpha, full = photo.image, photo.alpha, photo.size
    if shrink and max_side and max(full) > max_side:
        image = shrunk(image, shrunk_size(*full, max_side))
    if shrink and alpha is not None:
        alpha = shrunk(alpha, image.shape[1::-1]) if alpha.min() < OPAQUE else None
    return Decoded(image, alpha, full, photo.notes)


class _Input:
    """The photo as the decoder reads it: the name of an open file
    (/proc/self/fd/N), or, where there is none, its bytes for cv2.imdecode."""

    def __init__(self, fd: int | None = None, data=None):
        self.name, self.data = None, data
        if fd is not None:
            for name in (f"/proc/self/fd/{fd}", f"/dev/fd/{fd}"):
                if os.path.exists(name):
                    self.name = name
                    break
            else:
                with open(fd, "rb", closefd=False) as file:
                    self.data = file.read()

    @classmethod
    @contextlib.contextmanager
    def of_bytes(cls, data):
        """Bytes as an in-memory file, so that they decode as a file does
        (cv2.imdecode gives nothing for a truncated JPEG)."""
        fd = None
        try:
            fd = os.memfd_create("photo", getattr(os, "MFD_CLOEXEC", 0))
            view = memoryview(data).cast("B")
            while view:
                view = view[os.write(fd, view):]
        except (AttributeError, OSError):
            if fd is not None:
                os.close(fd)
            yield cls(data=data)
            return
        try:
            given = cls(fd)
            yield given if given.name else cls(data=data)
        finally:
            os.close(fd)

    def imread(self, flags: int, shape: tuple | None = None, dtype=None):
        """cv2.imread(name, flags), into an array of this shape when given: the
        decoder then writes the pixels there, instead of into its own matrix
        copied once more for Python. None when the image cannot be decoded."""
        import cv2
        import numpy as np

        if self.name is None:
            return _guarded(cv2.imdecode, np.frombuffer(self.data, np.uint8), flags)
        if shape is not None and int(np.prod(shape)) >= 4096:
            target = np.empty(shape, dtype or np.uint8)
            # imread returns the array untouched when it cannot read the
            # header: a random mark in its first bytes tells
            mark = np.frombuffer(os.urandom(16), np.uint8)
            first = target.reshape(-1).view(np.uint8)[:16]
            first[:] = mark
            try:
                image = cv2.imread(self.name, target, flags)
            except (cv2.error, TypeError):  # another size or type than the header said
                pass
            else:
                if image is target and np.array_equal(first, mark):
                    return None
                return image
        return _guarded(cv2.imread, self.name, flags)


def _guarded(read, *args):
    """The decoder's result, None where it raises (a size it asserts on);
    MemoryError where it could not allocate."""
    import cv2

    try:
        return read(*args)
    except cv2.error as exc:
        if out_of_memory(exc):
            raise MemoryError(str(exc).strip()) from None
        return None


class _Silence:
    """Standard error (the descriptor: the process has one) sent to
    /dev/null while any thread decodes quietly, for libjpeg and libpng print
    their own lines ("Premature end of JPEG file") beside ours. Counted, so
    that threads decoding at once restore it once."""

    def __init__(self):
        self.lock = threading.Lock()
        self.count = 0
        self.saved = -1

    def __enter__(self):
        with self.lock:
            if self.count == 0:
                try:
                    sys.stderr.flush()
                    self.saved = os.dup(2)
                except (OSError, ValueError):  # no standard error to keep quiet
                    self.saved = -1
                if self.saved >= 0:
                    null = os.open(os.devnull, os.O_WRONLY)
                    os.dup2(null, 2)
                    os.close(null)
            self.count += 1

    def __exit__(self, *exc_info):
        with self.lock:
            self.count -= 1
            if self.count == 0 and self.saved >= 0:
                os.dup2(self.saved, 2)
                os.close(self.saved)
                self.saved = -1


_SILENCE = _Silence()


def _quiet(on: bool):
    return _SILENCE if on else contextlib.nullcontext()


def _oriented(alpha, orientation: int):
    """The alpha plane (or an image) turned as EXIF orientation 1-8 asks,
    as OpenCV turns the colour."""
    import numpy as np

    turns = {2: lambda a: a[:, ::-1], 3: lambda a: a[::-1, ::-1], 4: lambda a: a[::-1],
             5: lambda a: a.swapaxes(0, 1), 6: lambda a: np.rot90(a, -1), 7: lambda a: np.rot90(a, 1)[::-1],
             8: lambda a: np.rot90(a, 1)}
    return np.ascontiguousarray(turns[orientation](alpha)) if orientation in turns else alpha


def _alpha_plane(raw):
    """The last channel of a decode with alpha on the 0-255 scale, or None."""
    import numpy as np

    if raw is None or raw.ndim != 3 or raw.shape[2] not in (2, 4):
        return None
    alpha = raw[:, :, -1]
    if alpha.dtype == np.uint16:  # the high byte, without a 16-bit copy first
        return np.right_shift(alpha, 8, out=np.empty(alpha.shape, np.uint8), casting="unsafe")
    if alpha.dtype != np.uint8:  # floating point: 0 to 1
        return (np.clip(np.nan_to_num(alpha), 0, 1) * 255).astype(np.uint8)
    return np.ascontiguousarray(alpha)


def _old_opencv() -> bool:
    """OpenCV before 4.12, whose readers of animated PNG and WebP and of
    JPEG 2000 crash on damaged files (fuzz/reading.py finds them in seconds)."""
    import cv2

    return tuple(int(part) for part in re.findall(r"\d+", cv2.__version__)[:2]) < (4, 12)


def _decoded(given: _Input, source: Source, header: Header, flags: int, shape: tuple | None = None,
             dtype=None):
    image = given.imread(flags, shape, dtype)
    if image is None and header.kind == "TIFF" and header.turned:
        # OpenCV 5.1's imread fails on a TIFF that its decoder turns
        # ("Internal imread issue"), where imdecode reads it
        import cv2
        import numpy as np

        image = _guarded(cv2.imdecode, np.frombuffer(source.read(0, source.size), np.uint8), flags)
    return image


def _failure(source: Source, header: Header, truncated: bool) -> PhotoError:
    if truncated or (header.kind == "PNG" and not png_complete(source)):
        return PhotoError(f"the {header.kind} file is truncated (cut off before its end)")
    return PhotoError(_UNREADABLE)


def _read(source: Source, given: _Input, with_alpha: bool, max_side: int, max_pixels: int,
          shrink: bool, quiet: bool, header: Header | None = None,
          picked: tuple[int, int] | None = None) -> Decoded:
    import cv2
    import numpy as np

    checked = header is not None  # by decode, before it copied the bytes
    header = header or _header_or_heif(source)
    if isinstance(header, str):
        return _read_heif(source, with_alpha, max_side, max_pixels, shrink, header)
    factor = _factor(header, max_side)
    if not checked:
        _check(header, factor, with_alpha, max_side, shrink, max_pixels)
    notes = []
    truncated = False
    if header.kind == "JPEG":
        truncated, scans = jpeg_scans(source, header)
        if scans > MAX_SCANS:
            raise PhotoError(f"a JPEG of more than {MAX_SCANS} scans (a photo has about ten), not decoded")
    if (header.animated or header.kind == "JPEG 2000") and _old_opencv():
        kind = f"an animated {header.kind}" if header.animated else "a JPEG 2000"
        raise PhotoError(f"{kind} image, not read with OpenCV {cv2.__version__}, whose reader of "
                         "it crashes on damaged ones (OpenCV 4.12 or newer reads it)")
    scale = _factor(header, picked[0]) if picked and header.kind == "JPEG" and not truncated else 1
    if scale in (4, 8):
        sampled = _coefficients(source, header, scale, picked[1], max_pixels)
        if sampled is not None:
            return sampled
    stored = (-(-header.height // factor), -(-header.width // factor))  # as the decoder gives it
    mode = _alpha_mode(header, with_alpha)
    with _quiet(quiet):
        image = alpha = None
        if mode == "same":
            image = _decoded(given, source, header, cv2.IMREAD_UNCHANGED, stored + (4,))
            if image is None:
                if header.kind == "AVIF":  # an OpenCV built without AVIF
                    return _read_heif(source, with_alpha, max_side, max_pixels, shrink, "AVIF")
                raise _failure(source, header, truncated)
            if not (image.dtype == np.uint8 and image.ndim == 3 and image.shape[2] == 4):
                # not what the header promised: the colour comes from a decode of its own
                alpha, image, mode = _alpha_plane(image), None, "read"
        if image is None:
            flags = {1: cv2.IMREAD_COLOR, 2: cv2.IMREAD_REDUCED_COLOR_2,
                     4: cv2.IMREAD_REDUCED_COLOR_4, 8: cv2.IMREAD_REDUCED_COLOR_8}[factor]
            image = _decoded(given, source, header, flags, stored + (3,))
            if image is None:
                if header.kind == "AVIF":  # an OpenCV built without AVIF
                    return _read_heif(source, with_alpha, max_side, max_pixels, shrink, "AVIF")
                raise _failure(source, header, truncated)
    fill = None
    if truncated:  # the decoder's grey fill is no part of the photo: it goes as transparent
        fill = truncation_fill(image)
        notes.append(truncation_note(fill))
    full = image.shape[1::-1]
    if factor > 1:  # the photo's own size, turned as the decoder turned it
        down, across = stored
        turned = full == (down, across) and across != down or across == down and header.turned
        full = (header.height, header.width) if turned else (header.width, header.height)
    small = shrink and max_side and max(full) > max_side

    if mode == "same":  # colour and alpha from the one decode
        transparent = image[:, :, 3].min() < OPAQUE
        if small:  # shrunk together: the same as each on its own
            image = shrunk(image, shrunk_size(*full, max_side))
        alpha = np.ascontiguousarray(image[:, :, 3]) if transparent or not shrink else None
        return Decoded(np.ascontiguousarray(image[:, :, :3]), alpha, full, _noted(notes, alpha))

    if small and max(image.shape[:2]) > max_side:
        image = shrunk(image, shrunk_size(image.shape[1], image.shape[0], max_side))
    if fill is not None:  # a JPEG: no alpha of its own
        alpha = fill_alpha(fill, None)
        if alpha.shape != image.shape[:2]:
            alpha = shrunk(alpha, image.shape[1::-1])
        return Decoded(image, alpha, full, notes)
    if mode == "second":  # the colour is kept (shrunk when asked) while the alpha plane is read
        with _quiet(quiet):
            depth = np.uint16 if header.deep else np.uint8
            alpha = _alpha_plane(_decoded(given, source, header, cv2.IMREAD_UNCHANGED, stored + (4,), depth))
    if alpha is not None:
        # OpenCV turns the colour by EXIF orientation, not the alpha plane,
        # except in TIFF, whose decoder turns both
        candidates = (alpha, _oriented(alpha, header.orientation))
        if header.kind != "TIFF":
            candidates = candidates[::-1]
        alpha = next((a for a in candidates if a.shape == full[::-1]), None)
    if shrink and alpha is not None:
        alpha = shrunk(alpha, image.shape[1::-1]) if alpha.min() < OPAQUE else None
    return Decoded(image, alpha, full, _noted(notes, alpha))


# the most a JPEG's coefficients may take in memory (3 bytes a pixel at
# 4:2:0, 6 at 4:4:4; only a progressive JPEG holds them all), and the
# largest file read whole for it: a larger photo is decoded the usual way
MAX_COEFFICIENT_BYTES = 96 << 20
MAX_FILE_BYTES = 64 << 20


def _coefficients(source: Source, header: Header, scale: int, pixels: int, max_pixels: int) -> Decoded | None:
    """A JPEG read from its coefficients (_jpeg.sample): at 1/scale, turned by
    its EXIF orientation, with the pixels it picked at full size; None where
    it is read the usual way (a colour space or damage that this reader
    leaves to the decoder, a file or coefficients over the limits above).
    A file is read into memory first, not mapped: one that someone else
    cuts short meanwhile would end the process."""
    import numpy as np

    from velmora_huebit.photos import _jpeg

    if source.size > MAX_FILE_BYTES:
        return None
    limit = min(MAX_COEFFICIENT_BYTES, 3 * max_pixels) if max_pixels else MAX_COEFFICIENT_BYTES
    data = source.read(0, source.size) if source.fd is not None else source.data
    found = _jpeg.sample(data, pixels, limit, scale)
    if found is None:
        return None
    (small, shape), (picked, picked_shape) = found
    image = _oriented(np.frombuffer(small, np.uint8).reshape(shape), header.orientation)
    full = (header.height, header.width) if header.turned else (header.width, header.height)
    return Decoded(image, None, full, [], np.frombuffer(picked, np.uint8).reshape(picked_shape))


def _noted(notes: list, alpha) -> list:
    """The notes, and one for a photo almost all transparent."""
    note = transparency_note(alpha, OPAQUE)
    return notes + [note] if note else notes
