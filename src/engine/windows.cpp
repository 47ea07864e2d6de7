// read_window_rows: the raw bytes around many positions of one open reference file.
#include "numpy.hpp"

#include <new>
#include <span>

#include "errors.hpp"
#include "functions.hpp"
#include "window_rows.hpp"

namespace mutflank::engine {
using py::Ref;
namespace {

constexpr const char* doc =
    "read_window_rows(fd, length, starts, width) -> int16 array (len(starts), width)\n\n"
    "The bytes of the reference file open as `fd` (a chromosome of `length` bytes) from\n"
    "offset starts[i] on, -1 where an offset is off the chromosome. OSError with the\n"
    "window reader's message when the file is shorter than `length` or cannot be read.";

PyObject* read_window_rows_call(PyObject* /*module*/, PyObject* args) noexcept {
    int fd = -1;
    unsigned long long length = 0;
    PyObject* starts_object = nullptr;
    Py_ssize_t width = 0;
    if (!PyArg_ParseTuple(args, "iKOn:read_window_rows", &fd, &length, &starts_object, &width))
        return nullptr;
    if (width < 0 || width > (1 << 20)) {
        PyErr_SetString(PyExc_ValueError, "read_window_rows: width must be 0 to 2^20");
        return nullptr;
    }
    Ref starts{PyArray_FROMANY(starts_object, NPY_INT64, 1, 1, NPY_ARRAY_IN_ARRAY)};
    if (!starts)
        return nullptr;
    auto* starts_array = reinterpret_cast<PyArrayObject*>(starts.get());
    const npy_intp count = PyArray_DIM(starts_array, 0);
    npy_intp dims[2] = {count, width};
    Ref rows{PyArray_SimpleNew(2, dims, NPY_INT16)};
    if (!rows)
        return nullptr;
    const std::span<const std::int64_t> start_values{
        static_cast<const std::int64_t*>(PyArray_DATA(starts_array)),
        static_cast<std::size_t>(count)};
    const std::span<std::int16_t> row_values{
        static_cast<std::int16_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(rows.get()))),
        static_cast<std::size_t>(count * width)};
    std::optional<Error> error;
    bool no_memory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        error = read_window_rows(fd, length, start_values, static_cast<std::size_t>(width),
                                 row_values);
    } catch (const std::bad_alloc&) {
        no_memory = true;
    }
    Py_END_ALLOW_THREADS
    if (no_memory)
        return PyErr_NoMemory();
    if (error)
        return raise(*error);
    return rows.release();
}

} // namespace

PyMethodDef read_window_rows_method = {
    "read_window_rows", reinterpret_cast<PyCFunction>(read_window_rows_call), METH_VARARGS, doc};

} // namespace mutflank::engine
