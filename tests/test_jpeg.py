"""A large JPEG read from its coefficients (photos._jpeg): the photo at 1/8
for the palette, and full-size pixels to count its shares on."""

import io

import cv2
import numpy as np
import pytest
from PIL import Image

from velmora_huebit import palette
from velmora_huebit.photos import _jpeg
from velmora_huebit.photos.reading import decode

from leakcheck import assert_no_leaks
from test_shares import nearest_counts


def _cloth() -> np.ndarray:
    """Thin navy threads on mustard beside a field of red: a shrink blends
    the threads into a colour of their own, and a reduced decode too."""
    y, x = np.mgrid[0:1600, 0:2560]
    navy = ((x // 3) % 3 == 0) | ((y // 3) % 4 == 0)
    image = np.where(navy[:, :, None], np.array([90, 40, 20], np.uint8), np.array([40, 170, 210], np.uint8))
    image[:, 1900:] = (40, 30, 200)
    return image


def _jpeg_of(image, mode="RGB", **options) -> bytes:
    out = io.BytesIO()
    Image.fromarray(image[:, :, ::-1]).convert(mode).save(out, "JPEG", quality=90, **options)
    return out.getvalue()


TURNED = Image.Exif()
TURNED[0x0112] = 6
KINDS = {"4:2:0": {}, "4:4:4": {"subsampling": 0}, "4:2:2": {"subsampling": 1}, "grey": {"mode": "L"},
         "progressive": {"progressive": True}, "turned": {"exif": TURNED.tobytes()},
         "read at 1/4": {"crop": (1600, 1000)}}


@pytest.fixture(scope="module")
def cloth():
    return _cloth()


@pytest.mark.parametrize("kind", KINDS)
def test_shares_are_those_of_every_pixel(cloth, kind, tmp_path):
    options = dict(KINDS[kind])
    width, height = options.pop("crop", (2560, 1600))
    data = _jpeg_of(np.ascontiguousarray(cloth[:height, :width]), **options)
    full = cv2.imdecode(np.frombuffer(data, np.uint8), cv2.IMREAD_COLOR)
    photo = decode(data, True, 960, picked=(256, 1 << 14))
    assert photo.picked is not None and photo.size == full.shape[1::-1]
    # the small image: OpenCV's reduced decode (or, where OpenCV repeats a
    # chroma block's mean, 4:2:2, closer to the photo's own means), turned as it is
    means = cv2.resize(full, photo.image.shape[1::-1], interpolation=cv2.INTER_AREA)
    flag = cv2.IMREAD_REDUCED_COLOR_4 if kind == "read at 1/4" else cv2.IMREAD_REDUCED_COLOR_8
    reduced = cv2.imdecode(np.frombuffer(data, np.uint8), flag)
    assert min(np.abs(photo.image.astype(int) - ref).mean() for ref in (reduced, means)) < 1.5
    found = palette(data, 3, names=None)
    (tmp_path / "cloth.jpg").write_bytes(data)  # a file is read as its bytes are
    assert palette(tmp_path / "cloth.jpg", 3, names=None) == found
    truth = nearest_counts(full, [r["color"] for r in found])
    for record, pixels in zip(found, truth):
        assert abs(record["percentage"] - pixels / (full.size // 3) * 100) < 0.75, kind


def test_what_it_leaves_to_the_decoder(cloth):
    small = np.ascontiguousarray(cloth[:48, :64])
    good, progressive = _jpeg_of(small), _jpeg_of(small, progressive=True)
    assert _jpeg.sample(good, 100, 1 << 20) is not None
    # a baseline photo's rows go through a ring; a progressive one's are held whole
    assert _jpeg.sample(good, 100, 0) is not None and _jpeg.sample(progressive, 100, 0) is None
    damaged = bytearray(good)
    damaged[len(good) // 2:len(good) // 2 + 40] = b"\xff\xd9" * 20  # an end marker inside the data
    no_table = bytearray(good)  # the last component's quantisation table numbered 131 (of 0 to 3)
    frame = no_table.index(b"\xff\xc0")
    no_table[frame + 10 + 3 * no_table[frame + 9] - 1] = 131
    for data in (good[:len(good) // 2], bytes(damaged), bytes(no_table), b"not a jpeg", b"",
                 _jpeg_of(small, mode="CMYK"), _jpeg_of(small[:7, :7])):
        assert _jpeg.sample(data, 100, 1 << 20) is None
    with pytest.raises(ValueError):
        _jpeg.sample(good, 0, 1 << 20)
    with pytest.raises(TypeError):
        _jpeg.sample("a str", 100, 1 << 20)


def test_no_reference_leaks(cloth):
    good = _jpeg_of(np.ascontiguousarray(cloth[:64, :96]))
    assert_no_leaks([lambda: _jpeg.sample(good, 500, 1 << 20), lambda: _jpeg.sample(good[:300], 500, 1 << 20),
                     lambda: _jpeg.sample(good, -1, 1), lambda: _jpeg.sample(memoryview(good), 500, 1 << 20),
                     lambda: _jpeg.sample(good, "500", 1), lambda: _jpeg.sample(None, 1, 1)], (good,))
