// Construction of a Report, its accessors, and the asset-type guard.
#include <string>

#include "boundary.hpp"
#include "function.hpp"
#include "position_changes.hpp"
#include "report.hpp"

namespace kovalt::report {

namespace {

py::object last_label(const py::object& index) {
    return index.attr("__getitem__")(-1);
}

// "crypto" when any column label contains "USDT" (case-sensitive), else "tw_stock".
const char* derive_asset_type(const py::object& position) {
    py::object found = position.attr("columns").attr("str").attr("find")("USDT");
    const bool none_found = found.attr("__eq__")(-1).attr("all")().cast<bool>();
    return none_found ? "tw_stock" : "crypto";
}

py::object construct(const Arguments& a) {
    const py::object& self = a[0];
    const py::object& position = a[2];
    self.attr("creturn") = a[1];
    self.attr("position") = position;
    self.attr("benchmark") = py::none();
    self.attr("fee_ratio") = a[3];
    self.attr("tax_ratio") = a[4];
    self.attr("trade_at") = a[5];
    self.attr("update_date") = last_label(position.attr("index"));
    self.attr("asset_type") = derive_asset_type(position);
    self.attr("last_trading_date") = last_change_date(position);
    self.attr("next_trading_date") = a[6];
    self.attr("market_info") = a[7];
    return py::none();
}

constexpr const char* kModule = "kovalt.report";
constexpr const char* kGuardDoc =
    "Decorator to check if a method is in allow asset types\n"
    "\n"
    "    The decorator checks if report.method is valid according to the asset type of the "
    "position\n"
    "\n"
    "    Returns:\n"
    "        None\n"
    "    ";

py::object closure_item(const py::tuple& closure, std::size_t position) {
    if (position >= closure.size()) throw py::index_error("closure of the guard is incomplete");
    return closure[position];
}

// "Report.<method> for <asset type> is not implemented. Allowed asset type: <allowed>"
// The pieces are read one statement each: their order decides which error a caller sees when
// more than one of them fails.
py::str refusal_message(const py::object& function, const py::object& report,
                        const py::object& asset_types) {
    py::str method = py::str(function.attr("__name__"));
    py::str asset_type = py::str(report.attr("asset_type"));
    py::str allowed = py::str(asset_types);
    py::tuple pieces = py::make_tuple("Report.", method, " for ", asset_type,
                                      " is not implemented. Allowed asset type: ", allowed);
    return py::str("").attr("join")(pieces);
}

py::object guarded_call(const py::tuple& closure, const py::args& args, const py::kwargs& kwargs) {
    const py::object asset_types = closure_item(closure, 0);
    const py::object function = closure_item(closure, 1);
    if (args.empty()) throw py::index_error("tuple index out of range");
    const py::object report = args[0];
    const py::object asset_type = report.attr("asset_type");
    const int allowed = PySequence_Contains(asset_types.ptr(), asset_type.ptr());
    if (allowed < 0) throw py::error_already_set();
    if (!allowed) {
        PyErr_SetObject(PyExc_Exception, refusal_message(function, report, asset_types).ptr());
        throw py::error_already_set();
    }
    auto keywords = py::reinterpret_steal<py::dict>(PyDict_Copy(kwargs.ptr()));
    if (!keywords) throw py::error_already_set();
    PyObject* result = PyObject_Call(function.ptr(), args.ptr(), keywords.ptr());
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

py::object make_decorator(const py::tuple& closure, const py::args& args,
                          const py::kwargs& kwargs) {
    static const native::Signature signature("decorator", {{"function"}});
    const py::object function = signature.bind(args, kwargs)[0];
    auto body = [](const py::tuple& wrapped, const py::args& call_args,
                   const py::kwargs& call_kwargs) {
        return native::with_traceback(
            "kovalt.report.allow_asset_types.<locals>.decorator.<locals>.wrapper",
            [&] { return guarded_call(wrapped, call_args, call_kwargs); });
    };
    return native::make_function(
        {"wrapper", "allow_asset_types.<locals>.decorator.<locals>.wrapper", kModule}, body,
        py::make_tuple(closure_item(closure, 0), function));
}

py::object allow_asset_types(const py::tuple&, const py::args& args, const py::kwargs& kwargs) {
    static const native::Signature signature("allow_asset_types", {{"asset_types"}});
    const py::object asset_types = signature.bind(args, kwargs)[0];
    auto body = [](const py::tuple& closure, const py::args& call_args,
                   const py::kwargs& call_kwargs) {
        return native::with_traceback("kovalt.report.allow_asset_types.<locals>.decorator", [&] {
            return make_decorator(closure, call_args, call_kwargs);
        });
    };
    return native::make_function({"decorator", "allow_asset_types.<locals>.decorator", kModule},
                                 body, py::make_tuple(asset_types));
}

py::object make_guard_factory() {
    auto body = [](const py::tuple& closure, const py::args& args, const py::kwargs& kwargs) {
        return native::with_traceback("kovalt.report.allow_asset_types",
                                      [&] { return allow_asset_types(closure, args, kwargs); });
    };
    return native::make_function({"allow_asset_types", "allow_asset_types", kModule}, body,
                                 py::tuple(), py::str(kGuardDoc));
}

}  // namespace

void add_construction(py::module_& module, py::object& cls) {
    module.attr("allow_asset_types") = make_guard_factory();
    add_method(cls, "__init__",
               {{"self"},
                {"creturn"},
                {"position"},
                {"fee_ratio"},
                {"tax_ratio"},
                {"trade_at"},
                {"next_trading_date"},
                {"market_info"}},
               construct);
    add_method(cls, "get_trevik", {{"self"}},
               [](const Arguments& a) { return a[0].attr("trevik"); });
    add_method(cls, "get_trades", {{"self"}},
               [](const Arguments& a) { return a[0].attr("trades"); });
}

}  // namespace kovalt::report
