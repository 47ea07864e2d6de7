#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "exceptions.hpp"

namespace mutflank::py {
namespace {

constexpr const char* panic_name = "pyo3_runtime.PanicException";
constexpr const char* panic_doc =
    "An internal failure of mutflank.\n\n"
    "Derived from BaseException, not Exception, so that `except Exception` does not "
    "catch it. Its single argument is the failure message.";

// Created on first need and kept for the life of the process.
PyObject* panic_type_object = nullptr;

PyObject* panic_type() noexcept {
    if (panic_type_object == nullptr) {
        panic_type_object =
            PyErr_NewExceptionWithDoc(panic_name, panic_doc, PyExc_BaseException, nullptr);
    }
    return panic_type_object;
}

// The __qualname__ of `type` when it can be read as a str; otherwise empty, with no
// exception set.
Ref qualname(PyTypeObject* type) noexcept {
    Ref name{PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__")};
    if (name && PyUnicode_Check(name.get())) {
        return name;
    }
    PyErr_Clear();
    return {};
}

// repr(object); when repr itself fails, the failure goes to the unraisable hook and
// "<unprintable T object>" stands in.
Ref repr_or_placeholder(PyObject* object) noexcept {
    Ref text{PyObject_Repr(object)};
    if (text) {
        return text;
    }
    PyErr_WriteUnraisable(object);
    Ref name = qualname(Py_TYPE(object));
    if (!name) {
        return Ref{PyUnicode_FromString("<unprintable object>")};
    }
    return Ref{PyUnicode_FromFormat("<unprintable %U object>", name.get())};
}

// threading.current_thread().name, or "<unnamed>" when it cannot be found out.
Ref current_thread_name() noexcept {
    Ref threading{PyImport_ImportModule("threading")};
    Ref thread{threading ? PyObject_CallMethod(threading.get(), "current_thread", nullptr)
                         : nullptr};
    Ref name{thread ? PyObject_GetAttrString(thread.get(), "name") : nullptr};
    if (name && PyUnicode_Check(name.get())) {
        return name;
    }
    PyErr_Clear();
    return Ref{PyUnicode_FromString("<unnamed>")};
}

// The source file relative to the project root ("src/lib/....cpp"), whatever directory the
// compiler was run from.
const char* project_path(const char* file) noexcept {
    const std::string_view path{file};
    const auto start = path.rfind("src/lib/");
    return start == std::string_view::npos ? file : file + start;
}

void write_panic_report(PyObject* message, const SourcePlace& where) noexcept {
    Ref thread = current_thread_name();
    if (!thread) {
        PyErr_Clear();
        return;
    }
    PySys_FormatStderr("thread '%U' panicked at %s:%u:\n%U\n", thread.get(),
                       project_path(where.file), where.line, message);
}

Ref decode(std::string_view text) noexcept {
    return Ref{PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace")};
}

} // namespace

Ref type_name_of(PyObject* object) noexcept {
    Ref name = qualname(Py_TYPE(object));
    if (name) {
        return name;
    }
    return Ref{PyUnicode_FromString("<failed to extract type name>")};
}

std::nullptr_t raise_panic(PyObject* message, SourcePlace where) noexcept {
    // An exception still set here is superseded by the panic.
    { FetchedError superseded = FetchedError::take(); }
    write_panic_report(message, where);
    PyObject* type = panic_type();
    if (type == nullptr) {
        return nullptr;
    }
    Ref exception{PyObject_CallOneArg(type, message)};
    if (exception) {
        PyErr_SetObject(type, exception.get());
    }
    return nullptr;
}

std::nullptr_t raise_panic(std::string_view message, SourcePlace where) noexcept {
    Ref text = decode(message);
    if (!text) {
        return nullptr;
    }
    return raise_panic(text.get(), where);
}

Ref render_pending_error() noexcept {
    FetchedError error = FetchedError::take();
    if (!error.type) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        error = FetchedError::take();
    }
    PyObject* value = error.value ? error.value.get() : Py_None;
    Ref type_text = repr_or_placeholder(error.type.get());
    Ref value_text = repr_or_placeholder(value);
    if (!type_text || !value_text) {
        return {};
    }
    if (!error.traceback) {
        return Ref{PyUnicode_FromFormat("PyErr { type: %U, value: %U, traceback: None }",
                                        type_text.get(), value_text.get())};
    }
    Ref traceback_text = repr_or_placeholder(error.traceback.get());
    if (!traceback_text) {
        return {};
    }
    return Ref{PyUnicode_FromFormat("PyErr { type: %U, value: %U, traceback: Some(%U) }",
                                    type_text.get(), value_text.get(), traceback_text.get())};
}

std::nullptr_t raise_extraction_error(const Error& error, SourcePlace where) noexcept {
    switch (error.kind) {
    case ErrorKind::io: {
        Ref message = decode(error.message);
        Ref exception{message ? PyObject_CallOneArg(PyExc_OSError, message.get()) : nullptr};
        if (exception) {
            PyErr_SetObject(PyExc_OSError, exception.get());
        }
        return nullptr;
    }
    case ErrorKind::internal:
        return raise_panic(error.message, where);
    case ErrorKind::stopped:
        break;
    }
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "the scan stopped without an exception");
    }
    return nullptr;
}

std::nullptr_t rewrap_argument_error(const char* name) noexcept {
    FetchedError caught = FetchedError::take();
    if (!caught.value ||
        Py_TYPE(caught.value.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        caught.restore();
        return nullptr;
    }
    Ref text{PyObject_Str(caught.value.get())};
    if (!text) {
        PyErr_WriteUnraisable(caught.value.get());
        Ref caught_type = qualname(Py_TYPE(caught.value.get()));
        text = caught_type
                   ? Ref{PyUnicode_FromFormat("<unprintable %U object>", caught_type.get())}
                   : Ref{PyUnicode_FromString("<unprintable object>")};
        if (!text) {
            return nullptr;
        }
    }
    Ref message{PyUnicode_FromFormat("argument '%s': %U", name, text.get())};
    Ref replacement{message ? PyObject_CallOneArg(PyExc_TypeError, message.get()) : nullptr};
    if (!replacement) {
        return nullptr;
    }
    // Setting the cause (even to none) also sets __suppress_context__.
    PyException_SetCause(replacement.get(), PyException_GetCause(caught.value.get()));
    PyErr_SetObject(PyExc_TypeError, replacement.get());
    return nullptr;
}

} // namespace mutflank::py
