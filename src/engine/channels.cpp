// sbs_channels: the SBS channel of many substitutions from the reference around them.
#include "numpy.hpp"

#include <span>

#include "functions.hpp"
#include "sbs_channel.hpp"

namespace mutflank::engine {
using py::Ref;
namespace {

constexpr const char* doc =
    "sbs_channels(window, refs, alts, flank) -> int64 array\n\n"
    "The SBS channel of each substitution (refs, alts: object arrays of one-letter str of\n"
    "A, C, G, T) from `window`, the int16 reference bytes from `flank` bases before it to\n"
    "`flank` after it (records x 2 * flank + 1), or -1 - reason: 0 at a chromosome start,\n"
    "1 too close to its end, 2 a base other than A, C, G, T beside it.";

PyObject* sbs_channels_call(PyObject* /*module*/, PyObject* args) noexcept {
    PyObject* window_object = nullptr;
    PyObject* ref_object = nullptr;
    PyObject* alt_object = nullptr;
    int flank = 0;
    if (!PyArg_ParseTuple(args, "OOOi:sbs_channels", &window_object, &ref_object, &alt_object,
                          &flank))
        return nullptr;
    if (flank < 0 || flank > 8) {
        PyErr_SetString(PyExc_ValueError, "sbs_channels: flank must be 0 to 8");
        return nullptr;
    }
    Ref window{PyArray_FROMANY(window_object, NPY_INT16, 2, 2, NPY_ARRAY_IN_ARRAY)};
    Ref refs{window ? PyArray_FROMANY(ref_object, NPY_OBJECT, 1, 1, NPY_ARRAY_IN_ARRAY)
                    : nullptr};
    Ref alts{refs ? PyArray_FROMANY(alt_object, NPY_OBJECT, 1, 1, NPY_ARRAY_IN_ARRAY)
                  : nullptr};
    if (!alts)
        return nullptr;
    auto* window_array = reinterpret_cast<PyArrayObject*>(window.get());
    const npy_intp count = PyArray_DIM(window_array, 0);
    const npy_intp width = 2 * flank + 1;
    if (PyArray_DIM(window_array, 1) != width ||
        PyArray_DIM(reinterpret_cast<PyArrayObject*>(refs.get()), 0) != count ||
        PyArray_DIM(reinterpret_cast<PyArrayObject*>(alts.get()), 0) != count) {
        PyErr_SetString(PyExc_ValueError,
                        "sbs_channels: a window of 2 * flank + 1 bases and one REF and ALT per "
                        "window");
        return nullptr;
    }
    npy_intp dims[1] = {count};
    Ref result{PyArray_SimpleNew(1, dims, NPY_INT64)};
    if (!result)
        return nullptr;
    const auto* bytes = static_cast<const std::int16_t*>(PyArray_DATA(window_array));
    auto** ref = static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(refs.get())));
    auto** alt = static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(alts.get())));
    auto* channels =
        static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.get())));
    for (npy_intp i = 0; i < count; ++i) {
        Py_ssize_t ref_size = 0;
        Py_ssize_t alt_size = 0;
        const char* r = PyUnicode_AsUTF8AndSize(ref[i], &ref_size);
        const char* a = r ? PyUnicode_AsUTF8AndSize(alt[i], &alt_size) : nullptr;
        if (a == nullptr)
            return nullptr;
        if (ref_size != 1 || alt_size != 1) {
            PyErr_SetString(PyExc_ValueError, "sbs_channels: a REF or ALT of other than one base");
            return nullptr;
        }
        channels[i] = sbs_channel(
            std::span<const std::int16_t>(bytes + i * width, static_cast<std::size_t>(width)),
            r[0], a[0], flank);
    }
    return result.release();
}

} // namespace

PyMethodDef sbs_channels_method = {"sbs_channels",
                                   reinterpret_cast<PyCFunction>(sbs_channels_call),
                                   METH_VARARGS, doc};

} // namespace mutflank::engine
