#pragma once

#include <Python.h>

#include <utility>

namespace kovalt::trevik {

// Owns one reference for a scope. The engine holds what it works on this way, since item access
// and appends may run Python code that replaces the engine's state.
class Ref {
  public:
    explicit Ref(PyObject* object = nullptr) : object_(object) {}
    ~Ref() { Py_XDECREF(object_); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;

    PyObject* get() const { return object_; }
    PyObject* release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }

  private:
    PyObject* object_;
};

}  // namespace kovalt::trevik
