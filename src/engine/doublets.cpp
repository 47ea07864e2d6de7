// DoubletMerger: the decisions of the doublet merger of one input (counting/doublets.py).
#include "columns.hpp"
#include "numpy.hpp"

#include <new>
#include <string_view>
#include <vector>

#include "columns.hpp"
#include "doublet_merger.hpp"
#include "functions.hpp"
#include "heap_type.hpp"

namespace mutflank::engine {
using py::Ref;
namespace {

constexpr const char* type_doc =
    "DoubletMerger()\n\n"
    "The decisions of the doublet merger of one input, its sample and chromosome names coded\n"
    "as they come (samples may be given as int64 numbers instead of names, the same way in\n"
    "every call). check_order(samples, chromosomes, positions) -> the row of the first SNV\n"
    "that comes before an earlier one of its sample, or -1; the order is noted.\n"
    "resolve(samples, chromosomes, positions, alts, phase, final) -> (kept, singles,\n"
    "firsts, seconds, multi, again): the rows of the held SNVs by what becomes of them.\n"
    "Names and alleles are object arrays of str, positions and phase int64.";

struct MergerObject {
    PyObject_HEAD
    DoubletMerger* merger; // owned
};

// column_of with this type's message.
Ref column(PyObject* object, int type, npy_intp count) {
    return engine::column_of(object, type, count, "DoubletMerger: columns of different lengths");
}

// The codes of an int64 array of a caller's sample numbers.
void codes_of(const Ref& numbers, NumberCodes& codes, std::vector<std::uint32_t>& out) {
    const npy_intp count = PyArray_DIM(reinterpret_cast<PyArrayObject*>(numbers.get()), 0);
    const auto* items = data_of<std::int64_t>(numbers);
    out.resize(static_cast<std::size_t>(count));
    std::int64_t previous = 0;
    std::uint32_t previous_code = 0;
    for (npy_intp i = 0; i < count; ++i) {
        if (i == 0 || items[i] != previous) {
            previous = items[i];
            previous_code = codes.code(previous);
        }
        out[static_cast<std::size_t>(i)] = previous_code;
    }
}

// The codes of an object array of str names; false with an exception set.
bool codes_of(const Ref& names, NameCodes& codes, std::vector<std::uint32_t>& out) {
    const npy_intp count = PyArray_DIM(reinterpret_cast<PyArrayObject*>(names.get()), 0);
    PyObject** items = data_of<PyObject*>(names);
    out.resize(static_cast<std::size_t>(count));
    PyObject* previous = nullptr; // records come in runs of one name object
    std::uint32_t previous_code = 0;
    for (npy_intp i = 0; i < count; ++i) {
        if (items[i] != previous) {
            Py_ssize_t size = 0;
            const char* data = PyUnicode_AsUTF8AndSize(items[i], &size);
            if (data == nullptr)
                return false;
            previous = items[i];
            previous_code = codes.code(std::string_view(data, static_cast<std::size_t>(size)));
        }
        out[static_cast<std::size_t>(i)] = previous_code;
    }
    return true;
}

struct Columns {
    Ref samples, chromosomes, positions;
    std::vector<std::uint32_t> sample, chromosome;
};

// Parses samples, chromosomes, positions and codes the names; false with an exception set.
bool columns_of(MergerObject* self, PyObject* samples, PyObject* chromosomes,
                PyObject* positions, Columns& out) {
    if (self->merger == nullptr) {
        PyErr_SetString(PyExc_ValueError, "DoubletMerger: not initialised");
        return false;
    }
    out.positions = column(positions, NPY_INT64, -1);
    if (!out.positions)
        return false;
    const npy_intp count = PyArray_DIM(reinterpret_cast<PyArrayObject*>(out.positions.get()), 0);
    // Samples as numbers (an int64 array: quicker than names) or as names.
    const bool numbers = PyArray_Check(samples) &&
                         PyArray_ISINTEGER(reinterpret_cast<PyArrayObject*>(samples));
    out.samples = column(samples, numbers ? NPY_INT64 : NPY_OBJECT, count);
    out.chromosomes = out.samples ? column(chromosomes, NPY_OBJECT, count) : nullptr;
    if (!out.chromosomes)
        return false;
    if (numbers)
        codes_of(out.samples, self->merger->sample_numbers, out.sample);
    else if (!codes_of(out.samples, self->merger->samples, out.sample))
        return false;
    return codes_of(out.chromosomes, self->merger->chromosomes, out.chromosome);
}

Ref rows_array(const std::vector<std::size_t>& rows) {
    npy_intp dims[1] = {static_cast<npy_intp>(rows.size())};
    Ref array{PyArray_SimpleNew(1, dims, NPY_INT64)};
    if (array) {
        auto* data = data_of<std::int64_t>(array);
        for (std::size_t i = 0; i < rows.size(); ++i)
            data[i] = static_cast<std::int64_t>(rows[i]);
    }
    return array;
}

PyObject* check_order(PyObject* object, PyObject* args) noexcept {
    auto* self = reinterpret_cast<MergerObject*>(object);
    PyObject* items[3] = {};
    if (!PyArg_ParseTuple(args, "OOO:check_order", &items[0], &items[1], &items[2]))
        return nullptr;
    try {
        Columns columns;
        if (!columns_of(self, items[0], items[1], items[2], columns))
            return nullptr;
        const std::size_t at = self->merger->check_order(
            columns.sample, columns.chromosome,
            {data_of<std::int64_t>(columns.positions), columns.sample.size()});
        return PyLong_FromLongLong(at == DoubletMerger::none ? -1 : static_cast<long long>(at));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* resolve(PyObject* object, PyObject* args) noexcept {
    auto* self = reinterpret_cast<MergerObject*>(object);
    PyObject* items[5] = {};
    int final = 0;
    if (!PyArg_ParseTuple(args, "OOOOOp:resolve", &items[0], &items[1], &items[2], &items[3],
                          &items[4], &final))
        return nullptr;
    try {
        Columns columns;
        if (!columns_of(self, items[0], items[1], items[2], columns))
            return nullptr;
        const auto count = static_cast<npy_intp>(columns.sample.size());
        Ref alts = column(items[3], NPY_OBJECT, count);
        Ref phase = alts ? column(items[4], NPY_INT64, count) : nullptr;
        if (!phase)
            return nullptr;
        std::vector<char> alt(columns.sample.size());
        PyObject** alt_items = data_of<PyObject*>(alts);
        for (npy_intp i = 0; i < count; ++i) {
            Py_ssize_t size = 0;
            const char* data = PyUnicode_AsUTF8AndSize(alt_items[i], &size);
            if (data == nullptr)
                return nullptr;
            alt[static_cast<std::size_t>(i)] = size > 0 ? data[0] : '\0';
        }
        const std::size_t size = columns.sample.size();
        const HeldSnvs held{columns.sample, columns.chromosome,
                            {data_of<std::int64_t>(columns.positions), size}, alt,
                            {data_of<std::int64_t>(phase), size}};
        Resolved resolved;
        bool no_memory = false;
        Py_BEGIN_ALLOW_THREADS
        try {
            resolved = self->merger->resolve(held, final != 0);
        } catch (const std::bad_alloc&) {
            no_memory = true;
        }
        Py_END_ALLOW_THREADS
        if (no_memory)
            return PyErr_NoMemory();
        Ref parts[6] = {rows_array(resolved.kept),   rows_array(resolved.singles),
                        rows_array(resolved.firsts), rows_array(resolved.seconds),
                        rows_array(resolved.multi),  rows_array(resolved.again)};
        for (const Ref& part : parts)
            if (!part)
                return nullptr;
        return PyTuple_Pack(6, parts[0].get(), parts[1].get(), parts[2].get(), parts[3].get(),
                            parts[4].get(), parts[5].get());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

int merger_init(PyObject* object, PyObject* args, PyObject* kwargs) noexcept {
    if (!PyArg_ParseTuple(args, ":DoubletMerger") || (kwargs && PyDict_Size(kwargs) > 0)) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_TypeError, "DoubletMerger() takes no arguments");
        return -1;
    }
    auto* self = reinterpret_cast<MergerObject*>(object);
    delete self->merger;
    self->merger = new (std::nothrow) DoubletMerger();
    if (self->merger == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

void merger_dealloc(PyObject* object) noexcept {
    auto* self = reinterpret_cast<MergerObject*>(object);
    delete self->merger;
    self->merger = nullptr;
    free_object(object);
}

PyMethodDef merger_methods[] = {
    {"check_order", check_order, METH_VARARGS,
     "The row of the first SNV out of its sample's order, or -1; the order is noted."},
    {"resolve", resolve, METH_VARARGS, "The rows of the held SNVs by what becomes of them."},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

bool add_doublet_merger(PyObject* module) noexcept {
    return add_type(module, "mutflank_tools._engine.DoubletMerger", sizeof(MergerObject),
                    type_doc, merger_init, merger_dealloc, merger_methods);
}

} // namespace mutflank::engine
