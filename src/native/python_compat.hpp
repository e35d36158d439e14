// C-API functions kovalt uses that the interpreter's headers may lack: CPython 3.9 and PyPy's
// emulation layer (cpyext, Python 3.9) predate them. On newer CPython this header adds nothing.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030A0000
inline PyObject* Py_NewRef(PyObject* object) {
    Py_INCREF(object);
    return object;
}
inline PyObject* Py_XNewRef(PyObject* object) {
    Py_XINCREF(object);
    return object;
}
#endif
