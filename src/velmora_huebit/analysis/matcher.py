"""match on the palette engine's colours: the module's own similarity
analysis (its distance, threshold and bands) on the records the palette
engine gives, and its pixel matching as --engine library does it without
preprocessing. Imported only for match: it loads the module."""

from __future__ import annotations

from velmora_huebit.analysis.palette import dominant_colors
from velmora_huebit.color_extractor_cy import ColorExtractor


class PaletteMatcher(ColorExtractor):
    """A ColorExtractor whose dominant colours come from the palette engine:
    analyze_color_similarity calls extract_colors, and so compares the
    targets with the same records as `extract` prints."""

    def __init__(self, n_colors: int = 5):
        super().__init__(n_colors, "kmeans", False, True)
        self.palette_colors = n_colors

    def extract_colors(self, image, mask=None):
        return dominant_colors(image, mask, self.palette_colors)
