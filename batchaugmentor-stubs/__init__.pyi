"""Batch image and video preparation for NumPy, in parallel native code.

Every function takes a whole batch (a list) and returns a new list with one
entry per item, in input order. Images are ``uint8`` arrays of shape
(height, width, channels); videos ``uint8`` arrays of shape
(frames, height, width, channels). Sizes are given as (width, height), boxes
as (x, y, width, height). The items run on a process-wide pool of worker
threads (``RAYON_NUM_THREADS`` sets its size) while the calling thread waits.

Every function may also raise ``RuntimeError`` when the pool cannot be built
(the next call tries again), and the exception of a signal handler that
raises during a batch (Ctrl-C: ``KeyboardInterrupt``): no further item
starts, running items finish and everything borrowed is released first.
Running out of memory is ``MemoryError`` with the function's prefix.
"""

from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

__all__ = [
    "load_image_batch",
    "batch_crop_images",
    "batch_center_crop_images",
    "batch_random_crop_images",
    "batch_resize_images",
    "batch_calculate_luminance",
    "batch_resize_videos",
]

def load_image_batch(image_paths: Sequence[str]) -> list[bytes | None]:
    """Read each file whole and undecoded.

    Returns one entry per path, in order: the file's complete content as
    ``bytes`` (``b""`` for an empty file), or ``None`` when the file cannot be
    read (missing, a directory, no permission) or there is no memory for it
    (the content would pass what the system can still give, so
    ``/dev/zero`` gives ``None``). Unreadable files never raise. Files are
    read in parallel, each straight into its ``bytes`` object; pipes and
    devices are read until they end, and Ctrl-C ends a wait on one.

    Raises:
        TypeError: ``image_paths`` is a ``str`` or not a sequence, or an
            element is not a ``str`` (``bytes`` and ``Path`` are refused:
            pass ``str(path)``).
        UnicodeEncodeError: a path holds a lone surrogate.
        MemoryError: the result list or the call's bookkeeping cannot be
            allocated (a file's content that cannot is ``None`` instead).

    Example::

        contents = load_image_batch(["a.jpg", "missing.png"])
        # [b"\\xff\\xd8...", None]
    """

def batch_crop_images(
    images: Sequence[npt.NDArray[np.uint8]],
    crop_boxes: Sequence[tuple[int, int, int, int]],
) -> list[npt.NDArray[np.uint8]]:
    """Cut box ``(x, y, width, height)`` out of each image.

    ``x`` counts columns (axis 1), ``y`` rows (axis 0). The lists are paired
    by position and the batch stops at the shorter one. Each result is a new
    ``uint8`` array of shape (height, width, channels) that owns its memory;
    any channel count and any strides are accepted.

    Raises:
        TypeError: an image is not a 3-D ``uint8`` array, or a box is not a
            tuple of integers (the message names the argument).
        ValueError: a box is not 4 long; or an item fails, reported for the
            first failed item in input order:
            ``"Cropping failed: Crop dimensions must be greater than zero"``
            or ``"Cropping failed: Crop bounds exceed image dimensions"``.
        OverflowError: a box value is negative or 2**64 or more.
        MemoryError: a result cannot be allocated.

    Example::

        image = np.zeros((480, 640, 3), np.uint8)
        [crop] = batch_crop_images([image], [(10, 20, 64, 32)])
        crop.shape  # (32, 64, 3)
    """

def batch_center_crop_images(
    images: Sequence[npt.NDArray[np.uint8]],
    target_sizes: Sequence[tuple[int, int]],
) -> list[npt.NDArray[np.uint8]]:
    """Cut a centred box of size ``(width, height)`` out of each image.

    An odd remainder leaves the extra column on the right and the extra row
    at the bottom. A target larger than the image along an axis takes the
    whole image along that axis, so the result may be smaller than asked.

    Raises:
        TypeError: an image is not a 3-D ``uint8`` array, or a size is not a
            tuple of integers.
        ValueError: a size is not 2 long, or a target or image side is zero:
            ``"Center cropping failed: Crop dimensions must be greater than zero"``.
        OverflowError: a size value is negative or 2**64 or more.
        MemoryError: a result cannot be allocated.

    Example::

        [square] = batch_center_crop_images([image], [(224, 224)])
        square.shape  # (224, 224, 3) for an image at least 224 on each side
    """

def batch_random_crop_images(
    images: Sequence[npt.NDArray[np.uint8]],
    target_sizes: Sequence[tuple[int, int]],
) -> list[npt.NDArray[np.uint8]]:
    """Cut a box of size ``(width, height)`` at a uniformly random place.

    Every offset at which the box fits is equally likely; a target larger
    than the image along an axis takes the whole image along it. The
    generator is per worker thread and seeded from the clock, so results are
    not reproducible: for reproducible crops draw the boxes with
    ``np.random.Generator`` and call ``batch_crop_images``.

    Raises:
        TypeError: an image is not a 3-D ``uint8`` array, or a size is not a
            tuple of integers.
        ValueError: a size is not 2 long, or a target or image side is zero:
            ``"Random cropping failed: Crop dimensions must be greater than zero"``.
        OverflowError: a size value is negative or 2**64 or more.
        MemoryError: a result cannot be allocated.

    Example::

        crops = batch_random_crop_images(images, [(224, 224)] * len(images))
    """

def batch_resize_images(
    images: Sequence[npt.NDArray[np.uint8]],
    target_sizes: Sequence[tuple[int, int]],
) -> list[npt.NDArray[np.uint8]]:
    """Resize each RGB image to ``(width, height)`` with a Lanczos-3 kernel.

    Computed in single precision with a fixed order of operations: the same
    bytes on every instruction-set path (``BATCHAUGMENTOR_KERNEL`` names one:
    ``"scalar"``, ``"avx2"``) and however the work is split; one large image
    is split across the pool. The result is a new C-ordered ``uint8`` array
    of shape (height, width, 3).

    Raises:
        TypeError: an image is not a 3-D ``uint8`` array, or a size is not a
            tuple of integers.
        ValueError: a size is not 2 long; or an item fails, for the first
            failed item in input order:
            ``"Resizing failed: Only RGB images (3 channels) are supported"``
            or ``"Resizing failed: Target dimensions must be greater than zero"``.
        OverflowError: a size value is negative or 2**32 or more.
        MemoryError: a result cannot be allocated.

    Example::

        [small] = batch_resize_images([image], [(224, 160)])
        small.shape  # (160, 224, 3)
    """

def batch_calculate_luminance(images: Sequence[npt.NDArray[np.uint8]]) -> list[float]:
    """Mean luminance of each image with ITU-R BT.601 weights.

    With three or more channels each pixel counts ``0.299 R + 0.587 G +
    0.114 B`` (further channels are ignored); with one or two channels it is
    the mean of all samples. An image without pixels gives ``nan``. No item
    can fail.

    Raises:
        TypeError: an image is not a 3-D ``uint8`` array.

    Example::

        batch_calculate_luminance([np.full((4, 4, 3), 200, np.uint8)])  # [200.0]
    """

def batch_resize_videos(
    videos: Sequence[npt.NDArray[np.uint8]],
    target_sizes: Sequence[tuple[int, int]],
) -> list[npt.NDArray[np.uint8]]:
    """Resize every frame of each RGB video to ``(width, height)``.

    Uses the same kernel as ``batch_resize_images``, frame by frame; the
    frames of one video are spread over the worker threads too. The result is
    a new ``uint8`` array of shape (frames, height, width, 3).

    Raises:
        TypeError: a video is not a 4-D ``uint8`` array, or a size is not a
            tuple of integers.
        ValueError: a size is not 2 long.
        RuntimeError: ``"Video resizing failed"`` when a video does not have
            3 channels or a target side is zero.
        OverflowError: a size value is negative or 2**32 or more.
        MemoryError: a result cannot be allocated.

    Example::

        clip = np.zeros((8, 240, 320, 3), np.uint8)
        [small] = batch_resize_videos([clip], [(112, 112)])
        small.shape  # (8, 112, 112, 3)
    """
