// When did the position last change?
//
// The reference algorithm is pandas' diff().abs().sum(axis=1) over the whole table: three
// temporary tables of its size, each one freshly allocated and touched for the first time, which
// makes it the costliest step of building a Report. A table of one plain numeric dtype is scanned
// natively instead, from its last row backwards, stopping at the first row that differs from the
// row before. What counts as a difference follows pandas' arithmetic for the dtype:
// - floats subtract in their own width; a difference counts unless it is 0 (equal values, -0.0
//   and 0.0 among them) or NaN (a missing value on either side, or inf - inf);
// - integers subtract in their own width (wrapping) and become floats: non-zero exactly when the
//   values differ;
// - booleans are xor-ed as truth values.
// A row's sum of absolute differences skips NaN and is non-zero exactly when one of them is.
// Every other table (object, mixed or extension dtypes, not a DataFrame) runs the reference
// algorithm, so pandas' results and errors stay. KOVALT_LAST_TRADING_DATE_PATH=literal forces the
// reference algorithm and =fast demands the scan (RuntimeError when it cannot serve), for
// benchmarks and tests.
#include "position_changes.hpp"

#include <pybind11/numpy.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

#include "numeric_block.hpp"

namespace kovalt::report {

namespace {

// ---------------------------------------------------------------- reference algorithm

py::object last_change_by_pandas(const py::object& position) {
    py::object changed = position.attr("diff")().attr("abs")().attr("sum")(py::arg("axis") = 1);
    py::object trading = changed.attr("__ne__")(0);
    if (trading.attr("sum")().cast<long long>() != 0) {
        return changed.attr("__getitem__")(trading).attr("index").attr("__getitem__")(-1);
    }
    return position.attr("index").attr("__getitem__")(0);
}

// ---------------------------------------------------------------- native scan

bool is_scannable_dtype(const py::dtype& dtype) {
    return is_numeric_cell_dtype(dtype, /*accept_bool=*/true);
}

// The table's cells, rows x columns, or null with the reason in `refusal`.
py::object scannable_values(const py::object& position, const char*& refusal) {
    if (!py::type::handle_of(position).is(global("pd").attr("DataFrame"))) {
        refusal = "position is not a DataFrame";
        return py::object();
    }
    py::list dtypes = position.attr("dtypes").attr("tolist")();
    if (dtypes.empty()) {
        refusal = "position has no columns";
        return py::object();
    }
    py::object first = dtypes[0];
    for (py::handle dtype : dtypes) {
        if (!py::isinstance<py::dtype>(dtype) || first.not_equal(dtype)) {
            refusal = "columns are not of one numpy dtype";
            return py::object();
        }
    }
    if (!is_scannable_dtype(first.cast<py::dtype>())) {
        refusal = "values are not plain numbers or booleans";
        return py::object();
    }
    py::object values = position.attr("to_numpy")();
    if (!py::isinstance<py::array>(values)) {
        refusal = "values are not a numpy array";
        return py::object();
    }
    auto array = py::reinterpret_borrow<py::array>(values);
    if (array.ndim() != 2 || !first.equal(array.dtype()) ||
        array.shape(0) != static_cast<py::ssize_t>(py::len(position.attr("index"))) ||
        array.shape(1) != static_cast<py::ssize_t>(py::len(dtypes))) {
        refusal = "values do not match the table's axes";
        return py::object();
    }
    return values;
}

template <class Cell>
bool differs(Cell now, Cell before) {
    if constexpr (std::is_floating_point_v<Cell>) {
        const Cell change = now - before;
        return (change != 0) & (change == change);  // NaN is the one value unequal to itself
    } else {
        return now != before;  // a wrapped difference or an xor is 0 only for equal values
    }
}

template <class Cell>
Cell cell_at(const char* address) {
    if constexpr (std::is_same_v<Cell, bool>) {
        std::uint8_t byte;
        std::memcpy(&byte, address, 1);
        return byte != 0;  // pandas xors truth values, not bytes
    } else {
        Cell cell;
        std::memcpy(&cell, address, sizeof cell);
        return cell;
    }
}

// Whether `count` adjacent cells at `now` are bytewise those at `before`: such cells never
// differ (equal values, the same NaN, the same infinity), and memcmp reads them at memory speed.
// False whenever the cells are not adjacent.
template <class Cell>
bool bytes_equal(const char* now, const char* before, py::ssize_t count, py::ssize_t stride) {
    if (stride != static_cast<py::ssize_t>(sizeof(Cell)) || count <= 0) return false;
    return std::memcmp(now, before, static_cast<std::size_t>(count) * sizeof(Cell)) == 0;
}

// Whether any of `count` cells at `now`, `stride` bytes apart, differs from its partner at
// `before`. Adjacent aligned cells are compared in blocks without branching, so that the
// comparisons can run in vector lanes; a bool read from a byte other than 0 or 1 would be
// undefined, so booleans go byte by byte.
template <class Cell>
bool any_differs(const char* now, const char* before, py::ssize_t count, py::ssize_t stride) {
    constexpr py::ssize_t kBlock = 32;
    if (bytes_equal<Cell>(now, before, count, stride)) return false;
    const bool adjacent = stride == static_cast<py::ssize_t>(sizeof(Cell));
    py::ssize_t done = 0;
    const bool aligned = reinterpret_cast<std::uintptr_t>(now) % alignof(Cell) == 0 &&
                         reinterpret_cast<std::uintptr_t>(before) % alignof(Cell) == 0;
    if (!std::is_same_v<Cell, bool> && aligned && adjacent) {
        const auto* later = reinterpret_cast<const Cell*>(now);
        const auto* earlier = reinterpret_cast<const Cell*>(before);
        for (; done + kBlock <= count; done += kBlock) {
            unsigned any = 0;
            for (py::ssize_t k = done; k < done + kBlock; ++k) {
                any |= static_cast<unsigned>(differs(later[k], earlier[k]));
            }
            if (any) return true;
        }
    }
    for (; done < count; ++done) {
        const py::ssize_t offset = done * stride;
        if (differs(cell_at<Cell>(now + offset), cell_at<Cell>(before + offset))) return true;
    }
    return false;
}

// Row of the last change, -1 when no row differs from the one before it. The walk follows the
// memory layout: along each row, from the last, when a row's cells are the closer ones; down
// each column otherwise (pandas keeps a frame's columns contiguous), in blocks of rows from the
// end, never below the latest change already found.
template <class Cell>
py::ssize_t last_changed_row(const py::array& values) {
    const char* base = static_cast<const char*>(values.data());
    const py::ssize_t rows = values.shape(0);
    const py::ssize_t columns = values.shape(1);
    const py::ssize_t row_stride = values.strides(0);
    const py::ssize_t column_stride = values.strides(1);
    if (std::abs(column_stride) <= std::abs(row_stride)) {
        for (py::ssize_t row = rows - 1; row >= 1; --row) {
            const char* now = base + row * row_stride;
            if (any_differs<Cell>(now, now - row_stride, columns, column_stride)) return row;
        }
        return -1;
    }
    constexpr py::ssize_t kRows = 64;
    py::ssize_t last = 0;  // row 0 never differs: it has no row before it
    for (py::ssize_t column = 0; column < columns; ++column) {
        const char* top = base + column * column_stride;
        if (bytes_equal<Cell>(top + (last + 1) * row_stride, top + last * row_stride,
                              rows - 1 - last, row_stride)) {
            continue;  // no change after the latest one found
        }
        py::ssize_t row = rows - 1;  // rows row - kRows + 1 .. row against the ones before
        while (row - kRows >= last &&
               !any_differs<Cell>(top + (row - kRows + 1) * row_stride,
                                  top + (row - kRows) * row_stride, kRows, row_stride)) {
            row -= kRows;
        }
        for (; row > last; --row) {
            const char* now = top + row * row_stride;
            if (any_differs<Cell>(now, now - row_stride, 1, row_stride)) {
                last = row;
                break;
            }
        }
    }
    return last > 0 ? last : -1;
}

py::ssize_t last_changed_row_of(const py::array& values) {
    return visit_numeric_cell(values.dtype(),
                              [&]<class Cell>() { return last_changed_row<Cell>(values); });
}

// ---------------------------------------------------------------- route


}  // namespace

py::object last_change_date(const py::object& position) {
    const Route route = requested_route("KOVALT_LAST_TRADING_DATE_PATH");
    if (route != Route::literal) {
        const char* refusal = nullptr;
        py::object values = scannable_values(position, refusal);
        if (values) {
            const py::ssize_t row = last_changed_row_of(py::reinterpret_borrow<py::array>(values));
            return position.attr("index").attr("__getitem__")(row < 0 ? 0 : row);
        }
        if (route == Route::fast) {
            throw std::runtime_error(std::string("position change scan refused: ") + refusal);
        }
    }
    return last_change_by_pandas(position);
}

}  // namespace kovalt::report
