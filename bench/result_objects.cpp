// What the engine's results cost by themselves: per trade, exactly the Python objects that
// record_exit books (the list [slot, entry day, exit day] with a numpy integer, the numpy float
// position, a float64 record filled with -1.0) appended to three lists looked up by name, with no
// analysis. Built and loaded by trevik_bench.py.
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#include <Python.h>
#include <numpy/arrayobject.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>

extern "C" int import_numpy() { return _import_array(); }

// Books `trades` results, trade t for slot slots[t] exiting on exits[t]. 0, or -1 with an error.
extern "C" int book_results(PyObject* names, PyObject* entry, PyObject* position,
                            const std::int64_t* slots, const std::int64_t* exits,
                            std::int64_t trades, npy_intp record_size) {
    PyObject* keys[3] = {PyUnicode_InternFromString("trades"),
                         PyUnicode_InternFromString("trade_positions"),
                         PyUnicode_InternFromString("trevik")};
    auto* entries = reinterpret_cast<PyArrayObject*>(entry);
    auto* positions = reinterpret_cast<PyArrayObject*>(position);
    int status = 0;
    for (std::int64_t t = 0; t < trades && status == 0; ++t) {
        PyObject* lists[3];
        for (int i = 0; i < 3; ++i) lists[i] = PyDict_GetItemWithError(names, keys[i]);
        if (!lists[0] || !lists[1] || !lists[2]) {
            status = -1;
            break;
        }
        PyObject* entry_day = PyArray_Scalar(PyArray_GETPTR1(entries, slots[t]),
                                             PyArray_DESCR(entries), entry);
        PyObject* size = PyArray_Scalar(PyArray_GETPTR1(positions, slots[t]),
                                        PyArray_DESCR(positions), position);
        PyObject* slot = PyLong_FromLongLong(slots[t]);
        PyObject* exit_day = PyLong_FromLongLong(exits[t]);
        PyObject* trade = PyList_New(3);
        PyObject* record = PyArray_SimpleNew(1, &record_size, NPY_DOUBLE);
        if (entry_day && size && slot && exit_day && trade && record) {
            PyList_SET_ITEM(trade, 0, Py_NewRef(slot));
            PyList_SET_ITEM(trade, 1, Py_NewRef(entry_day));
            PyList_SET_ITEM(trade, 2, Py_NewRef(exit_day));
            auto* array = reinterpret_cast<PyArrayObject*>(record);
            std::fill_n(static_cast<double*>(PyArray_DATA(array)), record_size, -1.0);
            if (PyList_Append(lists[0], trade) < 0 || PyList_Append(lists[1], size) < 0 ||
                PyList_Append(lists[2], record) < 0) {
                status = -1;
            }
        } else {
            status = -1;
        }
        for (PyObject* object : {record, trade, exit_day, slot, size, entry_day}) {
            Py_XDECREF(object);
        }
    }
    for (PyObject* key : keys) Py_DECREF(key);
    return status;
}
