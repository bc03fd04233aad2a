import math

import numpy as np
import pytest

import batchaugmentor as ba
from conftest import last_json, rgb, run_child


def px(*values):
    return np.array([[values]], np.uint8)


@pytest.mark.parametrize(
    "image, expected",
    [
        (px(10, 20, 30), 18.15),
        (px(1, 1, 1), 0.9999999999999999),
        (px(255, 0, 0), 76.24499999999999),
        (px(0, 255, 0), 149.685),
        (px(0, 0, 255), 29.07),
        (px(10, 20, 30, 255), 18.15),
        (np.full((7, 9, 3), 255, np.uint8), 255.0),
        (np.full((7, 9, 3), 100, np.uint8), 100.0),
        (np.array([[[0], [1]], [[2], [3]]], np.uint8), 1.5),
        (px(10, 20), 15.0),
    ],
)
def test_values(image, expected):
    (value,) = ba.batch_calculate_luminance([image])
    assert type(value) is float and value == expected


@pytest.mark.parametrize("shape", [(0, 4, 3), (4, 0, 3), (4, 4, 0), (0, 0, 1)])
def test_empty_images_give_nan(shape):
    (value,) = ba.batch_calculate_luminance([np.zeros(shape, np.uint8)])
    assert math.isnan(value)


@pytest.mark.parametrize("shape", [(2**40, 0, 3), (2**40, 0, 4), (2**40, 0, 1), (0, 2**40, 3)])
def test_luminance_of_an_image_without_pixels_is_nan_without_walking_it(shape):
    # In a child: walking 2**40 rows would never end.
    out = last_json(run_child(f"""
        import json, math
        import numpy as np
        from numpy.lib.stride_tricks import as_strided
        import batchaugmentor as ba
        view = as_strided(np.zeros(1, np.uint8), shape={shape}, strides=(0, 0, 0))
        print(json.dumps([math.isnan(v) for v in ba.batch_calculate_luminance([view, view])]))
    """, timeout=30, check=True).stdout)
    assert out == [True, True]


def reference(a):
    """The same arithmetic in plain Python floats, pixel by pixel."""
    h, w, k = a.shape
    if k < 3:
        return float(int(a.astype(np.uint64).sum())) / float(h * w * k)
    s = 0.0
    for y in range(h):
        for x in range(w):
            r, g, b = (float(v) for v in a[y, x, :3])
            s += (0.299 * r + 0.587 * g) + 0.114 * b
    return s / float(h * w)


@pytest.mark.parametrize("channels", [1, 2, 3, 4])
@pytest.mark.parametrize(
    "view",
    [
        lambda a: a,
        lambda a: a[::-1, ::-1],
        lambda a: a[:, :, ::-1],
        lambda a: np.asfortranarray(a),
        lambda a: a.transpose(1, 0, 2)[::2],
    ],
)
def test_views_match_exact_sequential_sum(channels, view):
    a = view(np.random.default_rng(channels).integers(0, 256, (23, 17, channels), dtype=np.uint8))
    (value,) = ba.batch_calculate_luminance([a])
    assert value == reference(a)
    assert value == ba.batch_calculate_luminance([np.ascontiguousarray(a)])[0]


def test_batch_order_and_empty_list():
    images = [np.full((3, 3, 3), v, np.uint8) for v in range(50)]
    assert ba.batch_calculate_luminance(images) == [reference(i) for i in images]
    assert ba.batch_calculate_luminance([]) == []
