import numpy as np
import pytest

import batchaugmentor as ba
from conftest import rgb


def coords(h, w, k=3):
    """Pixel (y, x) holds (y, x, ...), so a crop tells where it came from."""
    a = np.zeros((h, w, k), np.uint8)
    if k:
        a[..., 0] = np.arange(h)[:, None]
    if k > 1:
        a[..., 1] = np.arange(w)[None, :]
    return a


class TestCropBox:
    def test_whole_image_and_corner_pixel(self):
        a = rgb(5, 7)
        whole, corner = ba.batch_crop_images([a, a], [(0, 0, 7, 5), (6, 4, 1, 1)])
        assert (whole == a).all()
        assert corner.shape == (1, 1, 3) and (corner[0, 0] == a[4, 6]).all()

    @pytest.mark.parametrize(
        "shape, box, message",
        [
            ((4, 5, 3), (99, 99, 0, 3), "Crop dimensions must be greater than zero"),
            ((4, 5, 3), (0, 0, 3, 0), "Crop dimensions must be greater than zero"),
            ((4, 5, 3), (5, 0, 1, 1), "Crop bounds exceed image dimensions"),
            ((4, 5, 3), (0, 4, 1, 1), "Crop bounds exceed image dimensions"),
            ((4, 5, 3), (2**64 - 1, 0, 1, 1), "Crop bounds exceed image dimensions"),
            ((4, 5, 3), (0, 2**64 - 1, 1, 1), "Crop bounds exceed image dimensions"),
            ((0, 5, 3), (0, 0, 1, 1), "Crop bounds exceed image dimensions"),
        ],
    )
    def test_refusals(self, shape, box, message):
        with pytest.raises(ValueError) as info:
            ba.batch_crop_images([np.zeros(shape, np.uint8)], [box])
        assert str(info.value) == "Cropping failed: " + message

    @pytest.mark.parametrize("channels", [0, 1, 2, 4])
    def test_any_channel_count(self, channels):
        a = np.random.default_rng(1).integers(0, 256, (4, 6, channels), dtype=np.uint8)
        out = ba.batch_crop_images([a], [(1, 2, 3, 2)])[0]
        assert out.shape == (2, 3, channels) and (out == a[2:4, 1:4]).all()

    def test_second_of_two_failures_reported_by_position(self):
        a = rgb(3, 3)
        boxes = [(0, 0, 1, 1), (3, 0, 1, 1), (0, 0, 1, 1), (0, 0, 0, 0)]
        with pytest.raises(ValueError, match="^Cropping failed: Crop bounds exceed image dimensions$"):
            ba.batch_crop_images([a] * 4, boxes)


class TestCenterCrop:
    def test_odd_difference_goes_right_and_down(self):
        out = ba.batch_center_crop_images([coords(4, 5)], [(2, 2)])[0]
        assert out[..., 1].tolist() == [[1, 2], [1, 2]]
        assert out[..., 0].tolist() == [[1, 1], [2, 2]]

    def test_target_larger_than_image_takes_whole_axis(self):
        a = rgb(4, 6)
        assert (ba.batch_center_crop_images([a], [(10, 10)])[0] == a).all()
        assert ba.batch_center_crop_images([a], [(3, 10)])[0].shape == (4, 3, 3)

    @pytest.mark.parametrize("shape, target", [((4, 6, 3), (0, 5)), ((0, 6, 3), (2, 2)), ((4, 0, 3), (2, 2))])
    def test_zero_sizes(self, shape, target):
        with pytest.raises(ValueError, match="^Center cropping failed: Crop dimensions must be greater than zero$"):
            ba.batch_center_crop_images([np.zeros(shape, np.uint8)], [target])


class TestRandomCrop:
    def test_full_size_target_returns_the_image(self):
        a = rgb(5, 4)
        assert (ba.batch_random_crop_images([a] * 3, [(4, 5)] * 3)[0] == a).all()

    def test_every_offset_is_reachable_and_the_box_fits(self):
        a = coords(10, 12)
        outs = ba.batch_random_crop_images([a] * 600, [(3, 4)] * 600)
        xs = {int(o[0, 0, 1]) for o in outs}
        ys = {int(o[0, 0, 0]) for o in outs}
        assert xs == set(range(0, 10)) and ys == set(range(0, 7))
        for o in outs:
            assert o.shape == (4, 3, 3)
            x, y = int(o[0, 0, 1]), int(o[0, 0, 0])
            assert (o == a[y:y + 4, x:x + 3]).all()

    def test_one_column_narrower_is_a_fair_coin(self):
        a = coords(2, 9)
        outs = ba.batch_random_crop_images([a] * 4000, [(8, 2)] * 4000)
        ones = sum(int(o[0, 0, 1]) for o in outs)
        assert {int(o[0, 0, 1]) for o in outs} == {0, 1}
        assert 1700 < ones < 2300  # 0.5 +- 6 standard deviations

    def test_offsets_differ_between_calls(self):
        a = coords(200, 200)
        first = [int(o[0, 0, 1]) for o in ba.batch_random_crop_images([a] * 20, [(1, 1)] * 20)]
        second = [int(o[0, 0, 1]) for o in ba.batch_random_crop_images([a] * 20, [(1, 1)] * 20)]
        assert first != second
