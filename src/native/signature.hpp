// Python-style argument binding for C++ functions exposed as (*args, **kwargs): positional or
// keyword parameters with trailing defaults, and the interpreter's own TypeError texts.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace kovalt::native {

namespace py = pybind11;

struct Parameter {
    const char* name;
    py::object default_value = py::object();  // null: required
};

class Signature {
public:
    Signature(std::string function_name, std::vector<Parameter> parameters);

    // One value per parameter, in declaration order; raises TypeError as a Python function would.
    std::vector<py::object> bind(const py::args& args, const py::kwargs& kwargs) const;

    const std::string& name() const { return name_; }
    std::size_t size() const { return parameters_.size(); }

private:
    [[noreturn]] void too_many_positional(std::size_t given) const;
    [[noreturn]] void missing(const std::vector<py::object>& bound) const;

    std::string name_;
    std::vector<Parameter> parameters_;
    std::size_t required_ = 0;
};

}  // namespace kovalt::native
