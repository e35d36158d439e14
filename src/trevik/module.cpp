// kovalt.trevik: the excursion engine. It has no Python-callable functions; a back-test engine
// binds the capsules of `__pyx_capi__` (see include/kovalt/trevik.h) and reads the results from
// the module lists `trades`, `trade_positions` and `trevik`.
#define KOVALT_TREVIK_OWNS_NUMPY_API
#include "boundary.hpp"
#include "entry_points.hpp"
#include "kovalt/trevik.h"
#include "numpy_api.hpp"  // first: this file holds numpy's API table
#include "state.hpp"

namespace {

namespace py = pybind11;
namespace engine = kovalt::trevik;

// The header's pointer types are what consumers call through: the entry points must match them.
constexpr engine::StartAnalysis kStartAnalysis = &engine::start_analysis;
constexpr engine::RecordDate kRecordDate = &engine::record_date;
constexpr engine::RecordEntry kRecordEntry = &engine::record_entry;
constexpr engine::RecordExit kRecordExit = &engine::record_exit;
constexpr engine::EndAnalysis kEndAnalysis = &engine::end_analysis;

PyModuleDef module_def = {.m_base = PyModuleDef_HEAD_INIT,
                          .m_name = "kovalt.trevik",
                          .m_doc = nullptr,
                          .m_size = -1,
                          .m_methods = nullptr,
                          .m_slots = nullptr,
                          .m_traverse = nullptr,
                          .m_clear = nullptr,
                          .m_free = nullptr};

PyObject* intern(const char* text) {
    PyObject* name = PyUnicode_InternFromString(text);
    if (!name) throw py::error_already_set();
    return name;
}

void intern_names() {
    engine::names.trades = intern("trades");
    engine::names.trade_positions = intern("trade_positions");
    engine::names.trevik = intern("trevik");
    engine::names.org_np = intern("org_np");
}

void require_builtins() {
    PyObject* builtins = PyEval_GetBuiltins();
    for (const char* name : {"enumerate", "range", "ImportError"}) {
        if (!builtins || !PyDict_GetItemString(builtins, name)) {
            PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
            throw py::error_already_set();
        }
    }
}

// Adds a capsule to `__pyx_capi__`, creating the dictionary on first use.
void publish(py::module_& module, const char* name, void* pointer, const char* signature) {
    if (!py::hasattr(module, "__pyx_capi__")) module.attr("__pyx_capi__") = py::dict();
    py::dict table = module.attr("__pyx_capi__");
    PyObject* capsule = PyCapsule_New(pointer, signature, nullptr);
    if (!capsule) throw py::error_already_set();
    table[name] = py::reinterpret_steal<py::object>(capsule);
}

template <class Function>
void* as_pointer(Function function) {
    return reinterpret_cast<void*>(function);
}

void publish_interface(py::module_& module) {
    publish(module, "entry", &engine::state.entry, engine::kArraySignature);
    publish(module, "position", &engine::state.position, engine::kArraySignature);
    publish(module, "start_analysis", as_pointer(kStartAnalysis), engine::kStartAnalysisSignature);
    publish(module, "record_date", as_pointer(kRecordDate), engine::kRecordDateSignature);
    publish(module, "record_entry", as_pointer(kRecordEntry), engine::kRecordEntrySignature);
    publish(module, "record_exit", as_pointer(kRecordExit), engine::kRecordExitSignature);
    publish(module, "end_analysis", as_pointer(kEndAnalysis), engine::kEndAnalysisSignature);
}

// A zero-filled array for the state, made by `org_np.zeros`.
PyObject* zeros(py::object shape, PyTypeObject* dtype) {
    PyObject* array = engine::numpy_zeros(shape.ptr(), reinterpret_cast<PyObject*>(dtype));
    if (!array) throw py::error_already_set();
    return array;
}

void populate(py::module_& module) {
    intern_names();
    engine::set_namespace(PyModule_GetDict(module.ptr()));
    require_builtins();
    engine::replace(engine::state.entry, Py_NewRef(Py_None));
    engine::replace(engine::state.position, Py_NewRef(Py_None));
    engine::replace(engine::state.price, Py_NewRef(Py_None));
    publish_interface(module);
    // Fails the import when numpy's array ABI differs from the one the module was built with.
    if (_import_array() < 0) throw py::error_already_set();
    module.attr("org_np") = py::module_::import("numpy");
    engine::replace(engine::state.price, zeros(py::make_tuple(0, 0), &PyFloat_Type));
    module.attr("trades") = py::list();
    module.attr("trade_positions") = py::list();
    module.attr("trevik") = py::list();
    engine::replace(engine::state.entry, zeros(py::int_(0), &PyLong_Type));
    engine::replace(engine::state.position, zeros(py::int_(0), &PyFloat_Type));
    module.attr("__test__") = py::dict();
}

}  // namespace

extern "C" PYBIND11_EXPORT PyObject* PyInit_trevik() {
    return kovalt::native::init_module(module_def, populate);
}
