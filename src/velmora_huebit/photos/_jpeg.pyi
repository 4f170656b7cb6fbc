# Types of the JPEG reader (photos/jpeg): each image comes back as its
# pixels, 8-bit blue-green-red, with its (height, width, 3).
from collections.abc import Buffer

def sample(
    data: Buffer, pixels: int, max_bytes: int, scale: int = 8
) -> tuple[tuple[bytearray, tuple[int, int, int]], tuple[bytearray, tuple[int, int, int]]] | None: ...
