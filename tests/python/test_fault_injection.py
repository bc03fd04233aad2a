"""Every allocation of a call may fail: the call then returns its normal
result or raises MemoryError with the function's prefix, releases every
borrow, and the process lives on. An LD_PRELOAD shim (built here) fails
the n-th allocation, for every n of one call of each function."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import last_json, run_child

ROOT = Path(__file__).resolve().parents[2]
PRELOADED = os.environ.get("LD_PRELOAD", "")

pytestmark = pytest.mark.skipif(
    "asan" in PRELOADED or sys.platform != "linux",
    reason="AddressSanitizer replaces the allocator the shim wraps")


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler to build the allocator shim")
    out = tmp_path_factory.mktemp("faultinject") / "libfailalloc.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-O2", "-o", str(out),
                    str(ROOT / "tests" / "faultinject" / "failalloc.c")], check=True)
    return out


CHILD = """
    import ctypes, json, os, sys, tempfile
    import numpy as np
    import batchaugmentor as ba
    from conftest import BorrowRegistry

    shim = ctypes.CDLL(None)
    arm, disarm, fired = shim.faultinject_arm, shim.faultinject_disarm, shim.faultinject_fired
    arm.argtypes, arm.restype = [ctypes.c_long], None
    disarm.restype = ctypes.c_long

    rng = np.random.default_rng(1)
    image = rng.integers(0, 256, (6, 5, 3), dtype=np.uint8)
    flat = np.full((6, 5, 3), 17, np.uint8)
    video = rng.integers(0, 256, (2, 6, 5, 3), dtype=np.uint8)
    content = tempfile.NamedTemporaryFile(delete=False)
    content.write(b"batchaugmentor" * 300)   # past the small-object allocator: bytes uses malloc
    content.close()

    cases = {
        "load_image_batch": ("File loading failed", lambda: ba.load_image_batch([content.name, "/nonexistent/x"])),
        "batch_crop_images": ("Cropping failed", lambda: ba.batch_crop_images([image, image], [(1, 1, 2, 3), (0, 0, 5, 6)])),
        "batch_crop_images_error": ("Cropping failed", lambda: ba.batch_crop_images([image, image], [(1, 1, 2, 3), (4, 0, 2, 1)])),
        "batch_center_crop_images": ("Center cropping failed", lambda: ba.batch_center_crop_images([image, image], [(2, 2), (9, 9)])),
        "batch_random_crop_images": ("Random cropping failed", lambda: ba.batch_random_crop_images([flat, flat], [(2, 2), (3, 1)])),
        "batch_resize_images": ("Resizing failed", lambda: ba.batch_resize_images([image, image], [(3, 4), (7, 2)])),
        "batch_calculate_luminance": ("Luminance calculation failed", lambda: ba.batch_calculate_luminance([image, flat])),
        "batch_resize_videos": ("Video resizing failed", lambda: ba.batch_resize_videos([video, video], [(3, 4), (2, 2)])),
    }
    prefix, call = cases[sys.argv[1]]

    def outcome():
        try:
            result = call()
        except MemoryError as e:
            return "memory", str(e)
        except ValueError as e:
            return "value", str(e)
        if isinstance(result, list) and result and isinstance(result[0], np.ndarray):
            return "ok", [[a.shape, a.tolist(), a.flags.writeable, a.flags.owndata] for a in result]
        return "ok", result

    if sys.argv[1] == "batch_random_crop_images":
        base = outcome  # the places are random; the values are all 17
        def outcome():
            kind, value = base()
            if kind == "ok":
                value = [[shape, set(np.ravel(v)) == {17}, w, o] for shape, v, w, o in value]
            return kind, value

    ba.batch_calculate_luminance([flat])   # the borrow registry exists
    registry = BorrowRegistry()
    # Pool built, caches filled, and every worker has run items: the C
    # library ends the process when it cannot allocate a thread's first use
    # of thread-local storage, which no caller can turn into an exception.
    for _ in range(200):
        expected = outcome()
    arm(0)
    outcome()
    total = disarm()
    counts = {"calls": 0, "failed": 0, "ok": 0, "memory": 0}
    for n in range(1, total + 16):   # a margin: the count varies a little
        arm(n)
        kind, value = outcome()
        disarm()
        if not fired():
            continue
        counts["failed"] += 1
        if kind == "memory":
            counts["memory"] += 1
            assert value.startswith(prefix + ": ") and len(value) > len(prefix) + 2, (n, value)
        elif sys.argv[1] == "load_image_batch" and kind == "ok" and value[0] is None:
            # A file whose bytes object cannot be had reads as unreadable.
            counts["ok"] += 1
            assert value[1:] == expected[1][1:], (n, value)
        else:   # the failure was absorbed: the call's own outcome, unchanged
            counts["ok"] += 1
            assert (kind, value) == expected, (n, kind, value)
        for a in (image, flat, video):
            assert registry.is_free(a), ("borrow left", n)
    assert outcome() == expected
    counts["calls"] = total
    print(json.dumps(counts))
"""

CASES = ["load_image_batch", "batch_crop_images", "batch_crop_images_error",
         "batch_center_crop_images", "batch_random_crop_images", "batch_resize_images",
         "batch_calculate_luminance", "batch_resize_videos"]


@pytest.mark.parametrize("case", CASES)
def test_every_failed_allocation_gives_a_result_or_memory_error(shim, case):
    done = run_child(CHILD, case, timeout=600, env={
        "LD_PRELOAD": f"{shim} {PRELOADED}".strip(),
        "RAYON_NUM_THREADS": "2",   # few workers, so the warm-up reaches each
    })
    assert done.returncode == 0, done.stderr[-4000:]
    counts = last_json(done.stdout)
    print(f"{case}: {counts['failed']} allocations failed in turn "
          f"({counts['memory']} MemoryError, {counts['ok']} absorbed)")
    # The shim really reached the call (a statically linked C++ runtime, as
    # in the release wheel, makes fewer allocations through malloc).
    assert counts["failed"] >= 5
    assert counts["failed"] == counts["ok"] + counts["memory"]
