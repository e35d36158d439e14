#include "function.hpp"

#include <structmember.h>

#include <cstddef>
#include <memory>

#include "boundary.hpp"

namespace kovalt::native {

namespace {

struct FunctionObject {
    PyObject ob_base;    // PyObject_HEAD
    PyObject* name;      // str, never null while alive
    PyObject* qualname;  // str, never null while alive
    PyObject* module;
    PyObject* doc;
    PyObject* closure;  // tuple
    PyObject* dict;
    PyObject* weakrefs;
    FunctionBody* body;  // owned; freed only on deallocation, so a running call keeps it
};

FunctionObject* as_function(PyObject* self) {
    return reinterpret_cast<FunctionObject*>(self);
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* function = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(function->module);
    Py_VISIT(function->doc);
    Py_VISIT(function->closure);
    Py_VISIT(function->dict);
    return 0;
}

// Names are plain strings and cannot take part in a cycle, so they survive a clear.
int clear(PyObject* self) {
    FunctionObject* function = as_function(self);
    Py_CLEAR(function->module);
    Py_CLEAR(function->doc);
    Py_CLEAR(function->closure);
    Py_CLEAR(function->dict);
    return 0;
}

void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    FunctionObject* function = as_function(self);
    if (function->weakrefs) PyObject_ClearWeakRefs(self);
    clear(self);
    Py_CLEAR(function->name);
    Py_CLEAR(function->qualname);
    delete function->body;
    function->body = nullptr;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* call(PyObject* self, PyObject* args, PyObject* kwargs) {
    FunctionObject* function = as_function(self);
    if (!function->body) {
        PyErr_SetString(PyExc_TypeError, "this function object has no body");
        return nullptr;
    }
    try {
        // A cleared closure (only reachable from a finaliser) reads as empty.
        py::tuple closure =
            function->closure ? py::reinterpret_borrow<py::tuple>(function->closure) : py::tuple();
        auto positional = py::reinterpret_borrow<py::args>(args);
        py::kwargs keywords = kwargs ? py::reinterpret_borrow<py::kwargs>(kwargs) : py::kwargs();
        return (*function->body)(closure, positional, keywords).release().ptr();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

// Like a Python function: looked up on an instance it becomes a bound method.
PyObject* descr_get(PyObject* self, PyObject* instance, PyObject* /*owner*/) {
    if (!instance || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject* repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int set_text(PyObject** slot, PyObject* value, const char* attribute) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attribute);
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}

PyObject* get_name(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->name);
}
int set_name(PyObject* self, PyObject* value, void*) {
    return set_text(&as_function(self)->name, value, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->qualname);
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text(&as_function(self)->qualname, value, "__qualname__");
}

PyGetSetDef getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

template <class Slot>
void* slot(Slot* function) {
    return reinterpret_cast<void*>(function);
}

constexpr const char* kTypeName = "kovalt.native_function";

#ifdef Py_TPFLAGS_DISALLOW_INSTANTIATION
constexpr unsigned long kNoInstantiation = Py_TPFLAGS_DISALLOW_INSTANTIATION;
#else
// Python 3.9 (PyPy's included) has no such flag: a tp_new that refuses, with the flag's text.
constexpr unsigned long kNoInstantiation = 0;

// The full name given at type creation: PyPy's tp_name of a heap type drops the module part.
PyObject* refuse_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", kTypeName);
    return nullptr;
}
#endif

PyType_Slot type_slots[] = {
    {Py_tp_dealloc, slot(dealloc)}, {Py_tp_traverse, slot(traverse)},   {Py_tp_clear, slot(clear)},
    {Py_tp_call, slot(call)},       {Py_tp_descr_get, slot(descr_get)}, {Py_tp_repr, slot(repr)},
    {Py_tp_getset, getset},         {Py_tp_members, members},
#ifndef Py_TPFLAGS_DISALLOW_INSTANTIATION
    {Py_tp_new, slot(refuse_new)},
#endif
    {0, nullptr},
};

// METHOD_DESCRIPTOR: calling the function with the instance first equals calling the bound
// method, which lets the interpreter skip creating one. No instantiation from Python: an
// instance without a body is useless.
PyType_Spec type_spec = {
    kTypeName,
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR | kNoInstantiation,
    type_slots,
};

PyTypeObject* function_type() {
    static PyObject* type = nullptr;  // one per extension module, alive for the process
    if (!type) {
        type = PyType_FromSpec(&type_spec);
        if (!type) throw py::error_already_set();
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

py::object make_function(const FunctionNames& names, FunctionBody body, py::tuple closure,
                         py::object doc) {
    PyTypeObject* type = function_type();
    py::str name(names.name);
    py::str qualname(names.qualname);
    py::str module(names.module);
    auto owned_body = std::make_unique<FunctionBody>(std::move(body));
    PyObject* raw = type->tp_alloc(type, 0);
    if (!raw) throw py::error_already_set();
    FunctionObject* function = as_function(raw);
    function->name = name.release().ptr();
    function->qualname = qualname.release().ptr();
    function->module = module.release().ptr();
    function->doc = doc.release().ptr();
    function->closure = closure.release().ptr();
    function->body = owned_body.release();
    return py::reinterpret_steal<py::object>(raw);
}

}  // namespace kovalt::native
