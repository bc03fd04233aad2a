# Typical use of every function; type checkers must accept it and infer the
# exact result types (assert_type fails the check otherwise).
from collections.abc import Sequence
from pathlib import Path
from typing import NamedTuple, assert_type

import numpy as np
import numpy.typing as npt

import batchaugmentor as ba

Image = npt.NDArray[np.uint8]


class Size(NamedTuple):
    width: int
    height: int


def prepare(paths: Sequence[Path], frames: Image) -> list[float]:
    contents = ba.load_image_batch([str(p) for p in paths])
    assert_type(contents, list[bytes | None])
    loaded = [c for c in contents if c is not None]
    assert_type(loaded, list[bytes])

    images: list[Image] = [np.zeros((48, 64, 3), np.uint8), np.full((20, 30, 3), 7, np.uint8)]
    boxes = [(0, 0, 16, 16), (5, 5, 10, 10)]
    assert_type(ba.batch_crop_images(images, boxes), list[Image])
    assert_type(ba.batch_crop_images(images=images, crop_boxes=boxes), list[Image])
    sizes = [Size(16, 12), Size(8, 8)]
    centred = ba.batch_center_crop_images(images, sizes)
    assert_type(centred, list[Image])
    assert_type(ba.batch_random_crop_images(tuple(images), [(8, 8)] * 2), list[Image])
    resized = ba.batch_resize_images(centred, [(224, 224)] * len(centred))
    assert_type(resized, list[Image])
    assert_type(ba.batch_resize_videos([frames], [(112, 112)]), list[Image])
    luminance = ba.batch_calculate_luminance(resized)
    assert_type(luminance, list[float])
    return luminance


def decode_squares(contents: list[bytes | None]) -> list[Image | None]:
    import batchaugmentor_io as bio

    squares = bio.decode_image_batch(contents, size=(224, 224), fit="crop", min_size=(224, 224))
    assert_type(squares, list[Image | None])
    assert_type(bio.read_image_batch(["a.jpg"], size=(32, 32)), list[Image | None])
    return squares
