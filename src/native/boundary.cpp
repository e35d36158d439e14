#include "boundary.hpp"

#include <frameobject.h>

#include <string>
#include <string_view>

namespace kovalt::native {

namespace {

// Tracebacks show the source path from "src/" on, whatever folder the build ran in.
const char* project_relative(const char* path) {
    std::string_view view(path);
    const auto at = view.rfind("src/");
    return at == std::string_view::npos ? path : path + at;
}

}  // namespace

void add_traceback(const char* qualified_name, std::source_location where) {
    if (!PyErr_Occurred()) return;
    // The code and frame objects must be made with no error set; the error is put back after.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    const int line = static_cast<int>(where.line());
    PyCodeObject* code = PyCode_NewEmpty(project_relative(where.file_name()), qualified_name, line);
    PyObject* globals = code ? PyDict_New() : nullptr;
    PyFrameObject* frame = globals ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    PyErr_Clear();  // failing to decorate the traceback must not replace the real error
    PyErr_Restore(type, value, traceback);
    if (frame) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(globals);
    Py_XDECREF(code);
}

void report_unraisable(const char* qualified_name) {
    if (!PyErr_Occurred()) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback) PyException_SetTraceback(value, traceback);

    // Print first. PyErr_PrintEx would end the process on SystemExit, which an entry point that
    // returns normally must not do; that one is only displayed.
    if (PyErr_GivenExceptionMatches(type, PyExc_SystemExit)) {
        PyErr_Display(type, value, traceback);
    } else {
        // PyErr_PrintEx consumes its error, so hand it a second reference.
        Py_XINCREF(type);
        Py_XINCREF(value);
        Py_XINCREF(traceback);
        PyErr_Restore(type, value, traceback);
        PyErr_PrintEx(0);
    }

    // Made while no error is set: a failure here must not release the error being reported.
    PyObject* context = PyUnicode_FromString(qualified_name);
    if (!context) PyErr_Clear();  // out of memory for the text: report the error without one
    PyErr_Restore(type, value, traceback);
    PyErr_WriteUnraisable(context);
    Py_XDECREF(context);
}

void set_error_from_current_exception() {
    try {
        throw;
    } catch (py::error_already_set& error) {
        error.restore();
    } catch (const py::builtin_exception& error) {
        error.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

PyObject* init_module(PyModuleDef& def, void (*populate)(py::module_&)) noexcept {
    if (PyObject* existing = PyState_FindModule(&def)) {
        Py_INCREF(existing);
        return existing;
    }
    PyObject* raw = PyModule_Create(&def);
    if (!raw) return nullptr;
    try {
        auto module = py::reinterpret_steal<py::module_>(raw);
        py::dict loaded = py::module_::import("sys").attr("modules");
        if (!loaded.contains(def.m_name)) loaded[def.m_name] = module;
        if (PyState_AddModule(module.ptr(), &def) < 0) throw py::error_already_set();
        populate(module);
        return module.release().ptr();
    } catch (...) {
        set_error_from_current_exception();
    }
    // Leave no half-built module behind.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyState_RemoveModule(&def);
    PyObject* loaded = PySys_GetObject("modules");
    if (loaded && PyMapping_HasKeyString(loaded, def.m_name)) PyMapping_DelItemString(loaded, const_cast<char*>(def.m_name));
    PyErr_Clear();
    if (type) {
        PyErr_Restore(type, value, traceback);
    } else {
        PyErr_Format(PyExc_ImportError, "init %s", def.m_name);
    }
    add_traceback((std::string("init ") + def.m_name).c_str());
    return nullptr;
}

}  // namespace kovalt::native
