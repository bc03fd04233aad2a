import ctypes
import importlib
import json
import os
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import numpy as np
import pytest

import batchaugmentor

TESTS = Path(__file__).resolve().parent

# Sanitizer builds run the tests with their runtime preloaded.
SANITIZED = "san" in os.environ.get("LD_PRELOAD", "")


def multiarray_module():
    major = int(np.__version__.split(".")[0])
    return importlib.import_module("numpy._core.multiarray" if major >= 2 else "numpy.core.multiarray")


class SharedBorrowApi(ctypes.Structure):
    _fields_ = [
        ("version", ctypes.c_uint64),
        ("flags", ctypes.c_void_p),
        ("acquire", ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)),
        ("acquire_mut", ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)),
        ("release", ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)),
        ("release_mut", ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)),
    ]


class BorrowRegistry:
    """The shared borrow registry, driven the way another extension would."""

    NAME = b"_RUST_NUMPY_BORROW_CHECKING_API"

    def __init__(self):
        # Any array argument makes the module find (or create) the capsule.
        batchaugmentor.batch_calculate_luminance([np.zeros((1, 1, 1), np.uint8)])
        self.capsule = getattr(multiarray_module(), self.NAME.decode())
        get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
        get_pointer.restype = ctypes.c_void_p
        get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
        self.api = SharedBorrowApi.from_address(get_pointer(self.capsule, self.NAME))

    def acquire(self, a):
        return self.api.acquire(self.api.flags, a)

    def acquire_mut(self, a):
        return self.api.acquire_mut(self.api.flags, a)

    def release(self, a):
        self.api.release(self.api.flags, a)

    def release_mut(self, a):
        self.api.release_mut(self.api.flags, a)

    def is_free(self, a):
        """True when nobody holds any borrow overlapping `a`."""
        if self.acquire_mut(a) != 0:
            return False
        self.release_mut(a)
        return True


@pytest.fixture(scope="session")
def registry():
    return BorrowRegistry()


def rgb(h, w, seed=0):
    return np.random.default_rng(seed).integers(0, 256, (h, w, 3), dtype=np.uint8)


# ------------------------------------------------------------ child processes
#
# Cases that could end or hang the interpreter, that change process-wide
# state (limits, signals, the worker pool's size) or that need a fresh import
# run in a child interpreter, so a regression fails one test, not the run.


def child_env(env=None):
    """This process's environment for a child, with `env` applied on top: a
    value of None removes that variable. The tests' folder comes first on
    PYTHONPATH, so a child can `from conftest import BorrowRegistry`."""
    full = dict(os.environ)
    full["PYTHONPATH"] = os.pathsep.join(filter(None, [str(TESTS), os.environ.get("PYTHONPATH")]))
    for name, value in (env or {}).items():
        if value is None:
            full.pop(name, None)
        else:
            full[name] = str(value)
    return full


def child_command(code, *args):
    """The command line that runs `code` (source text, dedented, or the Path
    of a script) in a fresh interpreter, with `args` as its sys.argv[1:]."""
    if isinstance(code, Path):
        program = [str(code)]
    else:
        program = ["-c", textwrap.dedent(code)]
    return [sys.executable, *program, *map(str, args)]


def run_child(code, *args, env=None, timeout=120, check=False, text=True):
    """Runs `code` (see child_command) in a fresh interpreter to its end and
    returns the CompletedProcess, its output captured (str, or bytes when
    `text` is false). `env` as in child_env. With `check`, the child must
    have exited with status 0."""
    done = subprocess.run(child_command(code, *args), env=child_env(env),
                          capture_output=True, text=text, timeout=timeout)
    if check:
        stderr = done.stderr if text else done.stderr.decode(errors="replace")
        assert done.returncode == 0, stderr[-4000:]
    return done


def last_json(stdout):
    """The value a child printed as JSON on the last line of its `stdout`."""
    return json.loads(stdout.strip().splitlines()[-1])


def interrupt_child(command, after):
    """Runs `command`, which prints "ready" before its long call; sends it
    SIGINT `after` seconds later. The time it was sent and the child's
    output, once it exited cleanly."""
    child = subprocess.Popen(command, env=child_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(after)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=300)
    finally:
        if child.poll() is None:
            child.kill()
    assert child.returncode == 0, err[-3000:]
    return sent, out
