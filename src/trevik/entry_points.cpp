#include "entry_points.hpp"

#include <climits>
#include <cstring>
#include <source_location>
#include <utility>
#include <vector>

#include "analysis.hpp"
#include "boundary.hpp"
#include "price_buffer.hpp"
#include "ref.hpp"
#include "state.hpp"

namespace kovalt::trevik {

namespace {

using native::add_traceback;
using native::report_unraisable;

// Runs `step` and turns a C++ exception into the Python error in flight. False on failure.
template <class Step>
bool guarded(Step&& step) noexcept {
    try {
        return std::forward<Step>(step)();
    } catch (...) {
        native::set_error_from_current_exception();
        return false;
    }
}

void report(const char* qualified_name,
            std::source_location where = std::source_location::current()) {
    add_traceback(qualified_name, where);
    report_unraisable(qualified_name);
}

// The per-slot arrays start_analysis makes are read and written in place. Anything else a caller
// put there (another dtype, a view, an out-of-range slot) goes through the object's own item
// access and its errors. Sets `address` to the element of `slot` when in place access applies.
bool element_in_place(PyArrayObject* array, int type, int slot, bool for_writing, char*& address) {
    auto* object = reinterpret_cast<PyObject*>(array);
    if (!PyArray_CheckExact(object) || PyArray_NDIM(array) != 1 || PyArray_TYPE(array) != type ||
        !PyArray_ISNOTSWAPPED(array)) {
        return false;
    }
    if (for_writing &&
        !(PyArray_ISWRITEABLE(array) && PyArray_CHKFLAGS(array, NPY_ARRAY_OWNDATA))) {
        return false;
    }
    const npy_intp size = PyArray_DIM(array, 0);
    if (slot < -size || slot >= size) return false;
    const npy_intp index = slot < 0 ? slot + size : slot;
    address = PyArray_BYTES(array) + index * PyArray_STRIDE(array, 0);
    return true;
}

// `array[slot]`: a new reference (a numpy scalar for the engine's own arrays), or nullptr.
PyObject* read_slot(PyArrayObject* array, int type, int slot) {
    char* address;
    if (element_in_place(array, type, slot, false, address)) {
        return PyArray_Scalar(address, PyArray_DESCR(array), reinterpret_cast<PyObject*>(array));
    }
    const Ref owner(Py_NewRef(reinterpret_cast<PyObject*>(array)));
    const Ref key(PyLong_FromLong(slot));
    return key ? PyObject_GetItem(owner.get(), key.get()) : nullptr;
}

// `array[slot] = value`; `make_value` builds the Python object when in place access does not apply.
template <class Value, class MakeValue>
bool write_slot(PyArrayObject* array, int type, int slot, Value value, MakeValue make_value) {
    char* address;
    if (element_in_place(array, type, slot, true, address)) {
        std::memcpy(address, &value, sizeof value);
        return true;
    }
    const Ref owner(Py_NewRef(reinterpret_cast<PyObject*>(array)));
    const Ref key(PyLong_FromLong(slot));
    const Ref item(key ? make_value(value) : nullptr);
    return item && PyObject_SetItem(owner.get(), key.get(), item.get()) == 0;
}

// An entry day read from the entry array, as a C int.
bool entry_day_of(PyObject* item, int& day) {
    if (Py_IS_TYPE(item, &PyLongArrType_Type)) {
        const npy_long value = PyArrayScalar_VAL(item, Long);
        if (value < INT_MIN || value > INT_MAX) {
            PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
            return false;
        }
        day = static_cast<int>(value);
        return true;
    }
    return to_int(item, day);
}

// [slot, entry day, exit day]: a new reference, or nullptr.
PyObject* new_trade(int slot, PyObject* entry_day, long exit_day) {
    PyObject* trade = PyList_New(3);
    PyObject* slot_object = trade ? PyLong_FromLong(slot) : nullptr;
    PyObject* exit_object = slot_object ? PyLong_FromLong(exit_day) : nullptr;
    if (!exit_object) {
        Py_XDECREF(slot_object);
        Py_XDECREF(trade);
        return nullptr;
    }
    PyList_SET_ITEM(trade, 0, slot_object);
    PyList_SET_ITEM(trade, 1, Py_NewRef(entry_day));
    PyList_SET_ITEM(trade, 2, exit_object);
    return trade;
}

// A result list, looked up by name at each use since callers may rebind it; results are added
// with its `append`.
class ResultList {
  public:
    ResultList() = default;
    ResultList(const ResultList&) = delete;
    ResultList& operator=(const ResultList&) = delete;
    ~ResultList() {
        Py_XDECREF(append_);
        Py_XDECREF(list_);
    }

    bool resolve(PyObject* name) {
        list_ = lookup_global(name);
        if (!list_) return false;
        if (PyList_CheckExact(list_)) return true;
        append_ = PyObject_GetAttrString(list_, "append");
        return append_ != nullptr;
    }

    bool append(PyObject* item) const {
        if (!append_) return PyList_Append(list_, item) == 0;
        PyObject* result = PyObject_CallOneArg(append_, item);
        Py_XDECREF(result);
        return result != nullptr;
    }

    // Takes back `item` if it is still the last element of a plain list; another object's
    // append cannot be undone.
    void undo(PyObject* item) const {
        if (append_) return;
        const Py_ssize_t size = PyList_GET_SIZE(list_);
        if (size > 0 && PyList_GET_ITEM(list_, size - 1) == item) {
            PyList_SetSlice(list_, size - 1, size, nullptr);
        }
    }

  private:
    PyObject* list_ = nullptr;
    PyObject* append_ = nullptr;
};

// Books one trade in the three result lists, in all of them or in none: everything is computed
// first, and a failing append takes back the ones before it. `listed_exit_day` is what `trades`
// shows as the exit day; the analysis runs to the current date. False with the error set.
bool book_trade(int slot, long listed_exit_day) {
    // The walk's first prices are fetched while the Python objects below are made.
    char* entry_address;
    if (element_in_place(state.entry, NPY_INT64, slot, false, entry_address)) {
        npy_int64 entry_day;
        std::memcpy(&entry_day, entry_address, sizeof entry_day);
        prefetch_trade(slot, entry_day);
    }
    ResultList trades, positions, records;
    if (!trades.resolve(names.trades)) return false;
    const Ref entry_item(read_slot(state.entry, NPY_INT64, slot));
    if (!entry_item) return false;
    const Ref trade(new_trade(slot, entry_item.get(), listed_exit_day));
    if (!trade || !positions.resolve(names.trade_positions)) return false;
    const Ref position_item(read_slot(state.position, NPY_DOUBLE, slot));
    if (!position_item || !records.resolve(names.trevik)) return false;
    int entry_day;
    if (!entry_day_of(entry_item.get(), entry_day)) return false;
    const Ref record(trevik_analysis(slot, entry_day, state.date));
    if (!record) return false;

    if (!trades.append(trade.get())) return false;
    if (!positions.append(position_item.get())) {
        trades.undo(trade.get());
        return false;
    }
    if (!records.append(record.get())) {
        positions.undo(position_item.get());
        trades.undo(trade.get());
        return false;
    }
    return true;
}

bool clear_list(PyObject* name) {
    const Ref list(lookup_global(name));
    if (!list) return false;
    if (PyList_CheckExact(list.get()))
        return PyList_SetSlice(list.get(), 0, PY_SSIZE_T_MAX, nullptr) == 0;
    const Ref result(PyObject_CallMethod(list.get(), "clear", nullptr));
    return static_cast<bool>(result);
}

bool start(PyArrayObject* price, const std::map<int, int>& pos2price, int slot_count, int window,
           int window_step) {
    PyObject* matrix = price ? reinterpret_cast<PyObject*>(price) : Py_None;
    if (matrix != Py_None && !check_price_buffer(matrix)) return false;
    SlotColumns columns(pos2price);
    replace(state.price, Py_NewRef(matrix));
    state.pos2price = std::move(columns);
    state.window = window;
    state.window_step = window_step;
    if (!clear_list(names.trades) || !clear_list(names.trade_positions) ||
        !clear_list(names.trevik)) {
        return false;
    }
    const Ref count(PyLong_FromLong(slot_count));
    if (!count) return false;
    PyObject* entry = numpy_zeros(count.get(), reinterpret_cast<PyObject*>(&PyLong_Type));
    if (!entry) return false;
    replace(state.entry, entry);
    PyObject* position = numpy_zeros(count.get(), reinterpret_cast<PyObject*>(&PyFloat_Type));
    if (!position) return false;
    replace(state.position, position);
    return true;
}

}  // namespace

void start_analysis(PyArrayObject* price, std::map<int, int> pos2price, int slot_count, int window,
                    int window_step) noexcept {
    if (!guarded([&] { return start(price, pos2price, slot_count, window, window_step); })) {
        report("kovalt.trevik.start_analysis");
    }
}

void record_date(int day) noexcept {
    state.date = day;
}

void record_entry(int slot, double size) noexcept {
    const bool done = guarded([&] {
        const auto new_int = [](npy_int64 value) { return PyLong_FromLongLong(value); };
        const auto new_float = [](double value) { return PyFloat_FromDouble(value); };
        return write_slot(state.entry, NPY_INT64, slot, npy_int64{state.date}, new_int) &&
               write_slot(state.position, NPY_DOUBLE, slot, size, new_float);
    });
    if (!done) report("kovalt.trevik.record_entry");
}

void record_exit(int slot) noexcept {
    if (!guarded([&] { return book_trade(slot, state.date); })) {
        report("kovalt.trevik.record_exit");
    }
}

PyObject* end_analysis(std::map<int, double>& open_positions) noexcept {
    const bool done = guarded([&] {
        // Booking runs Python code, which must not be able to invalidate the iteration.
        std::vector<int> slots;
        slots.reserve(open_positions.size());
        for (const auto& [slot, size] : open_positions) slots.push_back(slot);
        for (const int slot : slots) {
            if (!book_trade(slot, -1)) return false;
        }
        return true;
    });
    if (!done) {
        add_traceback("kovalt.trevik.end_analysis");  // the error passes to the caller
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace kovalt::trevik
