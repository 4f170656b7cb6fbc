"""The shrink of every image (photos.sizing.shrunk, the native _area on
OpenCV's general path): OpenCV's INTER_AREA pixel for pixel."""

import cv2
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from leakcheck import assert_no_leaks
from velmora_huebit.photos import _area
from velmora_huebit.photos.sizing import shrunk


@settings(max_examples=300, deadline=None)
@given(st.integers(1, 300), st.integers(1, 300), st.integers(0, 4), st.floats(0.02, 1.0), st.floats(0.02, 1.0),
       st.sampled_from(["packed", "reversed", "every other column", "channels cut"]), st.integers(0, 2**32 - 1))
def test_shrunk_is_opencvs_area_pixel_for_pixel(width, height, channels, fx, fy, layout, seed):
    rng = np.random.default_rng(seed)
    shape = (height, width * 2, channels) if channels else (height, width * 2)
    image = rng.integers(0, 256, shape, dtype=np.uint8)
    if seed % 2:  # smooth pictures round near halves, where the order of the sums shows
        image = cv2.GaussianBlur(image, (0, 0), 2).reshape(shape)
    image = {"packed": image[:, :width], "reversed": image[::-1, width - 1::-1],
             "every other column": image[:, ::2],
             "channels cut": image[:, :width, :max(1, channels - 1)] if channels else image[:, :width]}[layout]
    size = (max(1, round(width * fx)), max(1, round(height * fy)))
    ours, theirs = shrunk(image, size), cv2.resize(image, size, interpolation=cv2.INTER_AREA)
    assert ours.shape == theirs.shape and ours.dtype == theirs.dtype
    assert np.array_equal(ours, theirs)


def test_bad_arguments_are_refused_in_words():
    image, out = np.zeros((8, 8, 3), np.uint8), np.zeros((4, 3, 3), np.uint8)
    bad = [((image.astype(np.uint16), out), TypeError), ((image, out.astype(np.float32)), TypeError),
           ((image, out[::-1]), ValueError), ((image, np.zeros((4, 3, 3), np.uint8)[:, :, :2].copy()), ValueError),
           ((np.zeros((8, 8, 5), np.uint8), np.zeros((4, 3, 5), np.uint8)), ValueError),
           ((image, np.zeros((9, 3, 3), np.uint8)), ValueError), ((image, np.zeros((0, 3, 3), np.uint8)), ValueError),
           ((image[:, :, 0], out), ValueError), ((image, bytearray(36)), ValueError), (("str", out), TypeError),
           ((image, bytes(36)), TypeError)]
    readonly = out.copy()
    readonly.flags.writeable = False
    bad.append(((image, readonly), ValueError))
    huge = np.lib.stride_tricks.as_strided(np.zeros(1, np.uint8), (2, 1 << 40, 3), (0, 0, 0))
    bad.append(((huge, out), ValueError))
    for args, error in bad:
        with pytest.raises(error):
            _area.shrink(*args)


def test_no_reference_leaks_and_buffers_are_released():
    image, out = np.zeros((9, 7, 3), np.uint8), np.zeros((4, 3, 3), np.uint8)
    store = bytearray(36)

    class Sub(np.ndarray):
        pass

    assert_no_leaks([lambda: _area.shrink(image, out), lambda: _area.shrink(image.view(Sub), out.view(Sub)),
                     lambda: _area.shrink(image, store), lambda: _area.shrink(image, out[:2]),
                     lambda: _area.shrink(source=image, out=None)], (image, out))
    store.extend(b"x")  # no buffer of it is still held
