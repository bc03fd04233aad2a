"""Every layout a user hands over gives exactly what its contiguous copy
gives, in all three pixel-reading operations. The views are made over
buffers that end at their last sample, so a gather reading past a view
shows up under the sanitizer builds."""

import numpy as np
import pytest

import batchaugmentor as ba

# The last is wide enough for the resize to cut its source into bands of
# fewer than 32 output rows, and its rows long enough for every gather's
# widest steps.
SHAPES = [(37, 53), (64, 80), (17, 200), (130, 33), (40, 2100)]


def views(h, w, seed):
    rng = np.random.default_rng(seed)
    rgb = rng.integers(0, 256, (h, w, 3), dtype=np.uint8)
    rgba = np.concatenate([rgb, rng.integers(0, 256, (h, w, 1), dtype=np.uint8)], axis=2)
    bgra = np.ascontiguousarray(rgba[..., [2, 1, 0, 3]])
    chw = np.ascontiguousarray(rgb.transpose(2, 0, 1))
    return {
        "bgr": np.ascontiguousarray(rgb[..., ::-1])[..., ::-1],
        "rgba": rgba[..., :3],
        "bgra": bgra[..., 2::-1],
        "chw": chw.transpose(1, 2, 0),
        "chw reversed planes": np.ascontiguousarray(chw[::-1]).transpose(1, 2, 0)[..., ::-1],
        "fortran": np.asfortranarray(rgb),
        "fortran flipped rows": np.asfortranarray(rgb[::-1])[::-1],
        "transposed": np.ascontiguousarray(rgb.transpose(1, 0, 2)).transpose(1, 0, 2),
        "every other pixel": np.ascontiguousarray(np.repeat(rgb, 2, axis=1))[:, ::2],
    }


CASES = [(shape, name) for shape in SHAPES for name in views(2, 2, 0)]


@pytest.mark.parametrize("shape,name", CASES, ids=[f"{h}x{w}-{n}" for (h, w), n in CASES])
def test_layout_gives_what_its_contiguous_copy_gives(shape, name):
    view = views(*shape, seed=shape[0] * shape[1])[name]
    copy = np.ascontiguousarray(view)
    assert np.array_equal(view, copy)
    for target in [(23, 31), (shape[0] * 2, shape[1] + 7)]:
        got, want = ba.batch_resize_images([view, view], [target] * 2), ba.batch_resize_images([copy, copy], [target] * 2)
        assert all(np.array_equal(a, b) for a, b in zip(got, want)), target
    assert ba.batch_calculate_luminance([view]) == ba.batch_calculate_luminance([copy])
    box = (3, 2, shape[1] - 5, shape[0] - 4)
    got, want = ba.batch_crop_images([view], [box])[0], ba.batch_crop_images([copy], [box])[0]
    assert np.array_equal(got, want)
    assert got.flags.c_contiguous
