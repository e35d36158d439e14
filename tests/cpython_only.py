"""Skip markers for tests that need a facility only CPython has.

PyPy runs C extensions through an emulation layer: ctypes cannot reach the interpreter's C API
there (no ctypes.pythonapi, no PyObject* results), and its moving garbage collector has no exact
reference counts or allocated-block figures.
"""

import ctypes
import platform

import pytest

ON_PYPY = platform.python_implementation() == "PyPy"

pythonapi = getattr(ctypes, "pythonapi", None)

needs_pythonapi = pytest.mark.skipif(
    pythonapi is None,
    reason="calls the interpreter's C API through ctypes.pythonapi, which only CPython has",
)

REFCOUNT_REASON = ("exact reference counts and allocated-block figures are CPython's; "
                   "PyPy's garbage collector has neither")
