// Native interface of kovalt.trevik, the excursion engine, for back-test engines written in C++.
//
// The engine publishes its entry points and two array variables as capsules in the module
// attribute `__pyx_capi__`; each capsule is named by the C signature text below, character for
// character. Bind them once, at the import of your own module:
//
//     kovalt::trevik::Api trevik;
//     if (kovalt::trevik::import_api(trevik) < 0) return nullptr;  // ImportError set
//     trevik.start_analysis(price, pos2price, slot_count, window, window_step);
//     trevik.record_date(day);  trevik.record_entry(slot, size);  trevik.record_exit(slot);
//     PyObject* done = trevik.end_analysis(open_positions);  // nullptr with an error set
//
// All calls need the GIL. The void entry points never raise: their failures are printed and sent
// to sys.unraisablehook. Results accumulate in the module lists `trades`, `trade_positions` and
// `trevik`.
//
// Include numpy's headers (or define NPY_NO_DEPRECATED_API) before this file if you use them, so
// that PyArrayObject is declared the way the rest of your code expects.
#pragma once

#include <Python.h>
#include <numpy/ndarraytypes.h>

#include <map>

namespace kovalt::trevik {

// Capsule names: the signature of what each capsule points to.
inline constexpr const char kArraySignature[] = "PyArrayObject *";
inline constexpr const char kStartAnalysisSignature[] =
    "void (PyArrayObject *, std::map<int,int> , int, int, int)";
inline constexpr const char kRecordDateSignature[] = "void (int)";
inline constexpr const char kRecordEntrySignature[] = "void (int, double)";
inline constexpr const char kRecordExitSignature[] = "void (int)";
inline constexpr const char kEndAnalysisSignature[] = "PyObject *(std::map<int,double>  &)";

using StartAnalysis = void (*)(PyArrayObject* price, std::map<int, int> pos2price, int slot_count,
                               int window, int window_step);
using RecordDate = void (*)(int day);
using RecordEntry = void (*)(int slot, double size);
using RecordExit = void (*)(int slot);
using EndAnalysis = PyObject* (*)(std::map<int, double>& open_positions);

struct Api {
    // Addresses of the engine's per-slot arrays: dereference at each use, since start_analysis
    // replaces the arrays.
    PyArrayObject** entry = nullptr;
    PyArrayObject** position = nullptr;
    StartAnalysis start_analysis = nullptr;
    RecordDate record_date = nullptr;
    RecordEntry record_entry = nullptr;
    RecordExit record_exit = nullptr;
    EndAnalysis end_analysis = nullptr;
};

namespace detail {

// The pointer in capsule `name` of `table`, if that capsule carries `signature`; otherwise nullptr
// with ImportError set.
inline void* capsule_pointer(PyObject* table, const char* name, const char* signature) {
    PyObject* capsule = PyDict_GetItemString(table, name);  // borrowed
    if (!capsule) {
        PyErr_Format(PyExc_ImportError, "kovalt.trevik does not export '%s'", name);
        return nullptr;
    }
    if (!PyCapsule_IsValid(capsule, signature)) {
        const char* found = PyCapsule_CheckExact(capsule) ? PyCapsule_GetName(capsule) : nullptr;
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError,
                     "kovalt.trevik exports '%s' with signature '%s', expected '%s'", name,
                     found ? found : Py_TYPE(capsule)->tp_name, signature);
        return nullptr;
    }
    return PyCapsule_GetPointer(capsule, signature);
}

template <class Function>
Function as_function(void* pointer) {
    return reinterpret_cast<Function>(pointer);
}

}  // namespace detail

// Imports kovalt.trevik and binds its seven capsules into `api`. Returns 0, or -1 with an error
// set (ImportError naming the entry when a capsule is missing or has another signature); `api` is
// left unchanged on failure.
inline int import_api(Api& api) {
    PyObject* module = PyImport_ImportModule("kovalt.trevik");
    if (!module) return -1;
    PyObject* table = PyObject_GetAttrString(module, "__pyx_capi__");
    Py_DECREF(module);
    if (!table) return -1;
    if (!PyDict_Check(table)) {
        PyErr_SetString(PyExc_ImportError, "kovalt.trevik.__pyx_capi__ is not a dict");
        Py_DECREF(table);
        return -1;
    }
    Api bound;
    void* pointers[7] = {};
    const char* const names[7] = {"entry",        "position",    "start_analysis", "record_date",
                                  "record_entry", "record_exit", "end_analysis"};
    const char* const signatures[7] = {
        kArraySignature,       kArraySignature,      kStartAnalysisSignature, kRecordDateSignature,
        kRecordEntrySignature, kRecordExitSignature, kEndAnalysisSignature};
    for (int i = 0; i < 7; ++i) {
        pointers[i] = detail::capsule_pointer(table, names[i], signatures[i]);
        if (!pointers[i]) {
            Py_DECREF(table);
            return -1;
        }
    }
    Py_DECREF(table);
    bound.entry = static_cast<PyArrayObject**>(pointers[0]);
    bound.position = static_cast<PyArrayObject**>(pointers[1]);
    bound.start_analysis = detail::as_function<StartAnalysis>(pointers[2]);
    bound.record_date = detail::as_function<RecordDate>(pointers[3]);
    bound.record_entry = detail::as_function<RecordEntry>(pointers[4]);
    bound.record_exit = detail::as_function<RecordExit>(pointers[5]);
    bound.end_analysis = detail::as_function<EndAnalysis>(pointers[6]);
    api = bound;
    return 0;
}

}  // namespace kovalt::trevik
