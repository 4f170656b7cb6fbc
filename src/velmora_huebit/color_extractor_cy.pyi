# Types of the native module. Images are NumPy arrays in blue-green-red order
# (or paths read with cv2.imread); masks select pixels whose value is above 128.
from typing import Any, Literal

from numpy.typing import NDArray
from typing_extensions import disjoint_base

from velmora_huebit.records import ColorRecord, MatchRecord, SimilarityRecord

_Array = NDArray[Any]
_RGB = tuple[int, int, int]

@disjoint_base  # a native type: no multiple inheritance with other native types
class ColorExtractor:
    r"""The configurable pipeline: k-means (seed 42, so results repeat) or
    DBSCAN, in OpenCV's 8-bit L\*a\*b\* or in RGB, with optional lighting
    normalisation (CLAHE on the lightness, then a bilateral filter).

    - `n_colors`: the number of dominant colours (DBSCAN may find fewer);
    - `algorithm`: `"kmeans"` or `"dbscan"`;
    - `preprocessing`: the lighting normalisation, which makes colours
      brighter and more contrasted than the photo's own;
    - `lab_space`: cluster in L\*a\*b\* (`False`: in RGB).
    """

    def __init__(
        self,
        n_colors: int = 5,
        algorithm: Literal["kmeans", "dbscan"] = "kmeans",
        preprocessing: bool = True,
        lab_space: bool = True,
    ) -> None: ...
    def extract_colors(self, image: str | _Array | None, mask: str | _Array | None = None) -> list[ColorRecord]:
        """The dominant colours of `image` (a path, read with `cv2.imread`, or a
        blue-green-red array), largest share first:
        `[{'color': (r, g, b), 'percentage': share}, ...]`. `mask` (a path or
        an array of the image's size) limits the analysis to the pixels where
        it is above 128. A path that cannot be read raises `ValueError`."""
    def analyze_color_similarity(
        self,
        image: str | _Array | None,
        target_colors: dict[str, _RGB],
        mask: str | _Array | None = None,
        similarity_threshold: float = 50.0,
    ) -> dict[str, SimilarityRecord]:
        r"""For each named target colour (`{"name": (r, g, b)}`), the nearest
        dominant colour of `extract_colors` and the share of the image
        credited to the target: that colour's share scaled down linearly with
        the distance, 0 beyond `similarity_threshold`. Distances are in
        OpenCV's 8-bit L\*a\*b\* (black to white is 255)."""
    def find_color_matches(
        self, image: str | _Array | None, target_colors: dict[str, _RGB], mask: _Array | None = None
    ) -> dict[str, MatchRecord]:
        """For each named target colour (`{"name": (r, g, b)}`), pixel by pixel:
        the shares of pixels within distance 50, 30 and 15 of it, the nearest
        pixel, its distance and a similarity score. No clustering; the
        preprocessing and the mask apply."""
    def visualize_colors(self, colors: list[ColorRecord], save_path: str | None = None) -> None:
        """A horizontal bar of the records of `extract_colors`, a segment per
        colour as long as its share, shown with Matplotlib and saved to
        `save_path` when given."""
    # The steps of extract_colors; a subclass may override any of them.
    def _preprocess_image(self, image: _Array | None) -> _Array: ...
    def _convert_to_feature_space(self, image: _Array | None) -> _Array: ...
    def _apply_mask(self, image: _Array | None, mask: _Array | None) -> _Array: ...
    def _extract_pixels(self, image: _Array | None, mask: _Array | None = None) -> _Array: ...
    def _cluster_colors_kmeans(self, pixels: _Array | None) -> tuple[_Array, _Array]: ...
    def _cluster_colors_dbscan(self, pixels: _Array | None) -> tuple[_Array, _Array]: ...
    def _calculate_percentages(self, labels: _Array | None) -> list[float]: ...
    def _color_distance_lab(self, color1: _Array | None, color2: _Array | None) -> float: ...
    def _find_closest_color(
        self, target_color: _RGB, image_colors: list[ColorRecord]
    ) -> tuple[ColorRecord | None, float]: ...
    # Pickling.
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __reduce_cython__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, __pyx_state: tuple[Any, ...] | None) -> None: ...
    def __setstate_cython__(self, __pyx_state: tuple[Any, ...] | None) -> None: ...

def __pyx_unpickle_ColorExtractor(
    __pyx_type: type[ColorExtractor], __pyx_checksum: int, __pyx_state: tuple[Any, ...] | None
) -> ColorExtractor: ...

__test__: dict[Any, Any]
