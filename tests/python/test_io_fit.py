"""batchaugmentor_io's size= and fit=: each image decoded and resized on
its worker must equal decoding it whole and resizing the same box with
batchaugmentor.batch_resize_images, byte for byte, whatever part of the
image the decoder skipped."""

import numpy as np
import pytest

import batchaugmentor as ba

bio = pytest.importorskip(
    "batchaugmentor_io",
    reason="batchaugmentor_io is not in this build (BATCHAUGMENTOR_DECODERS=OFF)")
pytest.importorskip("PIL.Image", reason="Pillow writes the test corpus")
from test_io import CORPUS, GREY16, encode, photo, with_orientation  # noqa: E402
from PIL import Image  # noqa: E402


def centred_box(height, width, target_width, target_height):
    """The box fit='crop' resizes: the target's shape, as large as fits, centred."""
    if width * target_height > height * target_width:
        w = min(max((2 * height * target_width + target_height) // (2 * target_height), 1), width)
        h = height
    elif width * target_height < height * target_width:
        w = width
        h = min(max((2 * width * target_height + target_width) // (2 * target_width), 1), height)
    else:
        w, h = width, height
    y, x = (height - h) // 2, (width - w) // 2
    return slice(y, y + h), slice(x, x + w)


def decoded_then_resized(data, size, fit, **options):
    [whole] = bio.decode_image_batch([data], errors="raise", **options)
    part = whole[centred_box(*whole.shape[:2], *size)] if fit == "crop" else whole
    [resized] = ba.batch_resize_images([part], [size])
    return resized


LARGE = {
    "jpeg_420_landscape": encode(Image.fromarray(photo(331, 170, 1)), "JPEG", quality=90),
    "jpeg_422_portrait": encode(Image.fromarray(photo(150, 403, 2)), "JPEG", quality=85, subsampling=1),
    "jpeg_progressive_portrait": encode(Image.fromarray(photo(97, 260, 3)), "JPEG", progressive=True),
    "jpeg_orientation_6": with_orientation("JPEG", 6),
    "jpeg_orientation_3": with_orientation("JPEG", 3),
    "png_orientation_8": with_orientation("PNG-eXIf", 8),
}
NAMES = sorted(k for k in CORPUS if k not in GREY16) + GREY16[:1] + sorted(LARGE)
SIZES = [(224, 224), (32, 20), (7, 50), (1, 1)]


@pytest.mark.parametrize("fit", ["crop", "stretch"])
@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("name", NAMES)
def test_equals_decoding_whole_then_resizing_the_box(name, size, fit):
    data = CORPUS.get(name) or LARGE[name]
    [ours] = bio.decode_image_batch([data], size=size, fit=fit, errors="raise")
    assert ours.shape == (size[1], size[0], 3) and ours.flags.c_contiguous and ours.flags.owndata
    np.testing.assert_array_equal(ours, decoded_then_resized(data, size, fit))


@pytest.mark.parametrize("min_size", [(40, 40), (10, 10)])
@pytest.mark.parametrize("name", ["jpeg_420_landscape", "jpeg_422_portrait", "jpeg_orientation_6"])
def test_reduced_decoding_combines(name, min_size):
    data = LARGE[name]
    [ours] = bio.decode_image_batch([data], size=(24, 24), fit="crop", min_size=min_size)
    np.testing.assert_array_equal(ours, decoded_then_resized(data, (24, 24), "crop", min_size=min_size))


def test_read_image_batch_fits_too(tmp_path):
    paths = []
    for k, name in enumerate(sorted(LARGE)):
        paths.append(str(tmp_path / f"{k}.img"))
        with open(paths[-1], "wb") as f:
            f.write(LARGE[name])
    paths.append(str(tmp_path / "missing.jpg"))
    results = bio.read_image_batch(paths, size=(30, 40), fit="crop")
    assert results[-1] is None
    for name, ours in zip(sorted(LARGE), results):
        np.testing.assert_array_equal(ours, decoded_then_resized(LARGE[name], (30, 40), "crop"))


def test_what_cannot_be_decoded_is_none_as_without_size():
    good = LARGE["jpeg_422_portrait"]
    # Cut inside the rows below the centred box: only a whole read notices.
    cut = good[: len(good) * 9 // 10]
    contents = [None, b"not an image", cut, good]
    plain = bio.decode_image_batch(contents)
    fitted = bio.decode_image_batch(contents, size=(16, 16), fit="crop")
    assert [r is None for r in fitted] == [r is None for r in plain] == [True, True, True, False]
    with pytest.raises(ValueError, match="item 1: not a JPEG, PNG or WebP image"):
        bio.decode_image_batch(contents, size=(16, 16), errors="raise")


@pytest.mark.parametrize("options, error, message", [
    ({"size": (0, 5)}, ValueError, "size must have sides of at least 1"),
    ({"size": (5,)}, TypeError, r"size must be None or a \(width, height\) tuple, not 'tuple'"),
    ({"size": [5, 5]}, TypeError, r"size must be None or a \(width, height\) tuple, not 'list'"),
    ({"size": (-1, 5)}, OverflowError, "can't convert negative int to unsigned"),
    ({"size": (5, 5), "mode": "L"}, ValueError, "size needs mode='RGB'"),
    ({"size": (5, 5), "fit": "cover"}, ValueError, "fit must be 'stretch' or 'crop', not 'cover'"),
    ({"size": (5, 5), "fit": 1}, TypeError, "fit must be 'stretch' or 'crop', not 'int'"),
    ({"fit": "crop"}, ValueError, "fit needs size"),
])
def test_options_are_checked_before_any_item_runs(options, error, message):
    with pytest.raises(error, match=message):
        bio.decode_image_batch([b"not an image"], errors="raise", **options)
