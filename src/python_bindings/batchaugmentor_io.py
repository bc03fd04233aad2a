"""batchaugmentor_io: decode JPEG, PNG and WebP batches into NumPy arrays.

The module's functions live in the same shared library as batchaugmentor
(its second PyInit_ entry point), so both modules share one worker pool and
its fork handling. This file only loads that entry point from
batchaugmentor's file and puts the extension module in its own place.
"""

import importlib.machinery
import importlib.util
import sys

import batchaugmentor as _batchaugmentor

_loader = importlib.machinery.ExtensionFileLoader(__name__, _batchaugmentor.__file__)
_spec = importlib.util.spec_from_file_location(__name__, _batchaugmentor.__file__, loader=_loader)
_module = importlib.util.module_from_spec(_spec)
_loader.exec_module(_module)
sys.modules[__name__] = _module
