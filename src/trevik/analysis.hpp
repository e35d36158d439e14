#pragma once

#include <Python.h>

#include <cstdint>

namespace kovalt::trevik {

// The excursion record of the trade in `slot` entered on `entry_day` and left on `exit_day`,
// computed from the current price matrix, window and step: a new reference to a 1-D float64
// array, or nullptr with the error set and a traceback entry "kovalt.trevik.trevik_analysis".
// A slot missing from pos2price is added to it with column 0.
PyObject* trevik_analysis(int slot, int entry_day, int exit_day);

// Starts fetching the first prices that an analysis of `slot` entered on `entry_day` reads, so
// that their memory latency overlaps with other work. It has no other effect.
void prefetch_trade(int slot, std::int64_t entry_day) noexcept;

}  // namespace kovalt::trevik
