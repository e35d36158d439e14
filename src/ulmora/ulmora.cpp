// kovalt.ulmora: byte utilities.
#include "boundary.hpp"

namespace {

namespace py = pybind11;
using kovalt::native::add_traceback;

constexpr const char* kQualifiedName = "kovalt.ulmora.str_to_bytearray";

bool reject_non_text(PyObject* text) {
    if (text == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' is not iterable");
        return true;
    }
    if (!PyUnicode_CheckExact(text)) {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     "text", PyUnicode_Type.tp_name, Py_TYPE(text)->tp_name);
        return true;
    }
    return false;
}

// Before 3.12 a text built through the legacy wide-character API has no canonical form until it
// is made ready; its length and kind would read as empty.
bool make_ready(PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(text) == 0;
#else
    (void)text;
    return true;
#endif
}

// One byte per character: the low eight bits of its code point.
PyObject* str_to_bytearray(PyObject* /*module*/, PyObject* text) {
    if (reject_non_text(text) || !make_ready(text)) {
        add_traceback(kQualifiedName);
        return nullptr;
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    PyObject* bytes = PyByteArray_FromStringAndSize(nullptr, length);
    if (!bytes) {
        add_traceback(kQualifiedName);
        return nullptr;
    }
    char* out = PyByteArray_AS_STRING(bytes);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0; i < length; ++i) {
        out[i] = static_cast<char>(static_cast<unsigned char>(PyUnicode_READ(kind, data, i) & 0xFFu));
    }
    return bytes;
}

// METH_O gives the builtin's own refusals: "takes exactly one argument (N given)" and
// "takes no keyword arguments".
PyMethodDef methods[] = {
    {"str_to_bytearray", str_to_bytearray, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "kovalt.ulmora", nullptr, -1, methods,
                          nullptr, nullptr, nullptr, nullptr};

void populate(py::module_& module) { module.attr("__test__") = py::dict(); }

}  // namespace

extern "C" PYBIND11_EXPORT PyObject* PyInit_ulmora() {
    return kovalt::native::init_module(module_def, populate);
}
