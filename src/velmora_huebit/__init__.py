"""velmora_huebit: the dominant colours of photographs.

``palette`` gives the dominant colours of one image exactly as the command
line's ``extract`` does (the native palette engine: k-means in CIE L*a*b*
on the image's distinct colours, shrunk to 256 pixels, transparency left
out), from a path, the bytes of an image file, a NumPy array or a PIL
image::

    import velmora_huebit

    records = velmora_huebit.palette("photo.jpg", n_colors=5)
    # [{'color': (174, 92, 45), 'percentage': 30.84}, ...]

``match`` measures named target colours against those colours (or, with
``pixels=True``, against every pixel) as the command line's ``match`` does::

    velmora_huebit.match("photo.jpg", {"cream": "#f0cfaf", "espresso": (51, 22, 18)})
    # {'cream': {'percentage': 8.08, 'similarity': 93.68, 'closest_color': (236, 207, 181),
    #            'distance': 3.16, 'found_directly': True}, 'espresso': {...}}

``ColorExtractor`` (from the native module ``velmora_huebit.color_extractor_cy``)
is the configurable pipeline: k-means or DBSCAN, in L*a*b* or RGB, with
optional lighting normalisation, similarity analysis against named target
colours, pixel-level matching and charts::

    from velmora_huebit import ColorExtractor

    records = ColorExtractor(n_colors=5).extract_colors("photo.jpg")
    # [{'color': (177, 89, 46), 'percentage': 27.0}, ...]

Units and orders, the same everywhere in the package:

- Images are paths (read with ``cv2.imread``) or NumPy arrays of 8-bit values,
  height x width x 3, in blue-green-red order as OpenCV reads them; an array
  in red-green-blue order gives swapped colours. Results are red-green-blue:
  every ``'color'``, ``'closest_color'`` and ``'closest_pixel'`` is an
  (R, G, B) tuple, and target colours are given as (R, G, B).
- Masks are paths or arrays of the image's height and width (one channel, or
  three in blue-green-red order); a pixel is analysed where the mask value is
  above 128 on the 0-255 scale. A boolean mask (values 0 and 1) therefore
  selects nothing: pass ``mask.astype(np.uint8) * 255``.
- Distances are Euclidean in OpenCV's 8-bit L*a*b* encoding: lightness runs
  0-255 and a*, b* are offset by 128, so black to white is 255, not the 100
  of the CIE colour difference (Delta E 1976). The thresholds are in these
  units: ``similarity_threshold`` (default 50) and ``found_directly`` (below
  10) of ``analyze_color_similarity``; the bands 15, 30 and 50 of
  ``find_color_matches``. One CIE lightness unit counts 2.55 of them.
- Percentages run from 0 to 100 and are rounded to two decimals.

The records are typed in ``velmora_huebit.records``. The command line is
``velmora-huebit`` (or ``python -m velmora_huebit``). ``search`` ranks the
photos of a table that a run wrote by how near their colours come to one
colour, in ΔE2000. Pipelines over many
photos run on a Dask cluster with ``velmora_huebit.runs.distributed``.
"""

from typing import TYPE_CHECKING

from velmora_huebit.analysis.match import match
from velmora_huebit.analysis.palette import palette

if TYPE_CHECKING:
    from velmora_huebit.color_extractor_cy import ColorExtractor as ColorExtractor
    from velmora_huebit.runs.api import PhotoResult as PhotoResult
    from velmora_huebit.runs.api import analyse as analyse
    from velmora_huebit.runs.api import write_report as write_report
    from velmora_huebit.runs.api import write_table as write_table
    from velmora_huebit.outputs.search import search as search

__all__ = ["ColorExtractor", "palette", "match", "analyse", "write_table", "write_report", "PhotoResult", "search",
           "__version__"]

# loaded on first use: a run's machinery is not needed for palette()
_RUNS = ("analyse", "write_table", "write_report", "PhotoResult")

__version__: str


def __getattr__(name: str) -> object:
    # The native module imports OpenCV, scikit-learn and Matplotlib; loading it
    # on first use keeps `velmora-huebit --help` and argument errors instant.
    # The version too is read on first use (see _version).
    if name == "__version__":
        from velmora_huebit._version import version

        globals()["__version__"] = found = version()
        return found
    if name in _RUNS:
        from velmora_huebit.runs import api

        return getattr(api, name)
    if name == "search":  # a table of a run near a colour, by ΔE2000 in DuckDB
        from velmora_huebit.outputs.search import search

        return search
    if name == "ColorExtractor":
        from velmora_huebit.color_extractor_cy import ColorExtractor

        return ColorExtractor
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(list(globals()) + __all__)
