// A native callable that behaves like a Python function where it shows: it binds to an instance
// when stored as a class attribute, and its __name__, __qualname__, __module__ and __doc__ are
// writable attributes. pybind11's functions neither bind by themselves nor accept a __qualname__.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <string>

namespace kovalt::native {

namespace py = pybind11;

// The body receives the function's closure, then the call's positional and keyword arguments.
// Python objects a body needs must live in the closure, not in C++ captures: the garbage
// collector sees the closure, so cycles through it (a wrapper and the class holding it) are
// still collected.
using FunctionBody =
    std::function<py::object(const py::tuple& closure, const py::args&, const py::kwargs&)>;

struct FunctionNames {
    std::string name;
    std::string qualname;
    std::string module;
};

// A new function object. `doc` None means no documentation string.
py::object make_function(const FunctionNames& names, FunctionBody body,
                         py::tuple closure = py::tuple(), py::object doc = py::none());

}  // namespace kovalt::native
