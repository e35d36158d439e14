#include "report.hpp"
namespace kovalt::report { void add_dashboard(py::object& cls) { (void)cls; } }
