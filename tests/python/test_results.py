import numpy as np
import pytest

import batchaugmentor as ba
from conftest import rgb


class TestOwnership:
    def test_results_own_fresh_writeable_memory(self):
        a = rgb(8, 8)
        ro = a.copy()
        ro.flags.writeable = False
        outs = (
            ba.batch_crop_images([a, ro], [(0, 0, 8, 8), (1, 1, 3, 3)])
            + ba.batch_center_crop_images([a], [(4, 4)])
            + ba.batch_random_crop_images([a], [(4, 4)])
        )
        for out in outs:
            assert out.flags.owndata and out.base is None and out.flags.writeable
            assert not np.shares_memory(out, a) and not np.shares_memory(out, ro)
            before = a.copy()
            out[...] = 0
            assert (a == before).all()

    def test_empty_batch_gives_new_empty_lists(self):
        first, second = ba.batch_calculate_luminance([]), ba.batch_calculate_luminance([])
        assert first == [] and first is not second


class TestLayouts:
    def test_column_major_full_crop_stays_column_major(self):
        f = np.asfortranarray(rgb(5, 7))
        out = ba.batch_crop_images([f], [(0, 0, 7, 5)])[0]
        assert out.flags.f_contiguous and not out.flags.c_contiguous
        assert (out == f).all()

    @pytest.mark.parametrize(
        "view",
        [
            lambda a: a[::-1],
            lambda a: a[:, ::-1],
            lambda a: a[::-1, ::-1, ::-1],
            lambda a: a.transpose(1, 0, 2),
            lambda a: a[::2, 1::3],
            lambda a: np.broadcast_to(a[:1, :1], (6, 9, 3)),
        ],
    )
    def test_any_view_crops_to_the_same_values_as_its_copy(self, view):
        a = view(rgb(9, 9))
        h, w = a.shape[:2]
        for box in [(0, 0, w, h), (1, 1, w - 2, h - 2), (0, 2, w, 1)]:
            out = ba.batch_crop_images([a], [box])[0]
            x, y, bw, bh = box
            assert (out == a[y:y + bh, x:x + bw]).all()
            assert out.flags.c_contiguous or out.flags.f_contiguous

    def test_narrow_crop_is_row_major(self):
        f = np.asfortranarray(rgb(5, 7))
        out = ba.batch_crop_images([f], [(1, 1, 3, 3)])[0]
        assert out.flags.c_contiguous


class TestErrors:
    def test_first_failed_item_in_input_order_is_reported(self):
        a = rgb(4, 4)
        boxes = [(0, 0, 1, 1), (4, 0, 1, 1), (0, 0, 1, 1), (0, 0, 0, 1)]
        with pytest.raises(ValueError) as info:
            ba.batch_crop_images([a] * 4, boxes)
        assert str(info.value) == "Cropping failed: Crop bounds exceed image dimensions"
        with pytest.raises(ValueError) as info:
            ba.batch_crop_images([a] * 4, list(reversed(boxes)))
        assert str(info.value) == "Cropping failed: Crop dimensions must be greater than zero"

    @pytest.mark.parametrize(
        "call, exc, message",
        [
            (lambda a: ba.batch_center_crop_images([a], [(0, 5)]), ValueError, "Center cropping failed: Crop dimensions must be greater than zero"),
            (lambda a: ba.batch_random_crop_images([a], [(5, 0)]), ValueError, "Random cropping failed: Crop dimensions must be greater than zero"),
        ],
    )
    def test_prefixes(self, call, exc, message):
        with pytest.raises(exc) as info:
            call(rgb(4, 4))
        assert type(info.value) is exc and str(info.value) == message

    def test_unallocatable_crop_raises_memory_error(self, registry):
        huge = np.broadcast_to(np.zeros((1, 1, 3), np.uint8), (2**40, 2**20, 3))
        small = rgb(2, 2)
        with pytest.raises(MemoryError):
            ba.batch_crop_images([small, huge, small], [(0, 0, 1, 1), (0, 0, 2**20, 2**40), (0, 0, 9, 9)])
        assert registry.is_free(small)
