"""velmora_huebit: dominant colours of photographs.

The work is done by the native module ``velmora_huebit.color_extractor_cy``;
``ColorExtractor`` is re-exported here for convenience.
"""

from velmora_huebit.color_extractor_cy import ColorExtractor

__all__ = ["ColorExtractor"]
