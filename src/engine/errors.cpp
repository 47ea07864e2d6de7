#include "errors.hpp"

namespace mutflank::engine {
using py::Ref;

PyObject* raise(const Error& error) noexcept {
    PyObject* type = error.kind == ErrorKind::io ? PyExc_OSError : PyExc_RuntimeError;
    Ref text{PyUnicode_FromStringAndSize(error.message.data(),
                                         static_cast<Py_ssize_t>(error.message.size()))};
    if (text)
        PyErr_SetObject(type, text.get());
    return nullptr;
}

} // namespace mutflank::engine
