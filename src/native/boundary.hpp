// What every kovalt extension module does where C++ meets the interpreter: traceback entries that
// name the failing function, reports of errors that a void entry point must swallow, and
// single-phase module initialisation.
#pragma once

#include <pybind11/pybind11.h>

#include "python_compat.hpp"

#include <new>
#include <source_location>
#include <utility>

namespace kovalt::native {

namespace py = pybind11;

// Appends a frame called `qualified_name` (e.g. "kovalt.ulmora.str_to_bytearray") to the traceback
// of the Python error in flight. Does nothing when no error is set.
void add_traceback(const char* qualified_name,
                   std::source_location where = std::source_location::current());

// For entry points that must not raise: prints the error in flight with its full traceback, then
// hands it to sys.unraisablehook with `qualified_name` as context. The error is cleared afterwards.
void report_unraisable(const char* qualified_name);

// Makes the C++ exception being handled the Python error in flight (pybind11's translation).
void set_error_from_current_exception();

// Runs `body`; whatever escapes it leaves with a traceback entry for `qualified_name`, as
// py::error_already_set so that pybind11 passes the Python error on unchanged.
template <class Body>
decltype(auto) with_traceback(const char* qualified_name, Body&& body,
                              std::source_location where = std::source_location::current()) {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        set_error_from_current_exception();
        add_traceback(qualified_name, where);
        throw py::error_already_set();
    }
}

// Body of a PyInit_<name> function for a single-phase module. A second call returns the module
// created by the first. Otherwise the module is created from `def`, entered in sys.modules and
// handed to `populate`; if that fails, no module is left behind and the error is raised, as
// ImportError "init <m_name>" when nothing more telling was set.
PyObject* init_module(PyModuleDef& def, void (*populate)(py::module_&)) noexcept;

}  // namespace kovalt::native
