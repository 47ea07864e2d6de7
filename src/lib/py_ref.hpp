// Owners for Python references: one owner per reference, released by its destructor.
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

#include <memory>

namespace mutflank::py {

struct DecRef {
    void operator()(PyObject* object) const noexcept { Py_DECREF(object); }
};

// An owned (strong) reference; empty means "no object". Wrap every new reference on the
// line that creates it; ownership leaves only through release().
using Ref = std::unique_ptr<PyObject, DecRef>;

// Takes a new reference to a borrowed object.
inline Ref new_ref(PyObject* borrowed) noexcept {
    Py_INCREF(borrowed);
    return Ref{borrowed};
}

// The exception currently set, taken out of the interpreter and normalised, so that
// `value` is an exception instance. All three are empty when no exception was set.
struct FetchedError {
    Ref type;
    Ref value;
    Ref traceback;

    static FetchedError take() noexcept {
        PyObject* type = nullptr;
        PyObject* value = nullptr;
        PyObject* traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        if (type != nullptr) {
            PyErr_NormalizeException(&type, &value, &traceback);
        }
        return {Ref{type}, Ref{value}, Ref{traceback}};
    }

    // Sets the exception again, giving up ownership.
    void restore() noexcept {
        PyErr_Restore(type.release(), value.release(), traceback.release());
    }
};

} // namespace mutflank::py
