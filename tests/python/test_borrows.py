import warnings

import numpy as np
import pytest

import batchaugmentor as ba
from conftest import BorrowRegistry, multiarray_module, rgb, run_child

CALLS = [
    lambda imgs: ba.batch_calculate_luminance(imgs),
    lambda imgs: ba.batch_crop_images(imgs, [(0, 0, 1, 1)] * len(imgs)),
    lambda imgs: ba.batch_crop_images(imgs, [(0, 0, 99, 1)] * len(imgs)),  # fails per item
    lambda imgs: ba.batch_center_crop_images(imgs, [(2, 2)] * len(imgs)),
    lambda imgs: ba.batch_random_crop_images(imgs, [(2, 2)] * len(imgs)),
    lambda imgs: ba.batch_resize_images(imgs, [(3, 3)] * len(imgs)),
    lambda imgs: ba.batch_crop_images(imgs, [(0, 0, 1, 1)] * len(imgs) + [(1,)]),  # argument error
    lambda imgs: ba.batch_crop_images(imgs + [np.zeros(3)], []),  # argument error after holds
]


@pytest.mark.parametrize("call", CALLS)
def test_no_borrow_left_after_any_call(registry, call):
    a = rgb(6, 6)
    try:
        call([a, a, a[1:4]])
    except Exception:
        pass
    assert registry.is_free(a)


def test_no_borrow_left_after_video_call(registry):
    v = np.zeros((2, 4, 4, 3), np.uint8)
    try:
        ba.batch_resize_videos([v, v], [(2, 2), (0, 0)])
    except Exception:
        pass
    assert registry.is_free(v)


def test_borrow_released_under_its_acquire_key_when_strides_change(registry):
    image = np.zeros((4, 4, 3), np.uint8)

    class Restrides:
        def __index__(self):
            # Runs while crop_boxes is converted, after `image` is held.
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)
                try:
                    image.strides = (0, 3, 1)
                except AttributeError:
                    pytest.skip("this NumPy no longer lets strides be set")
            return 1

    out = ba.batch_crop_images([image], [(0, 0, 1, Restrides())])
    assert out[0].shape == (1, 1, 3)
    assert registry.is_free(image)
    base = image.base if image.base is not None else image
    assert registry.is_free(np.asarray(base))


def test_refused_borrow_leaves_the_array_free_afterwards(registry):
    image = np.zeros((4, 4, 3), np.uint8)
    assert registry.acquire_mut(image) == 0
    try:
        with pytest.raises(RuntimeError, match="exclusively borrowed"):
            ba.batch_calculate_luminance([image])
    finally:
        registry.release_mut(image)
    assert registry.is_free(image)
    assert ba.batch_calculate_luminance([image]) == [0.0]


def test_same_array_is_held_twice_and_released_twice(registry):
    a = rgb(3, 3)
    assert registry.acquire(a) == 0
    assert registry.acquire(a) == 0  # read-only borrows stack up
    assert registry.acquire_mut(a) == -1
    registry.release(a)
    assert registry.acquire_mut(a) == -1
    registry.release(a)
    assert registry.is_free(a)


def test_disjoint_regions_while_another_extension_holds_exclusive(registry):
    a = rgb(6, 8)
    third = a[3:]
    assert registry.acquire_mut(third) == 0
    try:
        left, right = a[:3, :4], a[:3, 4:]
        out = ba.batch_crop_images([left, right], [(0, 0, 4, 3), (0, 0, 4, 3)])
        assert out[0].tolist() == left.tolist() and out[1].tolist() == right.tolist()
        # Overlapping memory is refused before the batch runs, and nothing is kept.
        with pytest.raises(RuntimeError, match="^argument 'images': the array is exclusively borrowed"):
            ba.batch_calculate_luminance([left, a[2:4]])
        assert registry.is_free(left)
    finally:
        registry.release_mut(third)
    assert registry.is_free(a)


@pytest.mark.parametrize(
    "first, second, conflict",
    [
        (np.s_[:, 0::2], np.s_[:, 1::2], False),  # interleaved columns never touch
        (np.s_[0], np.s_[1], False),
        (np.s_[:2], np.s_[1:], True),
        (np.s_[::-1], np.s_[:], True),
        (np.s_[:, :0], np.s_[:], False),  # empty range
    ],
)
def test_conflict_rule(registry, first, second, conflict):
    base = np.zeros((4, 8), np.float64)
    a, b = base[first], base[second]
    assert registry.acquire_mut(a) == 0
    try:
        assert (registry.acquire(b) == -1) is conflict
        if not conflict:
            registry.release(b)
    finally:
        registry.release_mut(a)


def test_exclusive_borrow_of_read_only_array_is_refused(registry):
    a = np.zeros((2, 2, 3), np.uint8)
    a.flags.writeable = False
    assert registry.acquire_mut(a) == -2


def test_capsule_is_created_once_and_reused_in_process():
    code = """
import importlib, numpy as np
major = int(np.__version__.split('.')[0])
m = importlib.import_module('numpy._core.multiarray' if major >= 2 else 'numpy.core.multiarray')
assert not hasattr(m, '_RUST_NUMPY_BORROW_CHECKING_API')
import batchaugmentor as ba
assert not hasattr(m, '_RUST_NUMPY_BORROW_CHECKING_API')  # nothing at import
ba.batch_calculate_luminance([])
assert not hasattr(m, '_RUST_NUMPY_BORROW_CHECKING_API')  # no array seen yet
ba.batch_calculate_luminance([np.zeros((1, 1, 3), np.uint8)])
first = m._RUST_NUMPY_BORROW_CHECKING_API
ba.batch_calculate_luminance([np.zeros((1, 1, 3), np.uint8)])
assert m._RUST_NUMPY_BORROW_CHECKING_API is first
print('ok')
"""
    out = run_child(code, env={"PYTHONWARNINGS": "error"}, timeout=60)  # as -W error
    assert out.stdout.strip() == "ok", out.stderr


def test_numpy_2_uses_the_new_core_module():
    mod = multiarray_module()
    expected = "numpy._core.multiarray" if int(np.__version__.split(".")[0]) >= 2 else "numpy.core.multiarray"
    assert mod.__name__ == expected
    assert hasattr(mod, BorrowRegistry.NAME.decode())
