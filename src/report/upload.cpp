#include "report.hpp"
namespace kovalt::report { void add_upload(py::object& cls) { (void)cls; } }
