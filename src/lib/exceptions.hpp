// The module's exceptions: PanicException with its standard-error report, the mapping of
// extraction errors to Python exceptions, and the "argument '<name>': ..." rewrapping.
// This is the one place where core errors become Python exceptions.
#pragma once

#include <string_view>

#include "error.hpp"
#include "py_ref.hpp"

namespace mutflank::py {

// A place in the source for the panic report. The defaults of the functions below take
// the place of their caller.
struct SourcePlace {
    const char* file;
    unsigned line;
};

// The __qualname__ of the type of `object` as a str, or "<failed to extract type name>"
// when it cannot be read (any error raised while reading it is cleared). Empty, with an
// exception set, only when no str could be allocated.
Ref type_name_of(PyObject* object) noexcept;

// Raises PanicException(message) after writing the report
//   thread '<name>' panicked at <file>:<line>:
//   <message>
// to sys.stderr. Any exception already set is replaced. Always returns nullptr.
// `message` is UTF-8, or a Python str for the overload taking a PyObject*.
std::nullptr_t raise_panic(std::string_view message,
                           SourcePlace where = {__builtin_FILE(), __builtin_LINE()}) noexcept;
std::nullptr_t raise_panic(PyObject* message,
                           SourcePlace where = {__builtin_FILE(), __builtin_LINE()}) noexcept;

// Takes the exception currently set and renders it as
//   PyErr { type: <repr>, value: <repr>, traceback: None | Some(<repr>) }
// The exception is cleared. Returns an empty Ref (with a new exception set) only when even
// the rendering could not be allocated.
Ref render_pending_error() noexcept;

// Raises the Python exception for a failure of the core: OSError(message) for the
// input/output kind, PanicException(message) for an internal failure. For the stopped kind
// the sink has already set the exception. Always returns nullptr.
std::nullptr_t raise_extraction_error(const Error& error,
                                      SourcePlace where = {__builtin_FILE(),
                                                           __builtin_LINE()}) noexcept;

// Called with the exception of a failed argument conversion set. An exception of exactly
// TypeError is replaced by TypeError("argument '<name>': " + str(caught)) whose __cause__
// is the caught exception's own __cause__; any other exception is left as it is.
// Always returns nullptr.
std::nullptr_t rewrap_argument_error(const char* name) noexcept;

} // namespace mutflank::py
