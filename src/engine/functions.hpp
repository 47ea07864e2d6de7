// The functions of mutflank_tools._engine, one entry each (see README.md).
#pragma once

#include "py_ref.hpp"

namespace mutflank::engine {

// windows.cpp
extern PyMethodDef read_window_rows_method;

} // namespace mutflank::engine
