import ctypes
import importlib

import numpy as np
import pytest

import batchaugmentor


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
