// Per-trade information columns taken from a table of values by date and stock, and n-day
// returns of a cumulative-return series.
//
// add_trade_info gives each trade the table's latest value for its stock on or before its date.
// The reference algorithm forward-fills the whole table to the trade dates and unstacks it into a
// (stock, date) series: time and memory grow with the table, not with the trades. The lookup path
// answers the common case (ascending datetime index, one numeric dtype, string column labels)
// with a binary search per trade and gives the same values and dtype; every other case runs the
// reference algorithm, so pandas' own results and errors stay. KOVALT_TRADE_INFO_PATH=literal
// forces the reference algorithm and =fast demands the lookup (RuntimeError when it cannot
// serve), for benchmarks and tests.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "numeric_block.hpp"
#include "python_compat.hpp"
#include "report.hpp"

namespace kovalt::report {

namespace {

constexpr std::int64_t kNaT = std::numeric_limits<std::int64_t>::min();

py::object builtin(const char* name) {
    return py::module_::import("builtins").attr(name);
}

// Each trade's stock id: its "stock_id" text up to the first space.
py::object stock_ids(const py::object& stock_column) {
    return stock_column.attr("str").attr("split")(" ").attr("str")[py::int_(0)];
}

// ---------------------------------------------------------------- reference algorithm

// pandas' forward fill on a descending index takes the row of the next *later* date, which would
// leak future values into a trade; read such a table bottom-up instead.
py::object in_ascending_order(const py::object& table) {
    py::object index = table.attr("index");
    if (index.attr("is_monotonic_increasing").cast<bool>() ||
        !index.attr("is_monotonic_decreasing").cast<bool>()) {
        return table;
    }
    return table.attr("iloc")[builtin("slice")(py::none(), py::none(), -1)];
}

// The (stock id, date) pairs of the trades, as the two-level index of the lookup.
py::object pair_index(const py::object& sids, const py::object& dates) {
    py::object pairs = builtin("list")(builtin("zip")(sids, dates));
    return global("pd").attr("Index")(py::arg("data") = pairs);
}

py::object values_by_reindexing(const py::object& df, const py::object& sids,
                                const py::object& dates) {
    py::object pd = global("pd");
    py::object np = global("np");
    py::object table = df.attr("copy")();
    table.attr("index") = table.attr("index").attr("tz_localize")(py::none());
    table = in_ascending_order(table);
    py::object missing = sids[sids.attr("isin")(df.attr("columns")).attr("__invert__")()];
    table[missing.attr("tolist")()] = np.attr("nan");

    auto distinct_dates = py::reinterpret_steal<py::object>(PySet_New(dates.ptr()));
    if (!distinct_dates) throw py::error_already_set();
    py::object filled = table.attr("reindex")(distinct_dates, py::arg("method") = "ffill");
    py::object dated = dates.attr("notna")().attr("to_numpy")();
    if (dated.attr("all")().cast<bool>()) {
        return filled.attr("unstack")().attr("loc")[pair_index(sids, dates)].attr("values");
    }
    // pandas cannot stack a NaT row label: look up the dated trades, the others get NaN.
    filled = filled[filled.attr("index").attr("notna")()];
    py::object looked =
        filled.attr("unstack")().attr("loc")[pair_index(sids[dated], dates[dated])].attr("values");
    py::object positions = np.attr("flatnonzero")(dated);
    return pd.attr("Series")(looked, py::arg("index") = positions)
        .attr("reindex")(pd.attr("RangeIndex")(py::len(dates)))
        .attr("values");
}

// ---------------------------------------------------------------- lookup path

struct Lookup {
    std::vector<std::int64_t> index;    // table dates, strictly increasing
    std::vector<std::int64_t> dates;    // trade dates in the same unit; kNaT when missing
    std::vector<std::int64_t> columns;  // column position per trade; -1 when absent
    py::array values;                   // the table's cells, rows x columns
};

std::vector<std::int64_t> int64_vector(const py::object& array_like) {
    auto array =
        py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(array_like);
    if (!array) throw py::error_already_set();
    return std::vector<std::int64_t>(array.data(), array.data() + array.size());
}

int unit_rank(const std::string& unit) {
    constexpr std::string_view kUnits[] = {"s", "ms", "us", "ns"};
    for (int rank = 0; rank < 4; ++rank) {
        if (unit == kUnits[rank]) return rank;
    }
    return -1;
}

std::string datetime_unit(const py::object& dtype) {
    return py::str(global("np").attr("datetime_data")(dtype)[py::int_(0)]);
}

bool is_supported_value_dtype(const py::dtype& dtype) {
    return is_numeric_cell_dtype(dtype, /*accept_bool=*/false);
}

// The table's single value dtype, or null when its columns differ or are not plain numbers.
py::object common_value_dtype(const py::object& df) {
    py::list dtypes = df.attr("dtypes").attr("tolist")();
    if (dtypes.empty() || !py::isinstance<py::dtype>(dtypes[0])) return py::object();
    py::object first = dtypes[0];
    for (py::handle dtype : dtypes) {
        if (!py::isinstance<py::dtype>(dtype) || first.not_equal(dtype)) return py::object();
    }
    if (!is_supported_value_dtype(first.cast<py::dtype>())) return py::object();
    return first;
}

// Dates of the table (without time zone) and of the trades as integers of one unit, the finer of
// the two; null when they cannot share one.
bool read_dates(const py::object& naive_index, const py::object& dates, Lookup& lookup) {
    const std::string index_unit = datetime_unit(naive_index.attr("dtype"));
    const std::string dates_unit = datetime_unit(dates.attr("dtype"));
    const int index_rank = unit_rank(index_unit);
    const int dates_rank = unit_rank(dates_unit);
    if (index_rank < 0 || dates_rank < 0) return false;
    const std::string& unit = index_rank >= dates_rank ? index_unit : dates_unit;
    try {
        lookup.index = int64_vector(naive_index.attr("as_unit")(unit).attr("asi8"));
        lookup.dates = int64_vector(
            dates.attr("dt").attr("as_unit")(unit).attr("to_numpy")().attr("view")("i8"));
    } catch (py::error_already_set& error) {
        if (!error.matches(global("pd").attr("errors").attr("OutOfBoundsDatetime"))) throw;
        return false;
    }
    return true;
}

bool strictly_increasing(const std::vector<std::int64_t>& values) {
    if (!values.empty() && values.front() == kNaT) return false;  // NaT sorts first
    return std::adjacent_find(values.begin(), values.end(), [](std::int64_t a, std::int64_t b) {
               return a >= b;
           }) == values.end();
}

// The text of each value up to its first space, as split(" ")[0] gives it; null when a value
// is not text (pandas makes those NaN, a case for the reference algorithm). pandas' own split
// builds a list per trade and dominates the cost of a lookup, hence this loop.
py::object first_words(const py::object& stock_column) {
    if (!py::isinstance(stock_column, global("pd").attr("Series"))) return py::object();
    py::array texts = stock_column.attr("to_numpy")(py::arg("dtype") = builtin("object"));
    if (texts.ndim() != 1 || texts.dtype().kind() != 'O') return py::object();
    const auto* base = static_cast<const char*>(texts.data());
    const py::ssize_t n = texts.shape(0);
    py::list words(n);
    for (py::ssize_t i = 0; i < n; ++i) {
        PyObject* text;
        std::memcpy(&text, base + i * texts.strides(0), sizeof text);
        if (!text || !PyUnicode_Check(text)) return py::object();
        const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
        const Py_ssize_t space = PyUnicode_FindChar(text, ' ', 0, length, 1);
        if (space == -2) throw py::error_already_set();
        PyObject* word = space < 0 ? Py_NewRef(text) : PyUnicode_Substring(text, 0, space);
        if (!word) throw py::error_already_set();
        PyList_SET_ITEM(words.ptr(), i, word);
    }
    return words;
}

// Fills `lookup` and returns null, or returns why the lookup path cannot serve these inputs.
// Raises nothing the reference algorithm would not raise first.
const char* prepare_lookup(const py::object& df, const py::object& stock_column,
                           const py::object& dates, Lookup& lookup) {
    py::object pd = global("pd");
    if (!py::isinstance(df, pd.attr("DataFrame"))) return "table is not a DataFrame";
    py::object index = df.attr("index");
    if (!py::isinstance(index, pd.attr("DatetimeIndex"))) return "index is not a DatetimeIndex";
    if (!py::isinstance(dates, pd.attr("Series"))) return "trade dates are not one column";
    py::object dates_dtype = dates.attr("dtype");
    if (!py::isinstance<py::dtype>(dates_dtype) || dates_dtype.cast<py::dtype>().kind() != 'M') {
        return "trade dates are not naive datetime64";
    }
    if (py::len(dates) == 0) return "no trades";
    py::object columns = df.attr("columns");
    if (!columns.attr("is_unique").cast<bool>() ||
        py::str(columns.attr("inferred_type")).cast<std::string>() != "string") {
        return "column labels are not unique strings";
    }
    py::object sids = first_words(stock_column);
    if (!sids) return "a stock id is not text";
    py::object value_dtype = common_value_dtype(df);
    if (!value_dtype) return "values are not of one plain numeric dtype";
    py::object naive_index = index.attr("tz_localize")(py::none());
    if (!read_dates(naive_index, dates, lookup)) return "dates do not share a unit";
    if (!strictly_increasing(lookup.index)) return "index is not strictly increasing";
    lookup.columns = int64_vector(columns.attr("get_indexer")(sids));
    lookup.values = df.attr("to_numpy")();
    const auto& values = lookup.values;
    if (lookup.columns.size() != lookup.dates.size() || values.ndim() != 2 || !value_dtype.equal(values.dtype()) ||
        values.shape(0) != static_cast<py::ssize_t>(lookup.index.size()) ||
        values.shape(1) != static_cast<py::ssize_t>(py::len(columns))) {
        return "table values do not match its axes";
    }
    return nullptr;
}

// Row of the latest table date on or before each trade date; -1 when there is none.
std::vector<std::int64_t> latest_rows(const Lookup& lookup) {
    std::vector<std::int64_t> rows(lookup.dates.size(), -1);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const std::int64_t date = lookup.dates[i];
        if (date == kNaT) continue;
        const auto after = std::upper_bound(lookup.index.begin(), lookup.index.end(), date);
        rows[i] = static_cast<std::int64_t>(after - lookup.index.begin()) - 1;
    }
    return rows;
}

template <class Cell, class Out>
py::array gather_as(const Lookup& lookup, const std::vector<std::int64_t>& rows) {
    const py::array& values = lookup.values;
    const auto* base = static_cast<const char*>(values.data());
    const py::ssize_t row_stride = values.strides(0);
    const py::ssize_t column_stride = values.strides(1);
    const auto n = static_cast<py::ssize_t>(rows.size());
    py::array_t<Out> out(n);
    Out* target = out.mutable_data();
    for (py::ssize_t i = 0; i < n; ++i) {
        const std::int64_t row = rows[i];
        const std::int64_t column = lookup.columns[i];
        if (row < 0 || column < 0) {
            if constexpr (std::is_floating_point_v<Out>) {
                target[i] = std::numeric_limits<Out>::quiet_NaN();
                continue;
            } else {
                throw std::logic_error("integer trade values cannot hold a missing value");
            }
        }
        if (row >= values.shape(0) || column >= values.shape(1)) {
            throw std::logic_error("trade lookup outside the table");
        }
        Cell cell;
        std::memcpy(&cell, base + row * row_stride + column * column_stride, sizeof(Cell));
        target[i] = static_cast<Out>(cell);
    }
    return out;
}

// pandas' dtype for the reference algorithm's result: a missing stock adds a float64 column to
// the table, a trade without an earlier row adds a NaN row, which an integer table cannot hold.
template <class Cell>
py::array gather(const Lookup& lookup) {
    const std::vector<std::int64_t> rows = latest_rows(lookup);
    const bool column_missing = std::any_of(lookup.columns.begin(), lookup.columns.end(),
                                            [](std::int64_t column) { return column < 0; });
    const bool row_missing =
        std::any_of(rows.begin(), rows.end(), [](std::int64_t row) { return row < 0; });
    bool keep_dtype;
    if constexpr (std::is_floating_point_v<Cell>) {
        keep_dtype = !column_missing;
    } else {
        keep_dtype = !column_missing && !row_missing;
    }
    if (keep_dtype) return gather_as<Cell, Cell>(lookup, rows);
    return gather_as<Cell, double>(lookup, rows);
}

py::array gather_values(const Lookup& lookup) {
    return visit_numeric_cell(lookup.values.dtype(),
                              [&]<class Cell>() { return gather<Cell>(lookup); });
}

// ---------------------------------------------------------------- methods


py::object trade_values(const py::object& df, const py::object& stock_column,
                        const py::object& dates) {
    const Route path = requested_route("KOVALT_TRADE_INFO_PATH");
    if (path != Route::literal) {
        Lookup lookup;
        const char* refusal = prepare_lookup(df, stock_column, dates, lookup);
        if (!refusal) return gather_values(lookup);
        if (path == Route::fast) {
            throw std::runtime_error(std::string("trade info lookup refused: ") + refusal);
        }
    }
    return values_by_reindexing(df, stock_ids(stock_column), dates);
}

py::object add_trade_info(const Arguments& a) {
    const py::object& self = a[0];
    const py::object& name = a[1];
    const py::object& date_col = a[3];
    py::object trades = self.attr("trades");
    py::object dates = trades[date_col];
    py::object values = trade_values(a[2], trades[py::str("stock_id")], dates);
    trades[name] = values;
    // Only where a date is missing: writing NaN through an empty mask would still turn an
    // integer column into floats and makes pandas reject a boolean one.
    py::object undated = trades[date_col].attr("isnull")();
    if (undated.attr("any")().cast<bool>()) {
        trades.attr("loc")[py::make_tuple(undated, name)] = global("np").attr("nan");
    }
    return py::none();
}

py::object remove_trade_info(const Arguments& a) {
    const py::object& self = a[0];
    py::object trades = self.attr("trades");
    py::list kept;
    for (py::handle column : trades.attr("columns")) {
        // != as a Python comprehension compares, without the identity shortcut
        if (python_compare(column, a[1], Py_NE)) kept.append(column);
    }
    self.attr("trades") = trades[kept];
    return py::none();
}

// Growth of the last value over the value n rows before it.
py::object get_ndays_return(const Arguments& a) {
    py::object iloc = a[0].attr("iloc");
    py::object last = iloc[py::int_(-1)];
    py::object reference = iloc[py::int_(-1) - a[1]];
    return last / reference - py::int_(1);
}

}  // namespace

void add_trade_analytics(py::object& cls) {
    add_static_method(cls, "get_ndays_return", {{"creturn"}, {"n"}}, get_ndays_return);
    add_method(cls, "add_trade_info",
               {{"self"}, {"name"}, {"df"}, {"date_col", py::str("entry_sig_date")}},
               add_trade_info);
    add_method(cls, "remove_trade_info", {{"self"}, {"name"}}, remove_trade_info);
}

}  // namespace kovalt::report
