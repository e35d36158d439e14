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
