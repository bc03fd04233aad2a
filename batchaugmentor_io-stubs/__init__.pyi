"""Decode JPEG, PNG and WebP batches into NumPy arrays, in parallel native code.

A companion of ``batchaugmentor`` in the same wheel and the same shared
library: both run their batches on the one process-wide worker pool. Each
function takes a whole batch (a list) and returns a new list with one entry
per item, in input order: a new C-ordered ``uint8`` array of shape
(height, width, 3) for ``mode="RGB"``, (height, width, 1) for ``"L"`` and
(height, width, 4) for ``"RGBA"``, or ``None``.

The format is found from the content (JPEG, PNG, WebP; an animated WebP
gives its first frame). Results are turned upright by their EXIF
orientation unless ``apply_exif=False``. ``min_size=(width, height)`` lets a
JPEG decode at the smallest of 1/8, 1/4, 1/2 or full scale that keeps both
result sides at or above it (a different, smaller result: opt-in). An image
whose stored size has more than ``max_pixels`` pixels (default 178956970,
where Pillow refuses; ``None``: no limit) is refused from its header,
before any pixel memory is allocated; so is a JPEG with more than 100
progressive scans. Content that is corrupt, truncated or refused gives
``None``, or with ``errors="raise"`` a ``ValueError`` naming the first such
item and the reason.

``size=(width, height)`` resizes each result on the worker that decodes it,
with ``batchaugmentor.batch_resize_images``'s Lanczos filter and bytes: the
whole image (``fit="stretch"``), or its largest centred box of the target's
shape (``fit="crop"``; for a square target, the centred square). Only RGB.
Only the box is decoded where the content allows (JPEG), and no full-size
array is made, which for large photographs saves most of the memory traffic.

Calls may also raise ``RuntimeError`` when the pool cannot be built, the
exception of a signal handler that raises during a batch (Ctrl-C), and
``MemoryError`` with the function's prefix.
"""

from collections.abc import Sequence
from typing import Literal

import numpy as np
import numpy.typing as npt

__all__ = ["decode_image_batch", "read_image_batch"]

_Content = bytes | bytearray | memoryview | npt.NDArray[np.uint8]

def decode_image_batch(
    contents: Sequence[_Content | None],
    *,
    mode: Literal["RGB", "L", "RGBA"] = "RGB",
    min_size: tuple[int, int] | None = None,
    apply_exif: bool = True,
    max_pixels: int | None = 178956970,
    errors: Literal["none", "raise"] = "none",
    size: tuple[int, int] | None = None,
    fit: Literal["stretch", "crop"] = "stretch",
) -> list[npt.NDArray[np.uint8] | None]:
    """Decode each item's encoded image.

    Items are ``bytes``, ``bytearray``, ``memoryview`` or contiguous 1-D
    ``uint8`` arrays; ``None`` gives ``None``, so the output of
    ``batchaugmentor.load_image_batch`` chains in directly.

    Raises:
        TypeError: ``contents`` is not a sequence, an item is not bytes-like
            or ``None``, or an option has the wrong type.
        ValueError: an option has a wrong value (``size`` with a mode other
            than RGB, ``fit`` without ``size``); or, with ``errors="raise"``,
            the first item that cannot be decoded, e.g.
            ``"Decoding failed: item 3: truncated JPEG data"``.
        OverflowError: a ``min_size`` side or ``max_pixels`` is negative or
            too large.
        MemoryError: ``"Decoding failed: not enough memory for the result"``.

    Example::

        images = decode_image_batch(load_image_batch(paths), min_size=(224, 224))
        squares = decode_image_batch(contents, size=(224, 224), fit="crop")
    """

def read_image_batch(
    paths: Sequence[str],
    *,
    mode: Literal["RGB", "L", "RGBA"] = "RGB",
    min_size: tuple[int, int] | None = None,
    apply_exif: bool = True,
    max_pixels: int | None = 178956970,
    errors: Literal["none", "raise"] = "none",
    size: tuple[int, int] | None = None,
    fit: Literal["stretch", "crop"] = "stretch",
) -> list[npt.NDArray[np.uint8] | None]:
    """Read each file and decode it, with no ``bytes`` object in between.

    Files are read by the loader of ``batchaugmentor.load_image_batch`` (the
    same descriptor and memory limits, pipes and devices read until they
    end) into memory of the module, then decoded as by
    ``decode_image_batch``. A file that cannot be read gives ``None``, or
    with ``errors="raise"`` ``"Image reading failed: item 0: the file cannot
    be read"``.

    Raises:
        TypeError: ``paths`` is a ``str`` or not a sequence, an element is not
            a ``str``, or an option has the wrong type.
        ValueError: an option has a wrong value; or, with ``errors="raise"``,
            the first item that cannot be read or decoded.
        MemoryError: ``"Image reading failed: not enough memory ..."``.

    Example::

        images = read_image_batch(["a.jpg", "b.png"], mode="RGB")
    """
