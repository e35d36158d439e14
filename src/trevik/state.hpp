// The engine's process-wide state. There is one back-test per process at a time, driven from the
// thread that holds the GIL, so nothing here is guarded.
#pragma once

#include "numpy_api.hpp"
#include "slot_columns.hpp"

namespace kovalt::trevik {

struct State {
    int date = 0;
    int window = 0;
    int window_step = 0;
    SlotColumns pos2price;  // slot -> column of `price`
    // Strong references once the module is initialised; None or any object a caller handed over
    // (start_analysis keeps what it was given, consumers may write through the published
    // addresses), so their type is checked at each use.
    PyArrayObject* price = nullptr;
    PyArrayObject* entry = nullptr;
    PyArrayObject* position = nullptr;
};

extern State state;

// Interned names the engine looks up at each call; created by module initialisation.
struct Names {
    PyObject* trades = nullptr;
    PyObject* trade_positions = nullptr;
    PyObject* trevik = nullptr;
    PyObject* org_np = nullptr;
};

extern Names names;

// Module namespace: callers may rebind or delete the result lists and `org_np`, so they are
// looked up by name at every use.
void set_namespace(PyObject* module_dict);

// The value of `name` in the module namespace, else among the built-ins: a new reference, or
// nullptr with NameError "name '...' is not defined".
PyObject* lookup_global(PyObject* name);

// Stores `value` (a new reference) in `slot`, then releases the previous object.
void replace(PyArrayObject*& slot, PyObject* value);

// `org_np.zeros(shape, dtype=<dtype>)`, checked to be an ndarray (or None). New reference or
// nullptr with the error set.
PyObject* numpy_zeros(PyObject* shape, PyObject* dtype);

// The conversions a C int gets from a Python value: __index__, then a range check.
bool to_int(PyObject* value, int& out);

}  // namespace kovalt::trevik
