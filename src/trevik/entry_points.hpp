// The engine's published entry points. They must be called with the GIL held. The void ones never
// raise: a failure is printed with its traceback and sent to sys.unraisablehook under the
// function's qualified name, and what was done before the failing step stays done.
#pragma once

#include <map>

#include "numpy_api.hpp"

namespace kovalt::trevik {

// Hands over the price matrix (None, or a two-dimensional float64 buffer in native byte order),
// the slot -> column map and the window, empties the result lists and makes fresh zero-filled
// per-slot arrays of length slot_count.
void start_analysis(PyArrayObject* price, std::map<int, int> pos2price, int slot_count, int window,
                    int window_step) noexcept;
void record_date(int day) noexcept;
void record_entry(int slot, double size) noexcept;
// Books the trade of `slot`, closed on the current date, in the three result lists.
void record_exit(int slot) noexcept;
// Books each position still open, in ascending slot order: None, or nullptr with the error set.
PyObject* end_analysis(std::map<int, double>& open_positions) noexcept;

}  // namespace kovalt::trevik
