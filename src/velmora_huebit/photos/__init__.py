"""Where photos come from and how they become pixels. The lowest layer: it
imports nothing else of the package but its exceptions.

- sources: which files a run covers (paths, folders, globs, URLs), and how
  their names are shown
- objects: which objects a URL argument covers (s3://bucket/prefix/, globs),
  listed a page at a time
- storage: object storage through fsspec and s3fs (obstore where it stands
  in): filesystems and their options, reads and uploads with retries,
  failures in words
- headers: what an image file holds, from its header alone (format, size,
  orientation, scans)
- sizing: what decoding an image costs, the pixel limit that refuses a bomb
  before decoding, and the errors and decoded photo every reader shares;
  the one shrink of every image (shrunk)
- _area (area/, C++): the shrink by area averaging, pixel for pixel as
  OpenCV's INTER_AREA, a third of its time
- reading: photo and mask files (local or in buckets) into arrays (reduced
  JPEG decodes, alpha, special files, damage)
- _jpeg (jpeg/, C++ on libjpeg): a large JPEG read from its coefficients,
  at 1/8 with full-size pixels sampled across it, for one pass of the
  decoder
- damage: what is wrong with a decoded photo (a truncated JPEG's grey
  fill, left out; a picture almost all transparent), in words
- heif: HEIC/HEIF photos (and AVIF that OpenCV does not read) through
  pillow-heif, sized before decoding
- limits: the second line of defence: the decoders' own pixel limits and a
  worker process's memory ceiling; the freed heap such a process keeps
"""

from velmora_huebit.photos.limits import default_decoder_limit as _default_decoder_limit
from velmora_huebit.photos.sizing import DEFAULT_MAX_PIXELS as _DEFAULT_MAX_PIXELS

# before any part of the package loads OpenCV
_default_decoder_limit(_DEFAULT_MAX_PIXELS)
