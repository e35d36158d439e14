// kovalt.recorder: the back-test side's bridge to the excursion engine. It binds the engine's
// capsules at import through include/kovalt/trevik.h and lets Python code drive the engine, one
// call at a time or a whole event sequence in one native loop (`replay`).
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <climits>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "boundary.hpp"
#include "kovalt/trevik.h"

namespace {

// A slot, day, window or column handed in from Python. pybind11's own int conversion falls back
// to int() for any number, so 2.7 as a Decimal, a Fraction or a numpy float32 would silently
// become 2; only true integers (__index__) that fit a C int are taken.
struct Int32 {
    int value;
    friend bool operator<(Int32 a, Int32 b) { return a.value < b.value; }
};

}  // namespace

namespace pybind11::detail {

template <>
struct type_caster<Int32> {
    PYBIND11_TYPE_CASTER(Int32, const_name("int"));

    bool load(handle source, bool /*convert*/) {
        if (!PyIndex_Check(source.ptr())) return false;
        auto index = reinterpret_steal<object>(PyNumber_Index(source.ptr()));
        if (!index) {
            PyErr_Clear();
            return false;
        }
        int overflow = 0;
        const long long wide = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
        if (wide == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        if (overflow != 0 || wide < INT_MIN || wide > INT_MAX) return false;
        value.value = static_cast<int>(wide);
        return true;
    }

    static handle cast(Int32 source, return_value_policy, handle) {
        return PyLong_FromLong(source.value);
    }
};

}  // namespace pybind11::detail

namespace {

namespace py = pybind11;

kovalt::trevik::Api engine;

enum Kind : std::int32_t { kDate = 0, kEntry = 1, kExit = 2 };

struct Event {
    std::int32_t kind;
    std::int32_t day;
    std::int32_t slot;
    double size;
};

PyObject* as_object(PyArrayObject* array) {
    return reinterpret_cast<PyObject*>(array);
}

template <class Value, class Converted>
std::map<int, Converted> plain_keys(const std::map<Int32, Value>& map,
                                    Converted (*convert)(Value)) {
    std::map<int, Converted> plain;
    for (const auto& [key, value] : map) plain.emplace_hint(plain.end(), key.value, convert(value));
    return plain;
}

int column_of(Int32 column) {
    return column.value;
}
double size_of(double size) {
    return size;
}

void start_analysis(py::object price, const std::map<Int32, Int32>& pos2price, Int32 slot_count,
                    Int32 window, Int32 window_step) {
    engine.start_analysis(reinterpret_cast<PyArrayObject*>(price.ptr()),
                          plain_keys(pos2price, column_of), slot_count.value, window.value,
                          window_step.value);
}

void end_analysis(const std::map<Int32, double>& open_positions) {
    std::map<int, double> positions = plain_keys(open_positions, size_of);
    PyObject* result = engine.end_analysis(positions);
    if (!result) throw py::error_already_set();
    Py_DECREF(result);
}

// Events of another layout are converted only where numpy casts safely: a forced cast would
// silently cut an int64 day beyond 32 bits, or a float kind, to another event.
using EventArray = py::array_t<Event, py::array::c_style>;

// A private copy: the engine may run Python code between events, which must not be able to
// change or free the sequence being replayed. Only structured arrays with the four fields, in this
// order, are taken: numpy would otherwise turn any number into an event, and it casts structures
// field by position, so reordered fields would swap days and kinds.
std::vector<Event> checked_events(const py::array& events) {
    const py::object names = events.dtype().attr("names");
    if (!names.equal(py::make_tuple("kind", "day", "slot", "size"))) {
        throw py::type_error(
            "events must be an array of EVENT_DTYPE (fields kind, day, slot, size)");
    }
    if (events.ndim() != 1) {
        throw py::value_error("events must be one-dimensional, got " +
                              std::to_string(events.ndim()) + " dimensions");
    }
    const EventArray typed(events);
    std::vector<Event> copy(typed.data(), typed.data() + typed.size());
    for (std::size_t i = 0; i < copy.size(); ++i) {
        const std::int32_t kind = copy[i].kind;
        if (kind != kDate && kind != kEntry && kind != kExit) {
            throw py::value_error("event " + std::to_string(i) + " has unknown kind " +
                                  std::to_string(kind) + " (expected DATE, ENTRY or EXIT)");
        }
    }
    return copy;
}

void replay(const py::array& events) {
    for (const Event& event : checked_events(events)) {
        switch (event.kind) {
            case kDate:
                engine.record_date(event.day);
                break;
            case kEntry:
                engine.record_entry(event.slot, event.size);
                break;
            case kExit:
                engine.record_exit(event.slot);
                break;
        }
    }
}

void populate(py::module_& module) {
    if (kovalt::trevik::import_api(engine) < 0) throw py::error_already_set();
    PYBIND11_NUMPY_DTYPE(Event, kind, day, slot, size);
    module.attr("EVENT_DTYPE") = py::dtype::of<Event>();
    module.attr("DATE") = static_cast<int>(kDate);
    module.attr("ENTRY") = static_cast<int>(kEntry);
    module.attr("EXIT") = static_cast<int>(kExit);
    module.def("start_analysis", &start_analysis, py::arg("price"), py::arg("pos2price"),
               py::arg("slot_count"), py::arg("window"), py::arg("window_step"),
               "Hands the price matrix, the slot -> column map and the window to the engine and "
               "resets it.");
    module.def(
        "record_date", [](Int32 day) { engine.record_date(day.value); }, py::arg("day"));
    module.def(
        "record_entry", [](Int32 slot, double size) { engine.record_entry(slot.value, size); },
        py::arg("slot"), py::arg("size"));
    module.def(
        "record_exit", [](Int32 slot) { engine.record_exit(slot.value); }, py::arg("slot"));
    module.def("end_analysis", &end_analysis, py::arg("open_positions"),
               "Books the positions still open (a dict slot -> size); raises what the engine "
               "raises.");
    module.def(
        "entry", [] { return py::reinterpret_borrow<py::object>(as_object(*engine.entry)); },
        "The engine's current per-slot entry days.");
    module.def(
        "position", [] { return py::reinterpret_borrow<py::object>(as_object(*engine.position)); },
        "The engine's current per-slot position sizes.");
    module.def("replay", &replay, py::arg("events"),
               "Runs a sequence of events (an array of EVENT_DTYPE: kind, day, slot, size) in one "
               "native loop: DATE records `day`, ENTRY records `slot` with `size`, EXIT closes "
               "`slot`.");
}

PyModuleDef module_def = {.m_base = PyModuleDef_HEAD_INIT,
                          .m_name = "kovalt.recorder",
                          .m_doc = nullptr,
                          .m_size = -1,
                          .m_methods = nullptr,
                          .m_slots = nullptr,
                          .m_traverse = nullptr,
                          .m_clear = nullptr,
                          .m_free = nullptr};

}  // namespace

extern "C" PYBIND11_EXPORT PyObject* PyInit_recorder() {
    return kovalt::native::init_module(module_def, populate);
}
