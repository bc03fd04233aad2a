import ctypes
import importlib
import inspect
import pathlib
import subprocess
import sys

import pytest

import batchaugmentor
from conftest import run_child

NAMES = [
    "load_image_batch",
    "batch_crop_images",
    "batch_center_crop_images",
    "batch_random_crop_images",
    "batch_resize_images",
    "batch_calculate_luminance",
    "batch_resize_videos",
]
SIGNATURES = {
    "load_image_batch": "(image_paths)",
    "batch_crop_images": "(images, crop_boxes)",
    "batch_center_crop_images": "(images, target_sizes)",
    "batch_random_crop_images": "(images, target_sizes)",
    "batch_resize_images": "(images, target_sizes)",
    "batch_calculate_luminance": "(images)",
    "batch_resize_videos": "(videos, target_sizes)",
}


def test_namespace_holds_exactly_the_seven_functions():
    assert batchaugmentor.__all__ == NAMES
    assert batchaugmentor.__doc__ == ""
    public = {n for n in vars(batchaugmentor) if not n.startswith("__")}
    assert public == set(NAMES)


@pytest.mark.parametrize("name", NAMES)
def test_function_metadata(name):
    f = getattr(batchaugmentor, name)
    assert f.__doc__ is None
    assert f.__module__ == "batchaugmentor"
    assert f.__text_signature__ == SIGNATURES[name]
    assert str(inspect.signature(f)) == SIGNATURES[name]


def test_module_file_is_stable_abi():
    assert pathlib.Path(batchaugmentor.__file__).name == "batchaugmentor.abi3.so"


def test_reimport_and_second_init_return_the_same_module():
    first = sys.modules.pop("batchaugmentor")
    try:
        again = importlib.import_module("batchaugmentor")
        assert again is first
    finally:
        sys.modules["batchaugmentor"] = first
    init = ctypes.PyDLL(batchaugmentor.__file__).PyInit_batchaugmentor
    init.restype = ctypes.py_object
    assert init() is batchaugmentor
    assert batchaugmentor.__all__ == NAMES  # nothing registered twice


def test_second_interpreter_is_refused_and_first_keeps_working():
    code = r"""
import numpy as np, batchaugmentor
try:
    import _interpreters as si
    interp = si.create("legacy")
    run = lambda: si.run_string(interp, "import batchaugmentor")
except ImportError:
    import _xxsubinterpreters as si
    interp = si.create(isolated=False)
    run = lambda: si.run_string(interp, "import batchaugmentor")
try:
    outcome = run()  # 3.13 returns the failure
except Exception as failure:  # 3.12 raises it
    outcome = failure
print("OUTCOME", outcome)
print("STILL", batchaugmentor.batch_calculate_luminance([np.full((2, 2, 3), 7, np.uint8)]))
"""
    try:
        out = run_child(code, timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail("sub-interpreter check hung")
    text = out.stdout + out.stderr
    if "module 'si'" in text or "No module named" in text:
        pytest.skip("no sub-interpreter support in this interpreter")
    assert "PyO3 modules do not yet support subinterpreters, see " in text
    assert "ImportError" in text
    assert "STILL [7.0]" in text
