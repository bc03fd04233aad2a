import re
import signal

import pytest

from conftest import run_child

# A foreign object under the registry's capsule name is an internal
# inconsistency no caller input can cause: the process must end with a
# report instead of reading through a bad pointer.
BROKEN_REGISTRY = """
import importlib, numpy as np
major = int(np.__version__.split('.')[0])
m = importlib.import_module('numpy._core.multiarray' if major >= 2 else 'numpy.core.multiarray')
m._RUST_NUMPY_BORROW_CHECKING_API = {payload}
import batchaugmentor
try:
    batchaugmentor.batch_calculate_luminance([np.zeros((1, 1, 3), np.uint8)])
finally:
    print('cleanup ran')
"""

ZERO_VERSION_CAPSULE = """ctypes.pythonapi.PyCapsule_New(
    ctypes.cast(ctypes.create_string_buffer(48), ctypes.c_void_p),
    b'_RUST_NUMPY_BORROW_CHECKING_API', None)"""


def run_with_broken_registry(payload, **env):
    setup = "import ctypes\nctypes.pythonapi.PyCapsule_New.restype = ctypes.py_object\n"
    code = setup + BROKEN_REGISTRY.format(payload=payload)
    return run_child(code, env=env, timeout=60)


@pytest.mark.parametrize("payload", ["object()", ZERO_VERSION_CAPSULE])
def test_fault_ends_process_with_report(payload):
    out = run_with_broken_registry(payload, BATCHAUGMENTOR_BACKTRACE="0")
    assert out.returncode == -signal.SIGABRT
    assert "cleanup ran" not in out.stdout  # nothing unwound, no finally block
    lines = [l for l in out.stderr.splitlines() if l]
    assert re.fullmatch(r"thread '<unnamed>' panicked at \S+borrows\.cpp:\d+:\d+:", lines[0])
    assert lines[1] == "Interal borrow checking API error"
    assert lines[2].startswith("note: run with `BATCHAUGMENTOR_BACKTRACE=1`")
    assert "Traceback" not in out.stderr


def test_backtrace_switch():
    out = run_with_broken_registry("object()", BATCHAUGMENTOR_BACKTRACE="1")
    assert out.returncode == -signal.SIGABRT
    assert "stack backtrace:" in out.stderr
    assert "note: run with" not in out.stderr
