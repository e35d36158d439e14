#include "signature.hpp"

#include <stdexcept>

namespace kovalt::native {

Signature::Signature(std::string function_name, std::vector<Parameter> parameters)
    : name_(std::move(function_name)), parameters_(std::move(parameters)) {
    while (required_ < parameters_.size() && !parameters_[required_].default_value) ++required_;
    for (std::size_t i = required_; i < parameters_.size(); ++i) {
        if (!parameters_[i].default_value) {
            throw std::logic_error("a required parameter follows one with a default: " + name_);
        }
    }
}

// Same order of checks as the interpreter: keyword names that are not text (refused at the call,
// before any binding), positional slots, then keywords (unknown or duplicate), then surplus
// positionals, then missing required ones.
std::vector<py::object> Signature::bind(const py::args& args, const py::kwargs& kwargs) const {
    for (auto item : kwargs) {
        if (!PyUnicode_Check(item.first.ptr())) throw py::type_error("keywords must be strings");
    }
    std::vector<py::object> bound(parameters_.size());
    const std::size_t given = args.size();
    for (std::size_t i = 0; i < given && i < parameters_.size(); ++i) {
        bound[i] = args[i];
    }
    for (auto [key, value] : kwargs) {
        const std::string keyword = py::str(key);
        std::size_t index = 0;
        while (index < parameters_.size() && keyword != parameters_[index].name) ++index;
        if (index == parameters_.size()) {
            throw py::type_error(name_ + "() got an unexpected keyword argument '" + keyword + "'");
        }
        if (bound[index]) {
            throw py::type_error(name_ + "() got multiple values for argument '" + keyword + "'");
        }
        bound[index] = py::reinterpret_borrow<py::object>(value);
    }
    if (given > parameters_.size()) too_many_positional(given);
    for (std::size_t i = 0; i < parameters_.size(); ++i) {
        if (bound[i]) continue;
        if (i < required_) missing(bound);
        bound[i] = parameters_[i].default_value;
    }
    return bound;
}

void Signature::too_many_positional(std::size_t given) const {
    const std::size_t most = parameters_.size();
    std::string takes = required_ == most ? std::to_string(most)
                                          : "from " + std::to_string(required_) + " to " +
                                                std::to_string(most);
    const bool plural = !(required_ == most && most == 1);
    throw py::type_error(name_ + "() takes " + takes + " positional argument" + (plural ? "s" : "") +
                         " but " + std::to_string(given) + (given == 1 ? " was" : " were") +
                         " given");
}

void Signature::missing(const std::vector<py::object>& bound) const {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < required_; ++i) {
        if (!bound[i]) names.push_back(std::string("'") + parameters_[i].name + "'");
    }
    std::string listed;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) listed += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        listed += names[i];
    }
    throw py::type_error(name_ + "() missing " + std::to_string(names.size()) +
                         " required positional argument" + (names.size() == 1 ? "" : "s") + ": " +
                         listed);
}

}  // namespace kovalt::native
