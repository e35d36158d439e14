#include "boundary.hpp"

#include <frameobject.h>

#include <stdexcept>
#include <string>
#include <string_view>

namespace kovalt::native {

namespace {

// Tracebacks show the source path from "src/" on, whatever folder the build ran in.
const char* project_relative(const char* path) {
    std::string_view view(path);
    const auto at = view.rfind("src/");
    return at == std::string_view::npos ? path : path + at;
}

#ifdef PYPY_VERSION
// PyPy's PyErr_WriteUnraisable passes object=None and folds the object's repr into err_msg;
// CPython passes the object itself and no message. Hooks see CPython's form when kovalt calls them
// itself. PyPy exposes no constructor for the hook's argument type: it is learnt once from a
// report the interpreter makes while a collecting hook is installed.
PyObject* unraisable_args_type() {
    static PyObject* type = nullptr;  // alive for the process
    if (type) return type;
    py::module_ sys = py::module_::import("sys");
    py::object installed = sys.attr("unraisablehook");
    py::list seen;
    sys.attr("unraisablehook") = seen.attr("append");
    PyErr_SetString(PyExc_RuntimeError, "kovalt: learning the unraisable hook's argument type");
    PyErr_WriteUnraisable(Py_None);
    sys.attr("unraisablehook") = installed;
    if (seen.empty()) throw std::runtime_error("sys.unraisablehook received nothing");
    type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(seen[0].ptr())));
    return type;
}

// Takes the error in flight and hands it to sys.unraisablehook with `context` as its object.
void write_unraisable(PyObject* context) {
    PyObject *raw_type, *raw_value, *raw_traceback;
    PyErr_Fetch(&raw_type, &raw_value, &raw_traceback);
    auto own = [](PyObject* object) {
        return object ? py::reinterpret_steal<py::object>(object) : py::object(py::none());
    };
    const py::object type = own(raw_type), value = own(raw_value), traceback = own(raw_traceback);
    try {
        py::module_ sys = py::module_::import("sys");
        py::object hook = sys.attr("unraisablehook");
        if (hook.is_none()) hook = sys.attr("__unraisablehook__");
        const py::object object =
            context ? py::reinterpret_borrow<py::object>(context) : py::object(py::none());
        const auto args_type = py::reinterpret_borrow<py::object>(unraisable_args_type());
        hook(args_type(py::make_tuple(type, value, traceback, py::none(), object)));
    } catch (...) {
        // The hook or its arguments failed: the interpreter's own report of that failure.
        set_error_from_current_exception();
        PyErr_WriteUnraisable(context);
    }
}
#else
void write_unraisable(PyObject* context) { PyErr_WriteUnraisable(context); }
#endif

#ifdef PYPY_VERSION
// CPython's new module dict starts __name__, __doc__, __package__, __loader__, __spec__, then the
// methods, and gets __file__ after initialisation; PyPy's holds __name__, __file__ and the
// methods and gets the others after it. The namespace lists in CPython's order either way: the
// slots are made now (the import system fills them in place), the methods follow them and
// __file__ moves behind the module's own names. Returns the __file__ taken out, for restore_file.
py::object lay_out_like_cpython(PyObject* module) {
    auto names = py::reinterpret_borrow<py::dict>(PyModule_GetDict(module));
    py::object file = names.contains("__file__") ? py::object(names["__file__"]) : py::object();
    py::list entries = py::list(names.attr("items")());
    for (auto entry : entries) {
        py::object key = entry.cast<py::tuple>()[0];
        if (key.equal(py::str("__name__"))) continue;
        if (PyDict_DelItem(names.ptr(), key.ptr()) < 0) throw py::error_already_set();
    }
    for (const char* name : {"__doc__", "__package__", "__loader__", "__spec__"}) {
        names[name] = py::none();
    }
    for (auto entry : entries) {
        auto item = entry.cast<py::tuple>();
        py::object key = item[0];
        if (key.equal(py::str("__name__")) || key.equal(py::str("__file__"))) continue;
        names[key] = item[1];
    }
    return file;
}

void restore_file(PyObject* module, const py::object& file) {
    if (file && PyDict_SetItemString(PyModule_GetDict(module), "__file__", file.ptr()) < 0) {
        throw py::error_already_set();
    }
}
#endif

}  // namespace

void add_traceback(const char* qualified_name, std::source_location where) {
    if (!PyErr_Occurred()) return;
    // The code and frame objects must be made with no error set; the error is put back after.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    const int line = static_cast<int>(where.line());
    PyCodeObject* code = PyCode_NewEmpty(project_relative(where.file_name()), qualified_name, line);
    PyObject* globals = code ? PyDict_New() : nullptr;
    PyFrameObject* frame = globals ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    PyErr_Clear();  // failing to decorate the traceback must not replace the real error
    PyErr_Restore(type, value, traceback);
    if (frame) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(globals);
    Py_XDECREF(code);
}

void report_unraisable(const char* qualified_name) {
    if (!PyErr_Occurred()) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback) PyException_SetTraceback(value, traceback);

    // Print first. PyErr_PrintEx would end the process on SystemExit, which an entry point that
    // returns normally must not do; that one is only displayed.
    if (PyErr_GivenExceptionMatches(type, PyExc_SystemExit)) {
        PyErr_Display(type, value, traceback);
    } else {
        // PyErr_PrintEx consumes its error, so hand it a second reference.
        Py_XINCREF(type);
        Py_XINCREF(value);
        Py_XINCREF(traceback);
        PyErr_Restore(type, value, traceback);
        PyErr_PrintEx(0);
    }

    // Made while no error is set: a failure here must not release the error being reported.
    PyObject* context = PyUnicode_FromString(qualified_name);
    if (!context) PyErr_Clear();  // out of memory for the text: report the error without one
    PyErr_Restore(type, value, traceback);
    write_unraisable(context);
    Py_XDECREF(context);
}

void set_error_from_current_exception() {
    try {
        throw;
    } catch (py::error_already_set& error) {
        error.restore();
    } catch (const py::builtin_exception& error) {
        error.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

PyObject* init_module(PyModuleDef& def, void (*populate)(py::module_&)) noexcept {
    if (PyObject* existing = PyState_FindModule(&def)) {
        Py_INCREF(existing);
        return existing;
    }
    PyObject* raw = PyModule_Create(&def);
    if (!raw) return nullptr;
    try {
        auto module = py::reinterpret_steal<py::module_>(raw);
        py::dict loaded = py::module_::import("sys").attr("modules");
        if (!loaded.contains(def.m_name)) loaded[def.m_name] = module;
        if (PyState_AddModule(module.ptr(), &def) < 0) throw py::error_already_set();
#ifdef PYPY_VERSION
        const py::object file = lay_out_like_cpython(module.ptr());
        populate(module);
        restore_file(module.ptr(), file);
#else
        populate(module);
#endif
        return module.release().ptr();
    } catch (...) {
        set_error_from_current_exception();
    }
    // Leave no half-built module behind.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyState_RemoveModule(&def);
    PyObject* loaded = PySys_GetObject("modules");
    // PyPy declares the key `char*`; CPython `const char*`.
    if (loaded && PyMapping_HasKeyString(loaded, def.m_name)) {
        PyMapping_DelItemString(loaded, const_cast<char*>(def.m_name));
    }
    PyErr_Clear();
    if (type) {
        PyErr_Restore(type, value, traceback);
    } else {
        PyErr_Format(PyExc_ImportError, "init %s", def.m_name);
    }
    add_traceback((std::string("init ") + def.m_name).c_str());
    return nullptr;
}

}  // namespace kovalt::native
