"""Large photos for the benchmarks, made from the small ones in this folder
and tests/data: the size of today's cameras and screens (2560 x 1600 and up),
where the default shrink leaves one pixel of every hundred or more.

Each is a mosaic of crops of the sample photos, most at their own resolution
(their real texture: grain, foliage, hair, stars), some enlarged, a few with
sensor-like noise, saved as JPEG (quality 90) as cameras save them. Made once
into bench/.large/ (not kept in git), the same bytes every time.

    python bench/large_photos.py     # makes them, prints their names
"""

import pathlib

import cv2
import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
FOLDER = HERE / ".large"
SIZES = [(2560, 1600)] * 10 + [(3000, 2000)] * 3 + [(4032, 3024)] * 3  # 16 photos
VERSION = 4  # bump when the recipe changes: the folder is made anew


def _page() -> np.ndarray:
    """Small dark text on cream paper: strokes of a pixel or two."""
    rng = np.random.default_rng(7)
    page = np.full((1200, 1600, 3), (200, 228, 240), np.uint8)
    for y in range(18, 1200, 18):
        words = "".join(chr(c) for c in rng.integers(97, 123, 150))
        cv2.putText(page, words, (4, y), cv2.FONT_HERSHEY_PLAIN, 1.1, (60, 40, 30), 1, cv2.LINE_AA)
    return page


def _fabric() -> np.ndarray:
    """A navy and mustard weave, six pixels a thread, with a little noise."""
    y, x = np.mgrid[0:1200, 0:1600]
    weave = ((x // 6) + (y // 6)) % 4 < 2
    cloth = np.where(weave[:, :, None], np.array([90, 40, 20]), np.array([40, 170, 210]))
    noise = np.random.default_rng(8).normal(0, 8, cloth.shape)
    return np.clip(cloth + noise, 0, 255).astype(np.uint8)


def _sources() -> list[np.ndarray]:
    """The sample photos, and a page of text and a woven cloth: the fine
    detail (type, threads, grass, hair) that a shrink blends into new colours."""
    paths = sorted(ROOT.glob("tests/data/*.png")) + sorted(HERE.glob("photos/*.[jp][pn]g"))
    return [cv2.imread(str(p)) for p in paths] + [_page(), _fabric()]


def _crop(source: np.ndarray, width: int, height: int, scale: float, rng) -> np.ndarray:
    """A width x height crop of the source enlarged by scale (at least
    enough to cover the crop), at a random place."""
    h, w = source.shape[:2]
    scale = max(scale, width / w, height / h)
    if scale != 1:
        source = cv2.resize(source, (int(np.ceil(w * scale)), int(np.ceil(h * scale))),
                            interpolation=cv2.INTER_CUBIC if scale > 1 else cv2.INTER_AREA)
        h, w = source.shape[:2]
    y, x = rng.integers(0, h - height + 1), rng.integers(0, w - width + 1)
    return source[y:y + height, x:x + width]


def _photo(index: int, size: tuple[int, int], sources: list[np.ndarray]) -> np.ndarray:
    rng = np.random.default_rng(1000 + index)
    width, height = size
    # a grid of up to 4 x 3 tiles, or one source enlarged to fill it
    columns, rows = (1, 1) if index % 4 == 0 else (int(rng.integers(2, 5)), int(rng.integers(1, 4)))
    image = np.zeros((height, width, 3), np.uint8)
    xs = np.linspace(0, width, columns + 1).astype(int)
    ys = np.linspace(0, height, rows + 1).astype(int)
    for r in range(rows):
        for c in range(columns):
            source = sources[int(rng.integers(len(sources)))]
            # below 1: a photo's detail in fewer pixels, as in a wide view
            scale = float(rng.choice([0.5, 0.75, 1.0, 1.0, 1.5, 2.5]))
            image[ys[r]:ys[r + 1], xs[c]:xs[c + 1]] = _crop(source, xs[c + 1] - xs[c], ys[r + 1] - ys[r],
                                                            scale, rng)
    if index % 3 == 1:  # sensor-like noise
        noise = rng.normal(0, 6, image.shape)
        image = np.clip(image + noise, 0, 255).astype(np.uint8)
    return image


def large_photos() -> list[pathlib.Path]:
    """The paths of the large photos, made first when missing."""
    stamp = FOLDER / f"version-{VERSION}"
    paths = [FOLDER / f"large-{i:02d}-{w}x{h}.jpg" for i, (w, h) in enumerate(SIZES)]
    if stamp.exists() and all(p.exists() for p in paths):
        return paths
    FOLDER.mkdir(exist_ok=True)
    for old in FOLDER.iterdir():
        old.unlink()
    sources = _sources()
    for i, (size, path) in enumerate(zip(SIZES, paths)):
        cv2.imwrite(str(path), _photo(i, size, sources), [cv2.IMWRITE_JPEG_QUALITY, 90])
    stamp.touch()
    return paths


if __name__ == "__main__":
    for path in large_photos():
        print(path)
