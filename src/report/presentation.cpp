#include "report.hpp"
namespace kovalt::report { void add_presentation(py::object& cls) { (void)cls; } }
