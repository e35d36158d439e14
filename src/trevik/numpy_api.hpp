// numpy's C API for every file of the engine. The API table lives in module.cpp, which fills it at
// import; the other files only refer to it.
#pragma once

#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL kovalt_trevik_ARRAY_API
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#ifndef KOVALT_TREVIK_OWNS_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>
