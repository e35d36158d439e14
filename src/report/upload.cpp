// Report.upload: publishes a finished back-test to the strategy-storage service and shows the
// stored strategy's page in the notebook. Also holds the two service endpoints.
#include <array>
#include <string>

#include "report.hpp"

namespace kovalt::report {

namespace {

constexpr const char* kForcedNameVariable = "KOVALT_FORCED_STRATEGY_NAME";
constexpr const char* kUnnamed = "未命名";
constexpr const char* kDateFormat = "%Y-%m-%d";
constexpr double kRiskFreeRate = 0.02;
constexpr std::array kNdays = {1, 5, 10, 20, 60};

// Endpoint constants: module globals named like their environment overrides without "KOVALT_".
constexpr const char* kUploadUrlName = "UPLOAD_URL";
constexpr const char* kViewerUrlName = "VIEWER_URL";
constexpr const char* kDefaultUploadUrl = "https://functions.kovalt.app/write_database";
constexpr const char* kDefaultViewerUrl = "https://www.kovalt.app/strategy/?uid=";

constexpr const char* kParseFailure = "cannot parse json object";
constexpr const char* kTokenMask = "***";

bool truthy(const py::handle& value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result == 1;
}

// Python's `key in container`, with its TypeError for containers that are not iterable.
bool contains(const py::handle& container, const py::handle& key) {
    const int result = PySequence_Contains(container.ptr(), key.ptr());
    if (result < 0) throw py::error_already_set();
    return result == 1;
}

bool contains(const py::handle& container, const char* key) {
    return contains(container, py::str(key));
}

py::object builtin(const char* name) {
    return py::module_::import("builtins").attr(name);
}

py::object str_type() {
    return builtin("str");
}

py::object format_date(const py::object& date) {
    return date.attr("strftime")(kDateFormat);
}

// ---------------------------------------------------------------------------------------------
// Endpoints

bool is_loopback_host(const py::object& host) {
    if (host.is_none()) return false;
    if (host.equal(py::str("localhost"))) return true;
    try {
        return truthy(
            py::module_::import("ipaddress").attr("ip_address")(host).attr("is_loopback"));
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_ValueError)) throw;
        return false;
    }
}

// Blanks, control and non-ASCII characters and backslashes are where URL parsers disagree about
// where the host ends; refusing them keeps the host checked here the one the client connects to.
bool has_ambiguous_characters(const py::object& url) {
    return !truthy(url.attr("isascii")()) || !truthy(url.attr("isprintable")()) ||
           contains(url, " ") || contains(url, "\\");
}

// Plain http would carry the API token in clear text, so it is allowed only where the traffic
// never leaves the machine.
bool plain_http_allowed(const py::object& url, const py::object& parts) {
    if (has_ambiguous_characters(url)) return false;
    if (contains(parts.attr("netloc"), "@")) return false;
    return is_loopback_host(parts.attr("hostname"));
}

[[noreturn]] void refuse_endpoint(const char* setting, const py::object& detail) {
    py::str message = py::str(
                          "kovalt.report.{} must be an https URL (plain http only for a loopback "
                          "host: 127.0.0.0/8, ::1, localhost); {}")
                          .format(setting, detail);
    PyErr_SetObject(PyExc_ValueError, message.ptr());
    throw py::error_already_set();
}

py::object checked_endpoint(const char* setting) {
    py::object url = global(setting);
    if (!py::isinstance<py::str>(url)) refuse_endpoint(setting, py::str("it is not a string"));
    py::object parts = py::module_::import("urllib.parse").attr("urlsplit")(url);
    parts.attr("port");  // an invalid port raises ValueError here, before anything is sent
    py::object scheme = parts.attr("scheme");
    py::object host = parts.attr("hostname");
    if (scheme.equal(py::str("https")) && truthy(host)) return url;
    if (scheme.equal(py::str("http")) && plain_http_allowed(url, parts)) return url;
    refuse_endpoint(setting, py::str("got scheme {!r} with host {!r}").format(scheme, host));
}

struct Endpoints {
    py::object upload;
    py::object viewer;
};

Endpoints checked_endpoints() {
    return {checked_endpoint(kUploadUrlName), checked_endpoint(kViewerUrlName)};
}

py::object setting_from_environment(const py::object& environ, const char* variable,
                                    const char* fallback) {
    py::object value = environ.attr("get")(variable);
    return truthy(value) ? value : py::str(fallback);
}

// ---------------------------------------------------------------------------------------------
// Payload

py::object strategy_name(const py::object& name) {
    py::object forced = global("os").attr("environ").attr("get")(kForcedNameVariable, py::none());
    if (truthy(forced)) return forced;
    if (truthy(name)) return name;
    return py::str(kUnnamed);
}

py::object calendar_daily(const py::object& creturn) {
    // "1D" rather than the equivalent "1d", which pandas 3 deprecates.
    return creturn.attr("resample")("1D").attr("last")();
}

py::object statistics_of(const py::object& daily) {
    py::object stats = apply_ravnel("calc_stats", daily);
    stats.attr("set_riskfree_rate")(kRiskFreeRate);
    return stats;
}

py::object text_before_first_space(const py::object& column) {
    return column.attr("astype")(str_type())
        .attr("str")
        .attr("split")(" ")
        .attr("str")
        .attr("get")(0);
}

// The five longest drawdowns, shortest first, keyed by start date. The sort is stable so that
// equal lengths keep the table's own (chronological) order.
py::object longest_drawdowns(const py::object& stats) {
    py::object table = stats.attr("drawdown_details")
                           .attr("sort_values")("Length", py::arg("kind") = "stable")
                           .attr("tail")(5);
    table = table.attr("assign")(py::arg("Start") = text_before_first_space(table["Start"]),
                                 py::arg("End") = text_before_first_space(table["End"]));
    return table.attr("set_index")("Start").attr("to_dict")(py::arg("orient") = "index");
}

py::object summary(const py::object& stats) {
    py::object result = stats.attr("stats").attr("to_dict")();
    for (const char* key : {"start", "end"}) result[key] = format_date(result[key]);
    return result;
}

py::object daily_curve(const py::object& daily) {
    return apply_ravnel("rebase", daily.attr("ffill")().attr("dropna")());
}

py::dict returns_object(const py::object& curve) {
    py::dict result;
    result["time"] = curve.attr("index").attr("astype")(str_type()).attr("to_list")();
    result["value"] = curve.attr("values").attr("tolist")();
    return result;
}

// The benchmark on the curve's dates. It is rebased on its first valid value: a benchmark that
// starts after the strategy keeps its leading dates missing instead of turning every value into
// NaN through a missing divisor.
py::object aligned_benchmark(const py::object& market_info, const py::object& curve) {
    py::object index = curve.attr("index");
    py::object aligned = market_info.attr("get_benchmark")()
                             .attr("dropna")()
                             .attr("reindex")(index, py::arg("method") = "ffill")
                             .attr("ffill")();
    py::object valid = aligned.attr("dropna")();
    if (py::len(valid) != 0) aligned = apply_ravnel("rebase", valid).attr("reindex")(index);
    return aligned.attr("values").attr("tolist")();
}

py::dict ndays_returns(const py::object& self, const py::object& curve) {
    py::dict result;
    py::object get_ndays_return = self.attr("get_ndays_return");
    for (const int n : kNdays) result[py::int_(n)] = get_ndays_return(curve, n);
    return result;
}

// The dashboard is optional decoration: any failure, a missing plotting package included,
// leaves an empty fragment and the upload goes on.
py::object dashboard_html(const py::object& self, const py::object& trevik_charts) {
    try {
        py::object to_html = py::module_::import("plotly.io").attr("to_html");
        py::object figure =
            truthy(trevik_charts) ? self.attr("display_trevik_analysis")() : py::object(py::none());
        if (!truthy(figure)) return py::none();
        return to_html(figure, py::arg("full_html") = false, py::arg("include_plotlyjs") = "cdn");
    } catch (...) {
        return py::str("");
    }
}

struct Computed {
    py::object drawdowns, summary, returns, benchmark, ndays, return_table, dashboard;
};

Computed compute(const py::object& self, const py::object& trevik_charts) {
    Computed c;
    py::object daily = calendar_daily(self.attr("creturn"));
    py::object stats = statistics_of(daily);
    c.drawdowns = longest_drawdowns(stats);
    c.summary = summary(stats);
    py::object curve = daily_curve(daily);
    c.returns = returns_object(curve);
    c.benchmark = aligned_benchmark(self.attr("market_info"), curve);
    c.return_table = stats.attr("return_table").attr("transpose")().attr("to_dict")();
    c.ndays = ndays_returns(self, curve);
    c.dashboard = dashboard_html(self, trevik_charts);
    return c;
}

py::dict payload(const py::object& self, const Computed& c) {
    py::dict p;
    p["drawdown_details"] = c.drawdowns;
    p["stats"] = c.summary;
    p["returns"] = c.returns;
    p["benchmark"] = c.benchmark;
    p["ndays_return"] = c.ndays;
    p["return_table"] = c.return_table;
    p["fee_ratio"] = self.attr("fee_ratio");
    p["tax_ratio"] = self.attr("tax_ratio");
    py::object trade_at = self.attr("trade_at");
    p["trade_at"] = py::isinstance<py::str>(trade_at) ? trade_at : py::str("close");
    p["trevik_plotly_html"] = c.dashboard;
    p["update_date"] = format_date(self.attr("update_date"));
    p["last_trading_date"] = format_date(self.attr("last_trading_date"));
    p["next_trading_date"] = format_date(self.attr("next_trading_date"));
    p["position"] = self.attr("position_info")();
    for (const char* flag : {"public_performance", "public_code", "public_position"}) {
        p[flag] = false;
    }
    return p;
}

// ---------------------------------------------------------------------------------------------
// Transport

// A failed POST carries the form, token included, in its traceback's frame locals and in the
// prepared request that the client attaches to its exception; both are dropped before the
// exception goes on. Frame line information stays intact.
void drop_token_carriers(const py::error_already_set& error) {
    try {
        py::object clear_frames = py::module_::import("traceback").attr("clear_frames");
        if (error.trace()) clear_frames(error.trace());
        py::set seen;
        py::list pending;
        pending.append(error.value());
        while (py::len(pending) != 0) {
            py::object exception = pending.attr("pop")();
            if (exception.is_none() || seen.contains(exception)) continue;
            seen.add(exception);
            py::object traceback = exception.attr("__traceback__");
            if (!traceback.is_none()) clear_frames(traceback);
            for (const char* holder : {"request", "response"}) {
                if (py::hasattr(exception, holder) && !exception.attr(holder).is_none()) {
                    py::setattr(exception, holder, py::none());
                }
            }
            pending.append(exception.attr("__cause__"));
            pending.append(exception.attr("__context__"));
        }
    } catch (py::error_already_set&) {
        // Scrubbing is best effort; it must never replace the client's own error.
    }
}

py::object post_form(const py::object& url, const py::dict& form) {
    try {
        return global("requests").attr("post")(url, py::arg("data") = form).attr("text");
    } catch (py::error_already_set& error) {
        drop_token_carriers(error);
        throw;
    }
}

py::dict request_form(const py::dict& payload, const py::object& document_id) {
    py::dict form;
    form["data"] = global("json").attr("dumps")(payload);
    form["api_token"] = global("get_token")();  // only once the payload is encoded
    form["collection"] = "strategies";
    form["document_id"] = document_id;
    return form;
}

// ---------------------------------------------------------------------------------------------
// Reply

py::dict result(const char* status) {
    py::dict r;
    r["status"] = status;
    return r;
}

py::dict error_result(const py::object& message) {
    py::dict r = result("error");
    r["message"] = message;
    return r;
}

// A service that echoes the token back in its error text must not get it printed.
py::object without_token(const py::object& message, const py::object& token) {
    if (!py::isinstance<py::str>(token) || py::len(token) == 0) return message;
    py::str text(message);
    if (!contains(text, token)) return message;
    return text.attr("replace")(token, kTokenMask);
}

// Identifiers are percent-encoded so that a reply cannot add to or change the page's query;
// ordinary identifiers come out unchanged. Non-text values go in as they are and make the
// concatenation fail, as any non-text identifier must.
py::object url_component(const py::object& value) {
    if (!py::isinstance<py::str>(value)) return value;
    return py::module_::import("urllib.parse").attr("quote")(value, py::arg("safe") = "");
}

void show_strategy_page(const py::object& reply, const py::object& viewer) {
    py::object print = builtin("print");
    try {
        py::object ipython_display = py::module_::import("IPython.display");
        py::object iframe = ipython_display.attr("IFrame");
        py::object display = ipython_display.attr("display");
        // One step per statement: the reply is read in the URL's order, "uid" first.
        py::object url = viewer + url_component(reply["uid"]);
        url = url + py::str("&sid=");
        url = url + url_component(reply["strategy_id"]);
        display(iframe(url, py::arg("width") = "100%", py::arg("height") = 600));
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        print(error.value());
        print("Install ipython to show the complete backtest results.");
    }
}

py::dict handle_reply(const py::object& text, const py::object& viewer, const py::object& token) {
    if (contains(global("os").attr("environ"), kForcedNameVariable)) return result("success");
    py::object reply;
    try {
        reply = global("json").attr("loads")(text);
    } catch (py::error_already_set&) {
        return error_result(py::str(kParseFailure));
    }
    if (contains(reply, "status") && py::object(reply["status"]).equal(py::str("error"))) {
        py::object print = builtin("print");
        print("Fail to upload result to server");
        py::object message = without_token(reply["message"], token);
        print("error message", message);
        return error_result(message);
    }
    show_strategy_page(reply, viewer);
    return result("success");
}

py::object upload(const Arguments& a) {
    const py::object& self = a[0];
    const Endpoints endpoints = checked_endpoints();
    py::object document_id = strategy_name(a[1]);
    const Computed computed = compute(self, a[2]);
    py::dict form = request_form(payload(self, computed), document_id);
    py::object text = post_form(endpoints.upload, form);
    return handle_reply(text, endpoints.viewer, form["api_token"]);
}

}  // namespace

void add_upload(py::object& cls) {
    add_method(cls, "upload", {{"self"}, {"name", py::none()}, {"trevik_charts", py::bool_(false)}},
               upload);
}

void add_upload_endpoints(py::module_& module) {
    py::object environ = module.attr("os").attr("environ");
    module.attr(kUploadUrlName) =
        setting_from_environment(environ, "KOVALT_UPLOAD_URL", kDefaultUploadUrl);
    module.attr(kViewerUrlName) =
        setting_from_environment(environ, "KOVALT_VIEWER_URL", kDefaultViewerUrl);
}

}  // namespace kovalt::report
