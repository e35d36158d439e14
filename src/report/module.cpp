// kovalt.report: the Report of a back-test.
#include <array>

#include "boundary.hpp"
#include "function.hpp"
#include "report.hpp"

namespace kovalt::report {

namespace {

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "kovalt.report", nullptr, -1, nullptr,
                          nullptr, nullptr, nullptr, nullptr};

// Order of the class body; areas bind their methods in area order, the class shows this one.
constexpr std::array kClassBodyOrder = {
    "__init__",     "display",        "create_performance_figure", "upload",
    "position_info", "get_ndays_return", "add_trade_info",         "remove_trade_info",
    "get_trevik",   "get_trades",     "display_trevik_analysis",
};

void import_globals(py::module_& module) {
    auto warnings = py::module_::import("warnings");
    module.attr("warnings") = warnings;
    warnings.attr("simplefilter")(py::arg("action") = "ignore",
                                  py::arg("category") = py::handle(PyExc_FutureWarning));
    module.attr("pd") = py::module_::import("pandas");
    module.attr("np") = py::module_::import("numpy");
    for (const char* name : {"math", "json", "os"}) module.attr(name) = py::module_::import(name);
    module.attr("ravnel") = py::module_::import("kovalt.ravnel");
    module.attr("get_token") = py::module_::import("kovalt").attr("get_token");
    auto utils = py::module_::import("kovalt.utils");
    module.attr("logger") = utils.attr("logger");
    module.attr("requests") = utils.attr("requests");
}

py::object create_report_class() {
    py::dict namespace_;
    namespace_["__module__"] = "kovalt.report";
    namespace_["__qualname__"] = "Report";
    auto type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    return type("Report", py::make_tuple(py::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type))),
                namespace_);
}

// Re-inserting each method moves it to the end of the class dict, leaving class-body order.
void order_class_body(py::object& cls) {
    for (const char* name : kClassBodyOrder) {
        py::dict members = cls.attr("__dict__");
        if (!members.contains(name)) continue;
        py::object member = members[name];
        py::delattr(cls, name);
        py::setattr(cls, name, member);
    }
}

void populate(py::module_& module) {
    import_globals(module);
    py::object cls = create_report_class();
    add_construction(module, cls);
    add_presentation(cls);
    add_trade_analytics(cls);
    add_position_report(cls);
    add_dashboard(cls);
    add_upload(cls);
    order_class_body(cls);
    module.attr("Report") = cls;
    add_upload_endpoints(module);
}

}  // namespace

py::object global(const char* name) {
    static PyObject* globals = nullptr;  // borrowed: the module lives as long as the process
    if (!globals) {
        PyObject* module = PyState_FindModule(&module_def);
        if (!module) throw py::import_error("kovalt.report is not initialised");
        globals = PyModule_GetDict(module);
    }
    PyObject* value = PyDict_GetItemString(globals, name);
    if (!value) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(value);
}

namespace {

void bind(py::object& cls, const char* name, std::vector<Parameter> parameters, MethodBody body,
          bool is_static) {
    const std::string qualified = std::string("kovalt.report.Report.") + name;
    auto signature = std::make_shared<native::Signature>(name, std::move(parameters));
    auto call = [signature, qualified, body = std::move(body)](
                    const py::tuple&, const py::args& args, const py::kwargs& kwargs) {
        return native::with_traceback(qualified.c_str(),
                                      [&] { return body(signature->bind(args, kwargs)); });
    };
    py::object method = native::make_function(
        {name, std::string("Report.") + name, "kovalt.report"}, std::move(call));
    py::setattr(cls, name, is_static ? py::staticmethod(method) : method);
}

}  // namespace

void add_method(py::object& cls, const char* name, std::vector<Parameter> parameters,
                MethodBody body) {
    bind(cls, name, std::move(parameters), std::move(body), false);
}

void add_static_method(py::object& cls, const char* name, std::vector<Parameter> parameters,
                       MethodBody body) {
    bind(cls, name, std::move(parameters), std::move(body), true);
}

}  // namespace kovalt::report

extern "C" PYBIND11_EXPORT PyObject* PyInit_report() {
    return kovalt::native::init_module(kovalt::report::module_def, kovalt::report::populate);
}
