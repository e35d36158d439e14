#include "analysis.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <limits>

#include "boundary.hpp"
#include "excursion.hpp"
#include "ref.hpp"
#include "state.hpp"

namespace kovalt::trevik {

namespace {

constexpr const char* kQualifiedName = "kovalt.trevik.trevik_analysis";
constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();

// Day arithmetic of the engine is 32-bit and wraps around.
int wrapping_add(int a, int b) {
    return static_cast<int>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}
int wrapping_sub(int a, int b) {
    return static_cast<int>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}

// Comparisons that treat a negative count as larger than any length.
std::uint64_t as_unsigned(std::int64_t value) {
    return static_cast<std::uint64_t>(value);
}

std::int64_t floor_divide(std::int64_t a, std::int64_t b) {
    const std::int64_t quotient = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? quotient - 1 : quotient;
}

bool zero_division() {
    PyErr_SetString(PyExc_ZeroDivisionError, "float division");
    return false;
}

// An error held back while later steps decide whether an earlier-stated error wins.
class PendingError {
  public:
    PendingError() = default;
    ~PendingError() { discard(); }
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;

    void take() { PyErr_Fetch(&type_, &value_, &traceback_); }
    explicit operator bool() const { return type_ != nullptr; }
    void raise() {
        PyErr_Restore(type_, value_, traceback_);
        type_ = value_ = traceback_ = nullptr;
    }
    void discard() {
        Py_CLEAR(type_);
        Py_CLEAR(value_);
        Py_CLEAR(traceback_);
    }

  private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

bool index_in_range(std::int64_t index, npy_intp size) {
    return index >= -size && index < size;
}

// A float64 matrix in native byte order that numpy's own item access would read as plain
// doubles, so reading its buffer gives the same values.
bool is_plain_matrix(PyObject* matrix) {
    if (!PyArray_CheckExact(matrix)) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(matrix);
    return PyArray_NDIM(array) == 2 && PyArray_TYPE(array) == NPY_DOUBLE &&
           PyArray_ISNOTSWAPPED(array);
}

// Number of rows: the first element of the matrix's shape, as a C int.
bool count_rows(PyObject* matrix, int& rows) {
    if (PyArray_CheckExact(matrix) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(matrix)) > 0) {
        const npy_intp count = PyArray_DIM(reinterpret_cast<PyArrayObject*>(matrix), 0);
        if (count > INT_MAX) {
            PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
            return false;
        }
        rows = static_cast<int>(count);
        return true;
    }
    const Ref shape(PyObject_GetAttrString(matrix, "shape"));
    const Ref zero(shape ? PyLong_FromLong(0) : nullptr);
    const Ref first(zero ? PyObject_GetItem(shape.get(), zero.get()) : nullptr);
    return first && to_int(first.get(), rows);
}

// The series indices at which the walk stops to copy its running values: the window samples,
// groups of six at indices 0, step, 2 step, ... below `bound` written one after the other from the
// start of the record, and the exit group.
class Stops {
  public:
    // No record (it could not be made): only the exit group.
    Stops(std::uint64_t exit_index, double* exit_group)
        : exit_index_(exit_index), exit_group_(exit_group) {}
    Stops(double* record, npy_intp size, std::int64_t step, std::uint64_t bound,
          std::uint64_t exit_index, double* exit_group)
        : record_(record),
          size_(size),
          step_(step),
          bound_(bound),
          next_sample_(bound > 0 ? 0 : kNever),
          exit_index_(exit_index),
          exit_group_(exit_group) {}

    std::uint64_t next() const { return std::min(next_sample_, exit_index_); }

    void take(std::uint64_t index, const Excursion& excursion) {
        if (index == next_sample_) take_sample(index, excursion);
        if (index == exit_index_) {
            excursion.write(exit_group_);
            exit_index_ = kNever;
        }
    }

    // A sample was due beyond the end of the record.
    bool overflowed() const { return overflowed_; }

  private:
    void take_sample(std::uint64_t index, const Excursion& excursion) {
        if (written_ + kGroupSize > size_) {
            overflowed_ = true;
            next_sample_ = kNever;
            return;
        }
        excursion.write(record_ + written_);
        written_ += kGroupSize;
        const std::uint64_t following = as_unsigned(static_cast<std::int64_t>(index) + step_);
        next_sample_ = following < bound_ ? following : kNever;
    }

    double* record_ = nullptr;
    npy_intp size_ = 0;
    npy_intp written_ = 0;
    std::int64_t step_ = 0;
    std::uint64_t bound_ = 0;
    std::uint64_t next_sample_ = kNever;
    std::uint64_t exit_index_;
    double* exit_group_;
    bool overflowed_ = false;
};

// Rows fetched ahead of a column walk, enough to cover the latency of a cache miss: each day is
// another cache line, often another page, which the hardware prefetchers do not follow.
constexpr std::int64_t kRowsAhead = 32;

// The day loop over a column of a plain matrix: `count` days from `first` on, the first of them
// series index `index` + 1, prefetching while rows remain within the `ahead` rows from `first`.
// Out of line so that the loop gets the registers to itself. Returns the days added (fewer than
// `count` after a zero base price).
[[gnu::noinline]] std::int64_t advance_column(Excursion& excursion, const char* first,
                                              npy_intp row_stride, std::int64_t count,
                                              std::int64_t ahead, std::uint64_t index,
                                              Stops& stops) {
    const auto price_at = [=](std::int64_t day) {
        if (day + kRowsAhead < ahead) {
            // Into the L2 cache, which can have more misses in flight than the L1 cache.
            __builtin_prefetch(first + (day + kRowsAhead) * row_stride, 0, 2);
        }
        double price;
        std::memcpy(&price, first + day * row_stride, sizeof price);  // need not be aligned
        return price;
    };
    return excursion.advance(count, price_at, index, stops);
}

// One column of a plain matrix, read from its buffer with its strides. Every day handed in lies
// within the matrix (negative days count from the end).
class ColumnReader {
  public:
    ColumnReader(PyArrayObject* matrix, std::int64_t column)
        : rows_(PyArray_DIM(matrix, 0)),
          row_stride_(PyArray_STRIDE(matrix, 0)),
          column_(PyArray_BYTES(matrix) +
                  row_of(column, PyArray_DIM(matrix, 1)) * PyArray_STRIDE(matrix, 1)) {}

    bool read(std::int64_t day, double& price) const {
        std::memcpy(&price, address(row_of(day, rows_)), sizeof price);
        return true;
    }

    // Adds the days first_day .. first_day + count - 1, series indices index + 1 on.
    bool advance(Excursion& excursion, std::int64_t first_day, std::int64_t count,
                 std::uint64_t index, Stops& stops) const {
        // Days before 0 count from the end of the matrix: one run up to the last row, one on
        // from row 0.
        const std::int64_t from_end = std::clamp<std::int64_t>(-first_day, 0, count);
        if (from_end > 0 && !advance_rows(excursion, first_day + rows_, from_end, index, stops)) {
            return false;
        }
        return from_end == count || advance_rows(excursion, first_day + from_end, count - from_end,
                                                 index + from_end, stops);
    }

  private:
    static npy_intp row_of(std::int64_t index, npy_intp size) {
        return static_cast<npy_intp>(index < 0 ? index + size : index);
    }

    const char* address(npy_intp row) const { return column_ + row * row_stride_; }

    bool advance_rows(Excursion& excursion, std::int64_t first_row, std::int64_t count,
                      std::uint64_t index, Stops& stops) const {
        const auto row = static_cast<npy_intp>(first_row);
        return advance_column(excursion, address(row), row_stride_, count, rows_ - row, index,
                              stops) == count ||
               zero_division();
    }

    npy_intp rows_;
    npy_intp row_stride_;
    const char* column_;
};

// Any other matrix: `matrix[day][column]` through the object's own item access, as a double.
class ItemReader {
  public:
    ItemReader(PyObject* matrix, int column) : matrix_(matrix), column_(column) {}

    bool read(std::int64_t day, double& price) const {
        const Ref key(PyLong_FromLongLong(day));
        const Ref row(key ? PyObject_GetItem(matrix_, key.get()) : nullptr);
        const Ref column(row ? PyLong_FromLong(column_) : nullptr);
        const Ref item(column ? PyObject_GetItem(row.get(), column.get()) : nullptr);
        if (!item) return false;
        price = PyFloat_AsDouble(item.get());
        return !(price == -1.0 && PyErr_Occurred());
    }

    bool advance(Excursion& excursion, std::int64_t first_day, std::int64_t count,
                 std::uint64_t index, Stops& stops) const {
        for (std::int64_t day = 0; day < count; ++day) {
            double price;
            if (!read(first_day + day, price)) return false;
            const auto price_at = [price](std::int64_t) { return price; };
            const auto day_index = index + static_cast<std::uint64_t>(day);
            if (excursion.advance(1, price_at, day_index, stops) == 0) return zero_division();
        }
        return true;
    }

  private:
    PyObject* matrix_;
    int column_;
};

// Runs the path over series indices 0 .. length - 1 (day entry_day + index), taking the stops as
// their indices are reached. False with the error set.
template <class Reader>
bool walk(const Reader& reader, Excursion& excursion, std::int64_t entry_day, std::uint64_t length,
          Stops& stops) {
    if (stops.next() == 0) stops.take(0, excursion);
    const auto days = static_cast<std::int64_t>(length - 1);
    return days == 0 || reader.advance(excursion, entry_day + 1, days, 0, stops);
}

// Everything of one analysis that does not depend on how prices are read.
struct Trade {
    int entry_day;
    int exit_day;
    int horizon;
    std::uint64_t length;  // analysed days, entry day included
    int window;
    int window_step;
};

// The record, filled with -1.0; nullptr with the error set when it cannot be made.
PyObject* new_record(int window, int window_step) {
    if (window_step == 0) {
        PyErr_SetString(PyExc_ZeroDivisionError, "integer division or modulo by zero");
        return nullptr;
    }
    npy_intp size = 6 * floor_divide(static_cast<std::int64_t>(window) - 1, window_step) + 12;
    PyObject* record = PyArray_SimpleNew(1, &size, NPY_DOUBLE);
    if (record) {
        auto* data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(record)));
        std::fill(data, data + size, -1.0);
    }
    return record;
}

bool out_of_record() {
    PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", 0);
    return false;
}

template <class Reader>
PyObject* analyse_with(const Reader& reader, const Trade& trade) {
    double entry_price;
    if (!reader.read(trade.entry_day, entry_price)) return nullptr;
    Excursion excursion(entry_price);

    // The record is made before the walk so that samples go straight into it, but its errors
    // rank after those of the walk.
    PendingError record_error;
    Ref record(new_record(trade.window, trade.window_step));
    if (!record) record_error.take();
    const std::uint64_t exit_index =
        std::min(as_unsigned(wrapping_sub(trade.exit_day, trade.entry_day)), trade.length - 1);
    double exit_group[kGroupSize];
    double* data = nullptr;
    npy_intp size = 0;
    Stops stops(exit_index, exit_group);
    if (record) {
        auto* array = reinterpret_cast<PyArrayObject*>(record.get());
        data = static_cast<double*>(PyArray_DATA(array));
        size = PyArray_DIM(array, 0);
        const std::uint64_t bound = std::min(as_unsigned(trade.window), trade.length);
        stops = Stops(data, size, trade.window_step, bound, exit_index, exit_group);
    }
    if (!walk(reader, excursion, trade.entry_day, trade.length, stops)) return nullptr;
    if (record_error) {
        record_error.raise();
        return nullptr;
    }
    if (stops.overflowed() || size < kGroupSize) {
        out_of_record();
        return nullptr;
    }
    std::copy(exit_group, exit_group + kGroupSize, data + size - kGroupSize);
    return record.release();
}

PyObject* analyse(int slot, int entry_day, int exit_day) {
    const int column = state.pos2price.column_of(slot);
    const Ref matrix(Py_NewRef(reinterpret_cast<PyObject*>(state.price)));
    Trade trade{entry_day, exit_day, 0, 0, state.window, state.window_step};

    int rows;
    if (!count_rows(matrix.get(), rows)) return nullptr;
    trade.horizon = std::max(exit_day, wrapping_add(entry_day, trade.window));
    if (trade.horizon >= rows) trade.horizon = rows - 1;
    const std::int64_t span = std::int64_t{trade.horizon} - entry_day + 1;
    if (span < 0) {
        PyErr_SetString(PyExc_OverflowError, "can't convert negative value to size_t");
        return nullptr;
    }
    trade.length = span == 0 ? 1 : static_cast<std::uint64_t>(span);

    if (is_plain_matrix(matrix.get())) {
        auto* array = reinterpret_cast<PyArrayObject*>(matrix.get());
        if (index_in_range(entry_day, PyArray_DIM(array, 0)) &&
            index_in_range(column, PyArray_DIM(array, 1))) {
            return analyse_with(ColumnReader(array, column), trade);
        }
    }
    // Anything else, including out-of-range indices, gets the matrix's own item access and
    // errors.
    return analyse_with(ItemReader(matrix.get(), column), trade);
}

}  // namespace

void prefetch_trade(int slot, std::int64_t entry_day) noexcept {
    auto* matrix = reinterpret_cast<PyObject*>(state.price);
    if (!matrix || !is_plain_matrix(matrix)) return;
    auto* array = reinterpret_cast<PyArrayObject*>(matrix);
    const npy_intp rows = PyArray_DIM(array, 0);
    const npy_intp columns = PyArray_DIM(array, 1);
    const int column = state.pos2price.peek(slot);
    if (entry_day < 0 || entry_day >= rows || !index_in_range(column, columns)) return;
    const char* first = PyArray_BYTES(array) + entry_day * PyArray_STRIDE(array, 0) +
                        (column < 0 ? column + columns : column) * PyArray_STRIDE(array, 1);
    const std::int64_t count = std::min<std::int64_t>(kRowsAhead, rows - entry_day);
    for (std::int64_t day = 0; day < count; ++day) {
        __builtin_prefetch(first + day * PyArray_STRIDE(array, 0));
    }
}

PyObject* trevik_analysis(int slot, int entry_day, int exit_day) {
    PyObject* record = nullptr;
    try {
        record = analyse(slot, entry_day, exit_day);
    } catch (...) {
        native::set_error_from_current_exception();
    }
    if (!record) native::add_traceback(kQualifiedName);
    return record;
}

}  // namespace kovalt::trevik
