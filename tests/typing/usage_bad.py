# Each line marked "# E: <mypy error code>" must be reported by a type
# checker, on that line and no other: the stubs are precise enough to catch
# these mistakes before they run.
from pathlib import Path

import numpy as np
import numpy.typing as npt

import batchaugmentor as ba

images: list[npt.NDArray[np.uint8]] = [np.zeros((4, 4, 3), np.uint8)]
floats: list[npt.NDArray[np.float64]] = [np.zeros((4, 4, 3))]
paths: list[Path] = [Path("a.png")]
fractional: list[tuple[float, float]] = [(1.5, 2.0)]
short_boxes: list[tuple[int, int, int]] = [(0, 0, 2)]

ba.load_image_batch(paths)  # E: arg-type
ba.batch_calculate_luminance(floats)  # E: arg-type
ba.batch_resize_images(images, fractional)  # E: arg-type
ba.batch_crop_images(images, short_boxes)  # E: arg-type
ba.batch_center_crop_images(images, target_size=[(2, 2)])  # E: call-arg
ba.batch_resize_videos(images)  # E: call-arg
first: bytes = ba.load_image_batch(["a.png"])[0]  # E: assignment
means: list[int] = ba.batch_calculate_luminance(images)  # E: assignment

import batchaugmentor_io as bio  # noqa: E402

bio.decode_image_batch([b""], size=(224, 224), fit="cover")  # E: arg-type
bio.read_image_batch(["a.jpg"], size=224)  # E: arg-type
