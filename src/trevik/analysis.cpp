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

// One column of a plain matrix, read from its buffer with its strides. Every day handed in lies
// within the matrix (negative days count from the end).
class ColumnReader {
  public:
    ColumnReader(PyArrayObject* matrix, std::int64_t column, std::int64_t last_day)
        : rows_(PyArray_DIM(matrix, 0)),
          row_stride_(PyArray_STRIDE(matrix, 0)),
          column_(PyArray_BYTES(matrix) +
                  row_of(column, PyArray_DIM(matrix, 1)) * PyArray_STRIDE(matrix, 1)),
          last_row_(row_of(last_day, rows_)) {}

    bool read(std::int64_t day, double& price) const {
        price = load(row_of(day, rows_));
        return true;
    }

    bool advance(Excursion& excursion, std::int64_t first_day, std::uint64_t count) const {
        std::int64_t day = first_day;
        const std::int64_t end = first_day + static_cast<std::int64_t>(count);
        for (; day < end && day < 0; ++day) {  // days counted from the end of the matrix
            if (!excursion.step(load(day + rows_))) return zero_division();
        }
        return day >= end || advance_rows(excursion, day, end - day);
    }

  private:
    // Rows far enough ahead to cover the latency of a cache miss; a column walk crosses a cache
    // line and often a page per day, which the hardware prefetchers do not follow.
    static constexpr npy_intp kPrefetchRows = 32;

    static npy_intp row_of(std::int64_t index, npy_intp size) {
        return static_cast<npy_intp>(index < 0 ? index + size : index);
    }

    const char* address(npy_intp row) const { return column_ + row * row_stride_; }

    double load(npy_intp row) const {
        double price;
        std::memcpy(&price, address(row), sizeof price);  // the buffer need not be aligned
        return price;
    }

    bool advance_rows(Excursion& excursion, npy_intp row, npy_intp count) const {
        const npy_intp end = row + count;
        for (; row < end; ++row) {
            if (row + kPrefetchRows <= last_row_) __builtin_prefetch(address(row + kPrefetchRows));
            if (!excursion.step(load(row))) return zero_division();
        }
        return true;
    }

    npy_intp rows_;
    npy_intp row_stride_;
    const char* column_;
    npy_intp last_row_;
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

    bool advance(Excursion& excursion, std::int64_t first_day, std::uint64_t count) const {
        for (std::uint64_t i = 0; i < count; ++i) {
            double price;
            if (!read(first_day + static_cast<std::int64_t>(i), price)) return false;
            if (!excursion.step(price)) return zero_division();
        }
        return true;
    }

  private:
    PyObject* matrix_;
    int column_;
};

// Where the window samples go: groups of six at series indices 0, step, 2 step, ... below
// `bound`, written one after the other from the start of the record.
class Samples {
  public:
    Samples() = default;  // no record: nothing to sample
    Samples(double* record, npy_intp size, std::int64_t step, std::uint64_t bound)
        : record_(record), size_(size), step_(step), bound_(bound), next_(bound > 0 ? 0 : kNever) {}

    std::uint64_t next() const { return next_; }
    // A group was due beyond the end of the record.
    bool overflowed() const { return overflowed_; }

    void take(const Excursion& excursion) {
        if (written_ + kGroupSize > size_) {
            overflowed_ = true;
            next_ = kNever;
            return;
        }
        excursion.write(record_ + written_);
        written_ += kGroupSize;
        const std::uint64_t following = as_unsigned(static_cast<std::int64_t>(next_) + step_);
        next_ = following < bound_ ? following : kNever;
    }

  private:
    double* record_ = nullptr;
    npy_intp size_ = 0;
    npy_intp written_ = 0;
    std::int64_t step_ = 0;
    std::uint64_t bound_ = 0;
    std::uint64_t next_ = kNever;
    bool overflowed_ = false;
};

// Runs the path over series indices 0 .. length - 1 (day entry_day + index), taking the samples
// and the exit group as their indices are reached. False with the error set.
template <class Reader>
bool walk(const Reader& reader, Excursion& excursion, std::int64_t entry_day, std::uint64_t length,
          std::uint64_t exit_index, Samples& samples, double* exit_group) {
    std::uint64_t index = 0;
    for (;;) {
        if (samples.next() == index) samples.take(excursion);
        if (exit_index == index) excursion.write(exit_group);
        if (index + 1 >= length) return true;
        std::uint64_t target = std::min(length - 1, samples.next());
        if (exit_index > index) target = std::min(target, exit_index);
        const std::int64_t first_day = entry_day + static_cast<std::int64_t>(index) + 1;
        if (!reader.advance(excursion, first_day, target - index)) return false;
        index = target;
    }
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
    double* data = nullptr;
    npy_intp size = 0;
    Samples samples;
    if (record) {
        auto* array = reinterpret_cast<PyArrayObject*>(record.get());
        data = static_cast<double*>(PyArray_DATA(array));
        size = PyArray_DIM(array, 0);
        const std::uint64_t bound = std::min(as_unsigned(trade.window), trade.length);
        samples = Samples(data, size, trade.window_step, bound);
    }
    const std::uint64_t exit_index =
        std::min(as_unsigned(wrapping_sub(trade.exit_day, trade.entry_day)), trade.length - 1);
    double exit_group[kGroupSize];
    if (!walk(reader, excursion, trade.entry_day, trade.length, exit_index, samples, exit_group)) {
        return nullptr;
    }
    if (record_error) {
        record_error.raise();
        return nullptr;
    }
    if (samples.overflowed() || size < kGroupSize) {
        out_of_record();
        return nullptr;
    }
    std::copy(exit_group, exit_group + kGroupSize, data + size - kGroupSize);
    return record.release();
}

PyObject* analyse(int slot, int entry_day, int exit_day) {
    const int column = state.pos2price.try_emplace(slot, 0).first->second;
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
            return analyse_with(ColumnReader(array, column, trade.horizon), trade);
        }
    }
    // Anything else, including out-of-range indices, gets the matrix's own item access and
    // errors.
    return analyse_with(ItemReader(matrix.get(), column), trade);
}

}  // namespace

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
