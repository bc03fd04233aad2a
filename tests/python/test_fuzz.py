"""Property-based fuzzing of all seven functions: odd shapes (zero-length
axes included), strides (negative, transposed, zero, overlapping), dtypes,
nested and odd sequences, out-of-range integers. Every call returns or
raises a documented exception type; crops equal NumPy slicing; results own
writeable memory. The example count is fixed, so CI time is bounded."""

import os
import sys
from collections import namedtuple

import numpy as np
import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
from numpy.lib.stride_tricks import as_strided  # noqa: E402

import batchaugmentor as ba  # noqa: E402

EXAMPLES = int(os.environ.get("BA_FUZZ_EXAMPLES", "250"))
FUZZ = settings(max_examples=EXAMPLES, deadline=None, derandomize=True, database=None,
                suppress_health_check=list(HealthCheck))
DOCUMENTED = (TypeError, ValueError, OverflowError, RuntimeError, MemoryError)
Box = namedtuple("Box", "x y w h")

# ----------------------------------------------------------------- arrays

ODD_DTYPES = [np.int8, np.uint16, np.float32, np.bool_]


def rarely(draw):
    """True about one time in twenty-five: odd values are the exception,
    so that most calls get past argument conversion."""
    # Not 0: Hypothesis draws the ends of a range far more often.
    return draw(st.integers(0, 24)) == 12


@st.composite
def arrays(draw, ndim):
    dims = draw(st.integers(ndim - 1, ndim + 1)) if rarely(draw) else ndim
    shape = [draw(st.integers(0, 6) if rarely(draw) else st.integers(1, 6)) for _ in range(dims)]
    if dims == ndim and not rarely(draw):
        shape[-1] = draw(st.sampled_from([3, 3, 3, 1, 4]))   # channels: mostly RGB
    shape = tuple(shape)
    dtype = draw(st.sampled_from(ODD_DTYPES)) if rarely(draw) else np.uint8
    seed = draw(st.integers(0, 2**16))
    a = np.random.default_rng(seed).integers(0, 256, shape).astype(dtype)
    layout = draw(st.sampled_from(["plain", "fortran", "flip", "transpose", "broadcast",
                                   "overlap", "slice", "readonly"]))
    if layout == "fortran":
        a = np.asfortranarray(a)
    elif layout == "flip" and dims:
        a = np.flip(a, axis=draw(st.integers(0, dims - 1)))
    elif layout == "transpose":
        a = np.transpose(a, draw(st.permutations(range(dims))))
    elif layout == "broadcast" and dims:
        small = a[tuple(slice(0, 1) for _ in range(dims))]
        a = np.broadcast_to(small, shape)
    elif layout == "overlap" and dims and a.size:
        # Rows that share memory: each stride one element, any shape.
        base = np.ascontiguousarray(a).ravel()
        a = as_strided(base, shape=shape, strides=(a.itemsize,) * dims, writeable=False)
    elif layout == "slice" and dims:
        a = np.concatenate([a, a], axis=0)[::2] if a.shape[0] else a
    elif layout == "readonly":
        a = a.copy()
        a.flags.writeable = False
    return a


@st.composite
def odd_sequences(draw, element):
    """Mostly lists of `element`; sometimes tuples, things that are not
    quite sequences, or lists nested one level too deep."""
    as_list = st.lists(element, min_size=0 if rarely(draw) else 1, max_size=3)
    if not rarely(draw):
        return draw(st.one_of(as_list, as_list.map(tuple)))
    return draw(st.one_of(
        st.sampled_from([None, 3, "abc", b"abc", {1, 2}, {"a": 1}, range(3)]),
        st.lists(as_list, max_size=2)))


@st.composite
def integers(draw):
    if not rarely(draw):
        return draw(st.integers(1, 3))
    return draw(st.one_of(
        st.integers(-3, 2**65), st.sampled_from([2**32 - 1, 2**32, 2**64 - 1, 2**64, -1, True]),
        st.integers(0, 8).map(np.int64), st.floats(0, 8), st.none(), st.text(max_size=2)))


@st.composite
def tuples(draw, n):
    values = tuple(draw(integers()) for _ in range(n))
    if not rarely(draw):
        return Box(*values) if n == 4 and draw(st.booleans()) else values
    return draw(st.sampled_from([list(values), values[:-1], values + (1,)]))


def check_result(result, inputs):
    assert isinstance(result, list)
    for out in result:
        if isinstance(out, np.ndarray):
            assert out.dtype == np.uint8
            assert out.flags.writeable and out.flags.owndata
            for a in inputs:
                if isinstance(a, np.ndarray):
                    assert not np.shares_memory(out, a)


def call(function, *args):
    try:
        result = function(*args)
    except DOCUMENTED as e:
        hypothesis.event(f"raised {type(e).__name__}: {str(e)[:60]}")
        return None
    hypothesis.event(f"returned {len(result)} results")
    return result


@FUZZ
@given(st.lists(arrays(3), max_size=4), odd_sequences(tuples(4)))
def test_crop(images, boxes):
    result = call(ba.batch_crop_images, images, boxes)
    if result is None:
        return
    check_result(result, images)
    for image, box, out in zip(images, boxes, result):
        x, y, w, h = (int(v) for v in box)
        np.testing.assert_array_equal(out, image[y:y + h, x:x + w])


@FUZZ
@given(st.lists(arrays(3), max_size=4), odd_sequences(tuples(2)))
def test_center_crop(images, sizes):
    result = call(ba.batch_center_crop_images, images, sizes)
    if result is None:
        return
    check_result(result, images)
    for image, (tw, th), out in zip(images, sizes, result):
        H, W = image.shape[:2]
        tw, th = int(tw), int(th)
        x, y = ((W - tw) // 2 if tw < W else 0), ((H - th) // 2 if th < H else 0)
        np.testing.assert_array_equal(out, image[y:y + min(th, H), x:x + min(tw, W)])


@FUZZ
@given(st.lists(arrays(3), max_size=4), odd_sequences(tuples(2)))
def test_random_crop(images, sizes):
    result = call(ba.batch_random_crop_images, images, sizes)
    if result is None:
        return
    check_result(result, images)
    for image, (tw, th), out in zip(images, sizes, result):
        H, W = image.shape[:2]
        assert out.shape == (min(int(th), H), min(int(tw), W), image.shape[2])


@FUZZ
@given(st.lists(arrays(3), max_size=3), odd_sequences(tuples(2)))
def test_resize(images, sizes):
    sizes = sizes if not isinstance(sizes, list) else [
        s if not (isinstance(s, tuple) and len(s) == 2 and all(isinstance(v, int) for v in s))
        else (s[0] % 40, s[1] % 40) for s in sizes]   # keep valid targets small
    result = call(ba.batch_resize_images, images, sizes)
    if result is None:
        return
    check_result(result, images)
    for (tw, th), out in zip(sizes, result):
        assert out.shape == (int(th), int(tw), 3)


@FUZZ
@given(st.lists(arrays(4), max_size=3), odd_sequences(tuples(2)))
def test_resize_videos(videos, sizes):
    sizes = sizes if not isinstance(sizes, list) else [
        s if not (isinstance(s, tuple) and len(s) == 2 and all(isinstance(v, int) for v in s))
        else (s[0] % 40, s[1] % 40) for s in sizes]
    result = call(ba.batch_resize_videos, videos, sizes)
    if result is None:
        return
    check_result(result, videos)
    for video, (tw, th), out in zip(videos, sizes, result):
        assert out.shape == (video.shape[0], int(th), int(tw), 3)


@FUZZ
@given(st.one_of(odd_sequences(arrays(3)), arrays(4)))
def test_luminance(images):
    result = call(ba.batch_calculate_luminance, images)
    if result is None:
        return
    assert len(result) == len(images)
    for image, value in zip(images, result):
        assert isinstance(value, float)
        if image.size == 0 or image.shape[0] * image.shape[1] == 0:
            assert value != value  # NaN
        else:
            assert 0.0 <= value <= 255.0


@st.composite
def paths(draw):
    if not rarely(draw):
        return draw(st.one_of(st.text(max_size=12), st.sampled_from([sys.executable, "/", "/nonexistent", ""])))
    return draw(st.one_of(st.sampled_from(["a\udcffb", "\x00"]), st.binary(max_size=4), st.integers(),
                          st.none()))


@FUZZ
@given(odd_sequences(paths()))
def test_load(paths):
    result = call(ba.load_image_batch, paths)
    if result is None:
        return
    assert len(result) == len(paths)
    assert all(r is None or isinstance(r, bytes) for r in result)
