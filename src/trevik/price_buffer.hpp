#pragma once

#include <Python.h>

namespace kovalt::trevik {

// Whether `matrix` exposes a strided buffer of native-order float64 items in two dimensions, as
// the price matrix must. False with the error set: ValueError naming the mismatch, or the
// exporter's own error. The buffer is released before returning.
bool check_price_buffer(PyObject* matrix);

}  // namespace kovalt::trevik
