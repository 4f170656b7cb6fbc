"""The records ``ColorExtractor`` returns, as ``TypedDict``s for annotations.

At run time every record is a plain ``dict``; these classes only name its keys
and value types for editors and type checkers::

    from velmora_huebit.records import ColorRecord

    def main_colour(records: list[ColorRecord]) -> tuple[int, int, int]:
        return records[0]["color"]

The module's distances are Euclidean in OpenCV's 8-bit L*a*b* encoding (black
to white is 255); ``DeltaERecord`` (match on the palette engine) measures in
CIEDE2000. Percentages are 0 to 100, rounded to two decimals.
"""

from typing import NotRequired, TypedDict

__all__ = ["ColorRecord", "SimilarityRecord", "MatchRecord", "DeltaERecord"]


class ColorRecord(TypedDict):
    """One dominant colour of ``extract_colors`` or ``palette``."""

    color: tuple[int, int, int]  # red, green, blue
    percentage: float  # share of the clustered pixels
    hex: NotRequired[str]  # palette(): '#rrggbb'
    name: NotRequired[str]  # palette(): the nearest named colour (names=None: absent)
    role: NotRequired[str]  # palette(roles=True): its swatch role, where it holds one


class SimilarityRecord(TypedDict):
    """One target of ``analyze_color_similarity``."""

    percentage: float  # share credited to the target (int 0 beyond the threshold)
    similarity: float  # 100 at distance 0, falling to 0 at the threshold
    closest_color: tuple[int, int, int]  # the nearest dominant colour
    distance: float
    found_directly: bool  # distance below 10


class MatchRecord(TypedDict):
    """One target of ``find_color_matches``."""

    total_percentage: float  # pixels within distance 50
    close_percentage: float  # within 30
    very_close_percentage: float  # within 15
    closest_pixel: tuple[int, int, int]
    min_distance: float
    similarity_score: float  # 100 at distance 0, int 0 from distance 50 on


class DeltaERecord(TypedDict):
    """One target of ``match`` on the palette engine, in CIEDE2000."""

    nearest_color: tuple[int, int, int]  # the photo's pixel colour nearest the target
    delta_e: float  # its CIEDE2000 difference from the target
    match_share: float  # percent of the pixels within the match tolerance (ΔE2000 2)
    close_share: float  # within the close tolerance (5)
    similar_share: float  # within the similar tolerance (10)
    present: str | None  # "match", "close" or "similar": the tightest holding min_share; None
