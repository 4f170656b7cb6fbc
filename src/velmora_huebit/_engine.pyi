# Types of the palette engine. Images are 8-bit arrays, height x width x 3, in
# blue-green-red order (red-green-blue with rgb=True); masks are 8-bit
# height x width planes that select pixels above 128.
from typing import Any, Final

from numpy.typing import NDArray

MAX_COLORS: Final[int]

def find_palette(
    image: NDArray[Any], n_colors: int, mask: NDArray[Any] | None = None, *, rgb: bool = False
) -> list[tuple[tuple[int, int, int], int]]: ...
def count_nearest(
    image: NDArray[Any], colours: list[tuple[int, int, int]], mask: NDArray[Any] | None = None, *,
    rgb: bool = False, step: int = 1
) -> list[int]: ...
def count_within(
    image: NDArray[Any], colours: list[tuple[int, int, int]], tolerances: tuple[float, float, float],
    mask: NDArray[Any] | None = None, *, rgb: bool = False, step: int = 1
) -> tuple[int, list[tuple[tuple[int, int, int], tuple[int, int, int], float]]]: ...
