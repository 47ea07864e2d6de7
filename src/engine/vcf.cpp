// VcfScanner: the core's VCF scanner as an iterator of batches of NumPy columns.
#include "numpy.hpp"

#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "functions.hpp"
#include "scanner_type.hpp"
#include "snvs.hpp"
#include "vcf_batch.hpp"
#include "vcf_scanner.hpp"

namespace mutflank::engine {
using py::Ref;
namespace {

constexpr const char* type_doc =
    "VcfScanner(fd, prefix, positioned, start, header_lines, width, by_genotype, taken,\n"
    "           kept, pass_only, batch_records, max_line_bytes, max_field_bytes, texts=True)\n\n"
    "Reads the record lines of a VCF (plain, gzip or bgzip) from the descriptor `fd`, which\n"
    "the caller owns: `prefix` holds the bytes already read from it, or with `positioned`\n"
    "(a regular file) it is read from byte `start` on. The first `header_lines` lines of the\n"
    "text are skipped. `kept`: a flag for each sample (each of `taken`, or the one sample\n"
    "without genotypes), whether its records are kept; empty: every sample's.\n"
    "next_batch() gives a dict of columns, one row per kept alternate allele and sample that\n"
    "carries it (line, position, chromosome, ref, alt, filter, id, sample: the index into\n"
    "`taken`, phase; left_out: [(reason, chromosome, records)]), a dict with\n"
    "'fault' when a record or the input is at fault (with 'at_end': the text had ended), or\n"
    "None at the end.";

const char* fault_name(VcfFault::Kind kind) {
    switch (kind) {
    case VcfFault::Kind::stream:
        return "stream";
    case VcfFault::Kind::line_too_long:
        return "line_too_long";
    case VcfFault::Kind::too_few_fields:
        return "too_few_fields";
    case VcfFault::Kind::field_count:
        return "field_count";
    case VcfFault::Kind::bad_position:
        return "bad_position";
    case VcfFault::Kind::empty_chromosome:
        return "empty_chromosome";
    case VcfFault::Kind::field_too_long:
        return "field_too_long";
    case VcfFault::Kind::not_utf8:
        return "not_utf8";
    case VcfFault::Kind::not_a_genotype:
        return "not_a_genotype";
    case VcfFault::Kind::allele_beyond:
        return "allele_beyond";
    case VcfFault::Kind::unreadable:
        return "unreadable";
    }
    return "unknown";
}

} // namespace

PyObject* fault_dict(const VcfFault& fault, bool at_end) {
    return Py_BuildValue(
        "{s:s,s:K,s:K,s:K,s:y#,s:s#,s:I,s:s,s:i,s:s#,s:O}", "fault", fault_name(fault.kind), "line",
        static_cast<unsigned long long>(fault.line), "count",
        static_cast<unsigned long long>(fault.count), "limit",
        static_cast<unsigned long long>(fault.limit), "text", fault.text.data(),
        static_cast<Py_ssize_t>(fault.text.size()), "allele", fault.allele.data(),
        static_cast<Py_ssize_t>(fault.allele.size()), "sample", fault.sample, "stream",
        stream_name(fault.stream.kind), "code", fault.stream.code, "detail",
        fault.stream.detail.data(), static_cast<Py_ssize_t>(fault.stream.detail.size()),
        "at_end", at_end ? Py_True : Py_False);
}

namespace {

// An object array of a text column with one entry per carrier (the carriers of row i are
// carrier_start[i] .. carrier_start[i + 1]).
Ref texts_of(const TextColumn& column, const VcfBatch& batch, bool upper) {
    return engine::texts_of(
        column, batch.rows(), batch.records(),
        [&batch](std::size_t i) { return static_cast<std::size_t>(batch.carrier_start[i]); },
        upper);
}

// A column of one value per row as one value per carrier.
template <class T> Ref per_carrier(const std::vector<T>& values, const VcfBatch& batch, int type) {
    npy_intp dims[1] = {static_cast<npy_intp>(batch.records())};
    Ref array{PyArray_SimpleNew(1, dims, type)};
    if (!array)
        return array;
    auto* out = static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    for (std::size_t i = 0; i < batch.rows(); ++i)
        std::fill(out + batch.carrier_start[i], out + batch.carrier_start[i + 1], values[i]);
    return array;
}

} // namespace

PyObject* left_out_of(const VcfBatch& batch, PyObject* names) {
    Ref list{PyList_New(static_cast<Py_ssize_t>(batch.left_out.size()))};
    if (!list)
        return nullptr;
    for (std::size_t i = 0; i < batch.left_out.size(); ++i) {
        const auto& entry = batch.left_out[i];
        PyObject* item = Py_BuildValue("(iOK)", static_cast<int>(entry.reason),
                                       PyList_GET_ITEM(names, entry.chromosome),
                                       static_cast<unsigned long long>(entry.count));
        if (item == nullptr)
            return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* batch_dict(const VcfBatch& batch) {
    const std::size_t rows = batch.rows();
    Ref names = list_of(batch.names);
    if (!names)
        return nullptr;
    Ref chromosomes = object_array(batch.records());
    if (!chromosomes)
        return nullptr;
    auto** slots = static_cast<PyObject**>(
        PyArray_DATA(reinterpret_cast<PyArrayObject*>(chromosomes.get())));
    for (std::size_t i = 0; i < rows; ++i) {
        PyObject* name = PyList_GET_ITEM(names.get(), batch.chromosome[i]);
        for (std::uint64_t k = batch.carrier_start[i]; k < batch.carrier_start[i + 1]; ++k) {
            Py_INCREF(name);
            Py_XDECREF(slots[k]);
            slots[k] = name;
        }
    }
    Ref left_out{left_out_of(batch, names.get())};
    if (!left_out)
        return nullptr;
    Ref dict{PyDict_New()};
    if (!dict)
        return nullptr;
    static_assert(sizeof(std::uint64_t) == sizeof(npy_uint64));
    const std::size_t carriers = batch.records();
    std::vector<std::int64_t> samples(batch.carrier_sample.begin(), batch.carrier_sample.end());
    static_assert(sizeof(std::int64_t) == sizeof(npy_int64));
    std::vector<std::int64_t> lines(batch.line.begin(), batch.line.end());
    if (!put(dict.get(), "line", per_carrier(lines, batch, NPY_INT64)) ||
        !put(dict.get(), "position", per_carrier(batch.position, batch, NPY_UINT64)) ||
        !put(dict.get(), "chromosome", std::move(chromosomes)) ||
        !put(dict.get(), "ref", texts_of(batch.ref, batch, true)) ||
        !put(dict.get(), "alt", texts_of(batch.alt, batch, true)) ||
        !put(dict.get(), "filter",
             batch.texts ? texts_of(batch.filter, batch, false) : py::new_ref(Py_None)) ||
        !put(dict.get(), "id", batch.texts ? texts_of(batch.id, batch, false) : py::new_ref(Py_None)) ||
        !put(dict.get(), "sample", array_of(samples.data(), carriers, NPY_INT64)) ||
        !put(dict.get(), "phase", array_of(batch.carrier_phase.data(), carriers, NPY_INT64)) ||
        !put(dict.get(), "left_out", std::move(left_out)))
        return nullptr;
    return dict.release();
}

bool samples_of(PyObject* taken, PyObject* kept, bool by_genotype, std::size_t columns,
                const char* type, const char* beyond, std::vector<std::uint32_t>& taken_out,
                std::vector<std::uint8_t>& kept_out) {
    const std::string name(type);
    Ref items{PySequence_Fast(taken, (name + ": taken must be a sequence of columns").c_str())};
    if (!items)
        return false;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        const unsigned long column =
            PyLong_AsUnsignedLong(PySequence_Fast_GET_ITEM(items.get(), i));
        if (PyErr_Occurred())
            return false;
        if (column >= columns) {
            PyErr_Format(PyExc_ValueError, "%s: a taken column beyond the %s", type, beyond);
            return false;
        }
        taken_out.push_back(static_cast<std::uint32_t>(column));
    }
    Ref flags{PySequence_Fast(kept, (name + ": kept must be a sequence of flags").c_str())};
    if (!flags)
        return false;
    const Py_ssize_t samples = by_genotype ? count : 1;
    const Py_ssize_t given = PySequence_Fast_GET_SIZE(flags.get());
    if (given != 0 && given != samples) {
        PyErr_Format(PyExc_ValueError, "%s: kept has not one flag per sample", type);
        return false;
    }
    for (Py_ssize_t i = 0; i < given; ++i) {
        const int flag = PyObject_IsTrue(PySequence_Fast_GET_ITEM(flags.get(), i));
        if (flag < 0)
            return false;
        kept_out.push_back(static_cast<std::uint8_t>(flag));
    }
    return true;
}

namespace {

using Type = ScannerType<VcfBinding<VcfScanner>>;

int scanner_init(PyObject* object, PyObject* args, PyObject* /*kwargs*/) noexcept {
    TextSource source;
    unsigned long long header_lines = 0;
    Py_ssize_t width = 0;
    int by_genotype = 0;
    PyObject* taken = nullptr;
    PyObject* kept = nullptr;
    int pass_only = 0;
    int texts = 1;
    Limits limits;
    if (!PyArg_ParseTuple(args, "iy*pKKnpOOpnnn|p:VcfScanner", &source.fd, &source.prefix.view,
                          &source.positioned, &source.start, &header_lines, &width, &by_genotype,
                          &taken, &kept, &pass_only, &limits.batch_records, &limits.max_line,
                          &limits.max_field, &texts))
        return -1;
    if (width < 0 || !limits.valid()) {
        PyErr_SetString(PyExc_ValueError, "VcfScanner: negative width or limit");
        return -1;
    }
    try {
        VcfSettings settings;
        settings.header_lines = header_lines;
        settings.width = static_cast<std::size_t>(width);
        settings.by_genotype = by_genotype != 0;
        settings.pass_only = pass_only != 0;
        settings.texts = texts != 0;
        limits.apply(settings);
        if (!samples_of(taken, kept, settings.by_genotype,
                        settings.width < 9 ? 0 : settings.width - 9, "VcfScanner", "width",
                        settings.taken, settings.kept))
            return -1;
        Type::start(Type::of(object),
                    std::make_unique<VcfScanner>(source.stream(), std::move(settings)));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

// next_rows(samples, project, build, place, (not_variant, symbolic)): next_batch's batch as
// the ten-column table's rows (batch_rows), or the same fault dict or None.
PyObject* next_rows(PyObject* object, PyObject* args) noexcept {
    PyObject* samples = nullptr;
    PyObject* project = nullptr;
    PyObject* build = nullptr;
    PyObject* place = nullptr;
    PyObject* not_variant = nullptr;
    PyObject* symbolic = nullptr;
    if (!PyArg_ParseTuple(args, "O!UUO(UU):next_rows", &PyList_Type, &samples, &project, &build,
                          &place, &not_variant, &symbolic))
        return nullptr;
    if (!PyCallable_Check(place)) {
        PyErr_SetString(PyExc_TypeError, "next_rows: place must be callable");
        return nullptr;
    }
    return Type::next_as(object, [&](const VcfBatch& batch) {
        return batch_rows(batch, samples, project, build, place, not_variant, symbolic);
    });
}

// next_counted(counter, index, lookup): next_batch's batch with its SNVs counted by the
// SnvCounter `counter` for input `index` (counted_batch), or the same fault dict or None.
PyObject* next_counted(PyObject* object, PyObject* args) noexcept {
    PyObject* counter = nullptr;
    long long index = 0;
    PyObject* lookup = nullptr;
    if (!PyArg_ParseTuple(args, "OLO:next_counted", &counter, &index, &lookup))
        return nullptr;
    if (!PyCallable_Check(lookup)) {
        PyErr_SetString(PyExc_TypeError, "next_counted: lookup must be callable");
        return nullptr;
    }
    return Type::next_as(object, [&](const VcfBatch& batch) {
        return counted_batch(batch, counter, index, lookup);
    });
}

PyMethodDef scanner_methods[] = {
    Type::next_batch_method,
    {"next_counted", next_counted, METH_VARARGS,
     "next_counted(counter, index, lookup): the next batch with its SNVs counted by the\n"
     "SnvCounter `counter` as input `index` (see SnvCounter), a dict with 'fault', or None."},
    {"next_rows", next_rows, METH_VARARGS,
     "next_rows(samples, project, build, place, (not_variant, symbolic)): the next batch as\n"
     "the rows of the ten-column table (a dict: text, rows, records, dropped, missing,\n"
     "missing_count, left_out), a dict with 'fault', or None at the end."},
    Type::close_method("Frees the scanner's buffers (not the descriptor)."),
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

bool add_vcf_scanner(PyObject* module) noexcept {
    return Type::add(module, "mutflank_tools._engine.VcfScanner", type_doc, scanner_init,
                     scanner_methods);
}

} // namespace mutflank::engine
