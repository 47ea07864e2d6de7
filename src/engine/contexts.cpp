// count_contexts: how often each sequence context occurs on one chromosome file.
#include <algorithm>
#include <new>
#include <span>
#include <vector>

#include "context_counts.hpp"
#include "errors.hpp"
#include "functions.hpp"
#include "numpy.hpp"

namespace mutflank::engine {
using py::Ref;
namespace {

constexpr const char* doc =
    "count_contexts(path, starts, ends) -> (trinucleotides, pentanucleotides, dinucleotides)\n\n"
    "The contexts of the chromosome file `path`, inside the 0-based half-open intervals\n"
    "[starts[i], ends[i]) (sorted, non-empty, each ending before the next starts), or in\n"
    "the whole chromosome when both are None. uint64 arrays: (4, 32) trinucleotides by\n"
    "strand class (T, U, B, N) and centre * 16 + left * 4 + right; (512,) pentanucleotides;\n"
    "(10,) dinucleotides (AC AT CC CG CT GC TA TC TG TT). OSError when the file cannot be\n"
    "read; RuntimeError when the intervals are out of order.";

// A new uint64 array of the given shape holding `values`.
template <std::size_t N>
Ref uint64_array(int dimensions, npy_intp* shape, const std::array<std::uint64_t, N>& values) {
    Ref array{PyArray_SimpleNew(dimensions, shape, NPY_UINT64)};
    if (array)
        std::copy(values.begin(), values.end(),
                  static_cast<std::uint64_t*>(
                      PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get()))));
    return array;
}

PyObject* count_contexts_call(PyObject* /*module*/, PyObject* args) noexcept {
    PyObject* path_bytes = nullptr;
    PyObject* starts_object = nullptr;
    PyObject* ends_object = nullptr;
    if (!PyArg_ParseTuple(args, "O&OO:count_contexts", PyUnicode_FSConverter, &path_bytes,
                          &starts_object, &ends_object))
        return nullptr;
    const Ref path_owner{path_bytes};
    const bool whole = starts_object == Py_None && ends_object == Py_None;
    Ref starts;
    Ref ends;
    std::vector<Interval> regions;
    if (!whole) {
        starts.reset(PyArray_FROMANY(starts_object, NPY_INT64, 1, 1, NPY_ARRAY_IN_ARRAY));
        if (!starts)
            return nullptr;
        ends.reset(PyArray_FROMANY(ends_object, NPY_INT64, 1, 1, NPY_ARRAY_IN_ARRAY));
        if (!ends)
            return nullptr;
        auto* starts_array = reinterpret_cast<PyArrayObject*>(starts.get());
        auto* ends_array = reinterpret_cast<PyArrayObject*>(ends.get());
        const npy_intp count = PyArray_DIM(starts_array, 0);
        if (PyArray_DIM(ends_array, 0) != count) {
            PyErr_SetString(PyExc_ValueError, "count_contexts: starts and ends differ in length");
            return nullptr;
        }
        const auto* start_values = static_cast<const std::int64_t*>(PyArray_DATA(starts_array));
        const auto* end_values = static_cast<const std::int64_t*>(PyArray_DATA(ends_array));
        try {
            regions.reserve(static_cast<std::size_t>(count));
        } catch (const std::bad_alloc&) {
            return PyErr_NoMemory();
        }
        for (npy_intp i = 0; i < count; ++i) {
            if (start_values[i] < 0 || end_values[i] < 0) {
                PyErr_SetString(PyExc_ValueError, "count_contexts: negative interval bound");
                return nullptr;
            }
            regions.push_back({static_cast<std::uint64_t>(start_values[i]),
                               static_cast<std::uint64_t>(end_values[i])});
        }
    }
    const char* path_text = PyBytes_AS_STRING(path_bytes);
    const auto path_size = static_cast<std::size_t>(PyBytes_GET_SIZE(path_bytes));
    std::optional<Result<ContextCounts>> counted;
    bool no_memory = false;
    Py_BEGIN_ALLOW_THREADS try {
        counted.emplace(count_chromosome_file(std::string(path_text, path_size), regions, whole));
    } catch (const std::bad_alloc&) {
        no_memory = true;
    }
    Py_END_ALLOW_THREADS if (no_memory) return PyErr_NoMemory();
    if (!counted->ok())
        return raise(counted->error());
    const ContextCounts& counts = counted->value();
    std::array<std::uint64_t, 4 * 32> trinucleotides{};
    for (std::size_t s = 0; s < 4; ++s)
        std::copy(counts.trinucleotides[s].begin(), counts.trinucleotides[s].end(),
                  trinucleotides.begin() + static_cast<std::ptrdiff_t>(s * 32));
    npy_intp tri_shape[2] = {4, 32};
    npy_intp penta_shape[1] = {512};
    npy_intp di_shape[1] = {10};
    Ref tri = uint64_array(2, tri_shape, trinucleotides);
    if (!tri)
        return nullptr;
    Ref penta = uint64_array(1, penta_shape, counts.pentanucleotides);
    if (!penta)
        return nullptr;
    Ref di = uint64_array(1, di_shape, counts.dinucleotides);
    if (!di)
        return nullptr;
    return PyTuple_Pack(3, tri.get(), penta.get(), di.get());
}

} // namespace

PyMethodDef count_contexts_method = {
    "count_contexts", reinterpret_cast<PyCFunction>(count_contexts_call), METH_VARARGS, doc};

} // namespace mutflank::engine
