#include "state.hpp"

#include <climits>

namespace kovalt::trevik {

State state;
Names names;

namespace {

PyObject* module_namespace = nullptr;  // strong; lives as long as the process

// An object that should be an ndarray after a numpy call: None passes as well.
bool require_ndarray(PyObject* value) {
    if (value == Py_None || PyArray_Check(value)) return true;
    PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(value)->tp_name,
                 PyArray_Type.tp_name);
    return false;
}

}  // namespace

void set_namespace(PyObject* module_dict) {
    Py_INCREF(module_dict);
    Py_XSETREF(module_namespace, module_dict);
}

PyObject* lookup_global(PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(module_namespace, name);
    if (!value && !PyErr_Occurred()) {
        PyObject* builtins = PyEval_GetBuiltins();
        value = builtins ? PyDict_GetItemWithError(builtins, name) : nullptr;
        if (!value && !PyErr_Occurred()) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        }
    }
    Py_XINCREF(value);
    return value;
}

void replace(PyArrayObject*& slot, PyObject* value) {
    PyObject* previous = reinterpret_cast<PyObject*>(slot);
    slot = reinterpret_cast<PyArrayObject*>(value);
    Py_XDECREF(previous);  // last, since releasing may run arbitrary code
}

PyObject* numpy_zeros(PyObject* shape, PyObject* dtype) {
    PyObject* numpy = lookup_global(names.org_np);
    if (!numpy) return nullptr;
    PyObject* zeros = PyObject_GetAttrString(numpy, "zeros");
    Py_DECREF(numpy);
    if (!zeros) return nullptr;
    PyObject* args = PyTuple_Pack(1, shape);
    PyObject* kwargs = args ? Py_BuildValue("{sO}", "dtype", dtype) : nullptr;
    PyObject* array = kwargs ? PyObject_Call(zeros, args, kwargs) : nullptr;
    Py_XDECREF(kwargs);
    Py_XDECREF(args);
    Py_DECREF(zeros);
    if (array && !require_ndarray(array)) Py_CLEAR(array);
    return array;
}

bool to_int(PyObject* value, int& out) {
    PyObject* index = PyNumber_Index(value);
    if (!index) return false;
    int overflow = 0;
    const long long wide = PyLong_AsLongLongAndOverflow(index, &overflow);
    Py_DECREF(index);
    if (wide == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || wide < INT_MIN || wide > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    out = static_cast<int>(wide);
    return true;
}

}  // namespace kovalt::trevik
