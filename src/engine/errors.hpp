// The one place where the core's failures become Python exceptions.
#pragma once

#include "error.hpp"
#include "py_ref.hpp"

namespace mutflank::engine {

// Sets the exception for a core error: OSError(message) for an input/output failure,
// RuntimeError(message) for an internal one. Returns nullptr, for `return raise(error);`.
PyObject* raise(const Error& error) noexcept;

} // namespace mutflank::engine
