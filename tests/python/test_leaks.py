"""20,000 calls of each function, on success and on error paths, leave the
inputs' reference counts unchanged and the process's resident memory flat.

Tolerance: after a warm-up, resident memory may grow by at most 64 KiB per
1,000 calls (1.25 MiB over the 20,000): a leak of one small object per call
(64 bytes or more) exceeds it, while allocator noise stays far below it."""

import gc
import os
import sys

import numpy as np
import pytest

import batchaugmentor as ba

CALLS = 20_000
WARM_UP = 2_000
TOLERANCE_PER_1000 = 64 << 10

pytestmark = pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                                reason="AddressSanitizer's quarantine holds freed memory on purpose")

PAGE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


rng = np.random.default_rng(5)
IMAGE = rng.integers(0, 256, (6, 5, 3), dtype=np.uint8)
RGBA = np.zeros((4, 4, 4), np.uint8)
GREY_VIDEO = np.zeros((2, 4, 4, 1), np.uint8)
VIDEO = rng.integers(0, 256, (2, 6, 5, 3), dtype=np.uint8)
FLOATS = np.zeros((2, 2, 3))
FILE = os.path.abspath(__file__)

# name: (function, arguments, expected exception or None)
CALLS_UNDER_TEST = {
    "load_ok": (ba.load_image_batch, ([FILE, "/nonexistent/x"],), None),
    "load_bad_argument": (ba.load_image_batch, ([FILE, b"bytes"],), TypeError),
    "crop_ok": (ba.batch_crop_images, ([IMAGE, IMAGE], [(1, 1, 2, 3), (0, 0, 5, 6)]), None),
    "crop_refused": (ba.batch_crop_images, ([IMAGE, IMAGE], [(1, 1, 2, 3), (4, 0, 2, 1)]), ValueError),
    "crop_bad_box": (ba.batch_crop_images, ([IMAGE, IMAGE], [(1, 1, 2, 3), (0, 0, 1.5, 1)]), TypeError),
    "center_ok": (ba.batch_center_crop_images, ([IMAGE, IMAGE], [(2, 2), (9, 9)]), None),
    "center_refused": (ba.batch_center_crop_images, ([IMAGE, IMAGE], [(2, 2), (0, 9)]), ValueError),
    "random_ok": (ba.batch_random_crop_images, ([IMAGE, IMAGE], [(2, 2), (3, 1)]), None),
    "random_refused": (ba.batch_random_crop_images, ([IMAGE, IMAGE], [(2, 0), (3, 1)]), ValueError),
    "resize_ok": (ba.batch_resize_images, ([IMAGE, IMAGE], [(3, 4), (7, 2)]), None),
    "resize_refused": (ba.batch_resize_images, ([IMAGE, RGBA], [(3, 4), (7, 2)]), ValueError),
    "luminance_ok": (ba.batch_calculate_luminance, ([IMAGE, RGBA],), None),
    "luminance_bad_array": (ba.batch_calculate_luminance, ([IMAGE, FLOATS],), TypeError),
    "video_ok": (ba.batch_resize_videos, ([VIDEO, VIDEO], [(3, 4), (2, 2)]), None),
    "video_refused": (ba.batch_resize_videos, ([VIDEO, GREY_VIDEO], [(3, 4), (2, 2)]), RuntimeError),
}


def call_many(function, arguments, expected, n):
    for _ in range(n):
        try:
            function(*arguments)
        except Exception as e:  # noqa: BLE001 - checked just below
            if expected is None or type(e) is not expected:
                raise
        else:
            assert expected is None


def check_no_leak(name, function, arguments, expected):
    """CALLS calls after WARM_UP ones leave every argument's reference count
    as it was and grow resident memory by at most TOLERANCE_PER_1000 a
    thousand calls."""
    watched = list(arguments) + [a for lst in arguments for a in lst]
    call_many(function, arguments, expected, WARM_UP)
    gc.collect()
    counts = [sys.getrefcount(o) for o in watched]
    before = resident_bytes()
    call_many(function, arguments, expected, CALLS)
    gc.collect()
    growth = resident_bytes() - before
    assert [sys.getrefcount(o) for o in watched] == counts
    per_1000 = growth * 1000 / CALLS
    print(f"{name}: resident memory {growth / 1024:+.0f} KiB over {CALLS} calls "
          f"({per_1000 / 1024:+.2f} KiB per 1,000)")
    assert per_1000 <= TOLERANCE_PER_1000


@pytest.mark.parametrize("name", sorted(CALLS_UNDER_TEST))
def test_many_calls_leak_neither_references_nor_memory(name):
    check_no_leak(name, *CALLS_UNDER_TEST[name])
