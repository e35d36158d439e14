#include "report.hpp"
namespace kovalt::report { void add_position_report(py::object& cls) { (void)cls; } }
