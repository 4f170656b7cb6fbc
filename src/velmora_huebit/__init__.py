"""velmora_huebit: dominant colours of photographs.

The work is done by the native module ``velmora_huebit.color_extractor_cy``;
``ColorExtractor`` is re-exported here for convenience.
"""

__all__ = ["ColorExtractor"]


def __getattr__(name):
    # The native module imports OpenCV, scikit-learn and Matplotlib; loading it
    # on first use keeps `velmora-huebit --help` and argument errors instant.
    if name == "ColorExtractor":
        from velmora_huebit.color_extractor_cy import ColorExtractor

        return ColorExtractor
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted(list(globals()) + __all__)
