// Construction of a Report, its accessors, and the asset-type guard.
#include "report.hpp"

namespace kovalt::report {

namespace {

py::object last_label(const py::object& index) { return index.attr("__getitem__")(-1); }

// "crypto" when any column label contains "USDT" (case-sensitive), else "tw_stock".
const char* derive_asset_type(const py::object& position) {
    py::object found = position.attr("columns").attr("str").attr("find")("USDT");
    const bool none_found = found.attr("__eq__")(-1).attr("all")().cast<bool>();
    return none_found ? "tw_stock" : "crypto";
}

// The last date on which any weight changed; the first date when none ever did.
py::object derive_last_trading_date(const py::object& position) {
    py::object changed = position.attr("diff")().attr("abs")().attr("sum")(py::arg("axis") = 1);
    py::object trading = changed.attr("__ne__")(0);
    py::object index = position.attr("index");
    if (trading.attr("sum")().cast<long long>() != 0) {
        return last_label(changed.attr("__getitem__")(trading).attr("index"));
    }
    return index.attr("__getitem__")(0);
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
    self.attr("last_trading_date") = derive_last_trading_date(position);
    self.attr("next_trading_date") = a[6];
    self.attr("market_info") = a[7];
    return py::none();
}

}  // namespace

void add_construction(py::module_& module, py::object& cls) {
    (void)module;
    add_method(cls, "__init__",
               {{"self"}, {"creturn"}, {"position"}, {"fee_ratio"}, {"tax_ratio"}, {"trade_at"},
                {"next_trading_date"}, {"market_info"}},
               construct);
    add_method(cls, "get_trevik", {{"self"}}, [](const Arguments& a) { return a[0].attr("trevik"); });
    add_method(cls, "get_trades", {{"self"}}, [](const Arguments& a) { return a[0].attr("trades"); });
}

}  // namespace kovalt::report
