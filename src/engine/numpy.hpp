// NumPy's C API for every file of the engine: one table, imported by module.cpp.
#pragma once

#include "py_ref.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL mutflank_engine_ARRAY_API
#ifndef MUTFLANK_ENGINE_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
