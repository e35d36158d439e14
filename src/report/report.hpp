// Shared declarations of kovalt.report: how methods reach the module's globals and how they are
// bound on the Report class, and the one add_<area> function of each area file.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <vector>

#include "signature.hpp"

namespace kovalt::report {

namespace py = pybind11;
using native::Parameter;

// The module's global `name`, looked up when called so that rebinding it (say kovalt.report.pd)
// takes effect; NameError "name '...' is not defined" when it is missing.
py::object global(const char* name);

// kovalt.ravnel's function `name` (rebase, to_drawdown_series, calc_stats) applied to `obj`. The
// report calls the module's functions rather than the pandas methods of those names, which
// another library may have installed before kovalt was imported.
inline py::object apply_ravnel(const char* name, const py::object& obj) {
    return global("ravnel").attr(name)(obj);
}

// `left <op> right` as Python evaluates it (op one of Py_EQ, Py_NE, ...), then its truth. Unlike
// pybind11's equal(), no identity shortcut: the operands' own comparison always runs.
inline bool python_compare(py::handle left, py::handle right, int op) {
    auto result =
        py::reinterpret_steal<py::object>(PyObject_RichCompare(left.ptr(), right.ptr(), op));
    if (!result) throw py::error_already_set();
    const int truth = PyObject_IsTrue(result.ptr());
    if (truth < 0) throw py::error_already_set();
    return truth != 0;
}

// A method body receives one object per parameter, in declaration order (`self` first for
// instance methods), defaults already filled in.
using Arguments = std::vector<py::object>;
using MethodBody = std::function<py::object(const Arguments&)>;

// Binds `body` on `cls` under `name` with Python's argument rules for `parameters`. Any failure
// leaves with a traceback entry "kovalt.report.Report.<name>".
void add_method(py::object& cls, const char* name, std::vector<Parameter> parameters,
                MethodBody body);
void add_static_method(py::object& cls, const char* name, std::vector<Parameter> parameters,
                       MethodBody body);

// Areas, in the order the module binds them.
void add_construction(py::module_& module, py::object& cls);  // __init__, accessors, the guard
void add_presentation(py::object& cls);                       // display, create_performance_figure
void add_trade_analytics(py::object& cls);                    // trade info columns, n-day returns
void add_position_report(py::object& cls);                    // position_info
void add_dashboard(py::object& cls);                          // display_trevik_analysis
void add_upload(py::object& cls);                             // upload

// Module constants bound after `Report`, so the listed module names keep their order.
void add_upload_endpoints(py::module_& module);  // UPLOAD_URL, VIEWER_URL

}  // namespace kovalt::report
