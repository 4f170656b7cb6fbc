"""The second line of defence under the header check (sizing), for an image
whose header a reader misjudges or a decoder that takes more than its
header says: the decoders' own pixel limits set to the run's, and a ceiling
on the memory of a worker process, so that such a photo ends as its own
failure in one line instead of taking gigabytes.

- OpenCV reads OPENCV_IO_MAX_IMAGE_PIXELS once, as it loads: it is set in
  the environment before cv2 is imported, and worker processes inherit it.
  Importing the package sets it to the default pixel limit unless it is set
  already (or OpenCV is loaded); the command line sets it from --max-pixels.
- Pillow's limit (Image.MAX_IMAGE_PIXELS, whose decompression-bomb error
  comes at twice it) is set so that its error comes at the pixel limit.
- The ceiling (RLIMIT_DATA, which counts the heap and private mappings but
  not reserved address space) is what the worker holds once started plus
  what the pixel limit lets a decode take, the analysis of the pixels it
  keeps and some room for the runtime; for a process that analyses several
  photos at once (the service's threads), each of them, and the bytes it
  holds besides. Only its soft limit is set.
- A process that analyses photo after photo keeps the heap it freed for
  the next (keep_heap), instead of faulting it in again page by page."""

from __future__ import annotations

import os
import sys

OPENCV_PIXELS = "OPENCV_IO_MAX_IMAGE_PIXELS"
OPENCV_DEFAULT = 1 << 30  # OpenCV's own

# Room for the runtime over what the worker holds at its start: thread
# stacks, libraries loaded on first use (s3fs, Matplotlib), the outputs
CEILING_ROOM = 128 << 20
# Bytes each analysed pixel takes in the engines (measured: about 60 for the
# library's k-means in L*a*b*, 20 for the palette engine)
ANALYSIS_BYTES = 64

_ceiling = 0  # the ceiling set in this process (bytes), 0: none


_loaded: int | None = None  # OpenCV's limit in this process, where it was set here before OpenCV loaded


def decoder_pixels() -> int:
    """The most pixels OpenCV decodes in this process."""
    if _loaded is not None:
        return _loaded
    try:
        return int(os.environ.get(OPENCV_PIXELS, OPENCV_DEFAULT))
    except ValueError:
        return OPENCV_DEFAULT


def _set_opencv(value: str) -> None:
    global _loaded
    # OpenCV loaded already keeps what it read then, the best guess of which is the variable now
    _loaded = int(value) if "cv2" not in sys.modules else decoder_pixels()
    os.environ[OPENCV_PIXELS] = value  # for the processes started from here, at least


def default_decoder_limit(max_pixels: int) -> None:
    """OpenCV's pixel limit for a program that uses the package: set unless
    the environment sets it or OpenCV is loaded already (Pillow's is left
    to the program)."""
    if "cv2" not in sys.modules and OPENCV_PIXELS not in os.environ:
        _set_opencv(str(max_pixels))


_pillow_pixels: int | None = None  # Pillow's limit where this process owns it (the command line's)


def set_decoder_limits(max_pixels: int, pillow: bool = True) -> None:
    """OpenCV's pixel limit set to max_pixels (0: its own), in this process
    when OpenCV is not loaded yet and in those it starts; and Pillow's, in a
    process of the command line (pillow): at once if Pillow is loaded, else
    where it is loaded to decode (pillow_limit), so that starting up does
    not load it."""
    global _pillow_pixels
    _set_opencv(str(max_pixels or OPENCV_DEFAULT))
    if pillow:
        _pillow_pixels = max_pixels
        pillow_limit(load=False)


def pillow_limit(load: bool = True) -> None:
    """Pillow's pixel limit set to the one set_decoder_limits was given, if
    any; loads Pillow unless load is false."""
    if _pillow_pixels is None or not (load or "PIL.Image" in sys.modules):
        return
    from PIL import Image

    # its error comes above twice this; None lifts it
    Image.MAX_IMAGE_PIXELS = -(-_pillow_pixels // 2) if _pillow_pixels else None


# glibc's malloc hands freed memory at the top of its heap back to the
# system at once, and takes it again page by page, each page zeroed as it is
# first touched: a small photo's few megabytes of arrays cost some 350 page
# faults, a tenth of its time. A process that analyses photo after photo
# keeps this much freed heap; an array larger than HEAP_MAPPED (a large
# photo's decode) still has a mapping of its own, returned once freed.
HEAP_PAD = 16 << 20
HEAP_KEPT = 32 << 20
HEAP_MAPPED = 8 << 20
_M_TRIM_THRESHOLD, _M_TOP_PAD, _M_MMAP_THRESHOLD = -1, -2, -3


def keep_heap() -> None:
    """Freed heap kept for the next photo (see HEAP_PAD), in a process that
    analyses photos one after another: the command line's, its workers and
    a local Dask cluster's (not the service's, whose threads each keep an
    arena of their own). glibc's malloc only; elsewhere nothing changes."""
    if not sys.platform.startswith("linux"):
        return
    import ctypes

    try:
        mallopt = ctypes.CDLL(None).mallopt
    except (OSError, AttributeError):  # another C library
        return
    for option, value in ((_M_MMAP_THRESHOLD, HEAP_MAPPED), (_M_TRIM_THRESHOLD, HEAP_KEPT), (_M_TOP_PAD, HEAP_PAD)):
        mallopt(option, value)


def _data_size() -> int | None:
    """Bytes of heap and private writable mappings the process holds (VmData)."""
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmData:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    return None


def limit_memory(max_pixels: int, max_side: int, *, photos: int = 1, more: int = 0) -> int:
    """The ceiling on this worker process's memory, for photos read with
    this pixel limit and analysed at max_side (0: full resolution), photos
    of them at once (a service's threads), with more bytes held besides (a
    service's request bodies): none when the limit is lifted, or where the
    system has no such limit. Call once the worker has loaded its
    libraries. The ceiling set (bytes), or 0."""
    global _ceiling
    try:
        import resource
    except ImportError:  # not on this system
        return 0
    held = _data_size()
    if not max_pixels or held is None:
        return 0
    set_decoder_limits(max_pixels)
    pillow_limit()  # Pillow loaded before the ceiling
    analysed = min(max_pixels, max_side * max_side) if max_side else max_pixels
    ceiling = held + photos * (3 * max_pixels + ANALYSIS_BYTES * analysed) + more + CEILING_ROOM
    soft, hard = resource.getrlimit(resource.RLIMIT_DATA)
    if hard != resource.RLIM_INFINITY:
        ceiling = min(ceiling, hard)
    if soft == resource.RLIM_INFINITY or ceiling < soft:
        try:
            resource.setrlimit(resource.RLIMIT_DATA, (ceiling, hard))
        except (ValueError, OSError):
            return 0
        _ceiling = ceiling
    return _ceiling


def ceiling() -> int:
    """The ceiling set in this process (bytes), 0 for none."""
    return _ceiling


def out_of_memory(exc: BaseException) -> bool:
    """Whether exc says an allocation failed: MemoryError, or OpenCV's
    error of insufficient memory."""
    if isinstance(exc, MemoryError):
        return True
    return type(exc).__name__ == "error" and getattr(exc, "code", None) == -4  # cv2.Error.StsNoMem


def out_of_memory_message() -> str:
    """Why a photo ran out of memory, in words."""
    if _ceiling:
        return (f"out of memory: more than the {_ceiling >> 20} MB a worker may take with this "
                "--max-pixels (try --max-side)")
    return "out of memory (try --max-side)"
