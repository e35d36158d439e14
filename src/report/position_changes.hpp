// The last date on which a position table changed, for the Report constructor.
#pragma once

#include "report.hpp"

namespace kovalt::report {

// The last index label (by place) whose row differs from the row before: some column's
// day-to-day absolute difference is neither 0 nor missing, as pandas'
// diff().abs().sum(axis=1) != 0 finds it. The first label when no row ever differs.
py::object last_change_date(const py::object& position);

}  // namespace kovalt::report
