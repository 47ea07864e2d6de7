// MafScanner: the core's scanner of MAF record lines as an iterator of batches of NumPy
// columns.
#include <memory>
#include <new>
#include <string>
#include <unordered_set>
#include <utility>

#include "functions.hpp"
#include "maf_scanner.hpp"
#include "scanner_type.hpp"

namespace mutflank::engine {
using py::Ref;
namespace {

constexpr const char* type_doc =
    "MafScanner(fd, prefix, positioned, start, header_lines, at, build_at, filter_at, width,\n"
    "           pass_only, samples, exclude, batch_records, max_line_bytes, max_field_bytes)\n\n"
    "Reads the record lines of a MAF (plain, gzip or bgzip) from the descriptor `fd`, which\n"
    "the caller owns: `prefix` holds the bytes already read from it, or with `positioned`\n"
    "(a regular file) it is read from byte `start` on; the first `header_lines` lines are\n"
    "skipped. `at`: the fields of Chromosome, Start_Position, Reference_Allele,\n"
    "Tumor_Seq_Allele1, Tumor_Seq_Allele2 and Tumor_Sample_Barcode; `build_at` and\n"
    "`filter_at`: -1 when not read. `samples`: None for every sample, else those kept.\n"
    "next_batch() gives a dict of columns, one row per record (sample, chromosome, build,\n"
    "ref, alt, allele2, filter, build_written: str; position: uint64; line: int64;\n"
    "deferred: bool, the rows whose alleles hold text beyond ASCII, given as written;\n"
    "left_out: [(reason, chromosome, records)]; held: the names of `exclude` passed over),\n"
    "with 'fault' when a line or the input is at fault (the rows before it then come with\n"
    "it), or None at the end.";

const char* fault_name(MafFault::Kind kind) {
    switch (kind) {
    case MafFault::Kind::stream:
        return "stream";
    case MafFault::Kind::line_too_long:
        return "line_too_long";
    case MafFault::Kind::not_utf8:
        return "not_utf8";
    case MafFault::Kind::field_count:
        return "field_count";
    case MafFault::Kind::empty_field:
        return "empty_field";
    case MafFault::Kind::field_too_long:
        return "field_too_long";
    case MafFault::Kind::bad_position:
        return "bad_position";
    case MafFault::Kind::bad_build:
        return "bad_build";
    }
    return "unknown";
}

// The batch's columns, left-out records and held names, into `dict`.
bool fill(PyObject* dict, const MafBatch& batch) {
    const std::size_t rows = batch.rows();
    std::vector<std::int64_t> lines(batch.line.begin(), batch.line.end());
    return put(dict, "sample", texts_of(batch.sample, rows)) &&
           put(dict, "chromosome", texts_of(batch.chromosome, rows)) &&
           put(dict, "build", texts_of(batch.build, rows)) &&
           put(dict, "ref", texts_of(batch.ref, rows)) &&
           put(dict, "alt", texts_of(batch.alt, rows)) &&
           put(dict, "allele2", texts_of(batch.allele2, rows)) &&
           put(dict, "filter", texts_of(batch.filter, rows)) &&
           put(dict, "build_written", texts_of(batch.build_written, rows)) &&
           put(dict, "position", array_of(batch.position, NPY_UINT64)) &&
           put(dict, "line", array_of(lines, NPY_INT64)) &&
           put(dict, "deferred", array_of(batch.deferred, NPY_BOOL)) &&
           put(dict, "left_out", left_out_list(batch.left_out)) &&
           put(dict, "held", list_of(batch.held));
}

struct Binding {
    using Scanner = MafScanner;
    using Batch = MafBatch;
    using State = NoState;

    static bool empty(const MafBatch& batch) {
        return batch.rows() == 0 && batch.left_out.empty() && batch.held.empty();
    }

    static PyObject* batch_dict(const MafBatch& batch) {
        Ref dict{PyDict_New()};
        if (!dict || !fill(dict.get(), batch))
            return nullptr;
        return dict.release();
    }

    // The fault's values, with the rows before it.
    static PyObject* fault_dict(const MafScanner& /*scanner*/, const MafBatch& batch,
                                const MafFault& fault) {
        Ref dict{batch_dict(batch)};
        if (!dict)
            return nullptr;
        Ref values{Py_BuildValue(
            "{s:s,s:K,s:K,s:y#,s:s,s:i,s:s#}", "fault", fault_name(fault.kind), "fault_line",
            static_cast<unsigned long long>(fault.line), "count",
            static_cast<unsigned long long>(fault.count), "text", fault.text.data(),
            static_cast<Py_ssize_t>(fault.text.size()), "stream", stream_name(fault.stream.kind),
            "code", fault.stream.code, "detail", fault.stream.detail.data(),
            static_cast<Py_ssize_t>(fault.stream.detail.size()))};
        if (!values || PyDict_Update(dict.get(), values.get()) != 0)
            return nullptr;
        return dict.release();
    }
};

using Type = ScannerType<Binding>;

// The names of a sequence of str, into `out`; false with an exception set.
bool names_of(PyObject* given, std::unordered_set<std::string>& out) {
    Ref items{PySequence_Fast(given, "MafScanner: samples must be a sequence of str")};
    if (!items)
        return false;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        Py_ssize_t size = 0;
        const char* text =
            PyUnicode_AsUTF8AndSize(PySequence_Fast_GET_ITEM(items.get(), i), &size);
        if (text == nullptr)
            return false;
        out.emplace(text, static_cast<std::size_t>(size));
    }
    return true;
}

int scanner_init(PyObject* object, PyObject* args, PyObject* /*kwargs*/) noexcept {
    TextSource source;
    unsigned long long header_lines = 0;
    unsigned int at[6] = {};
    long build_at = -1;
    long filter_at = -1;
    Py_ssize_t width = 0;
    int pass_only = 0;
    PyObject* samples = nullptr;
    PyObject* exclude = nullptr;
    Limits limits;
    if (!PyArg_ParseTuple(args, "iy*pKK(IIIIII)llnpOOnnn:MafScanner", &source.fd,
                          &source.prefix.view, &source.positioned, &source.start, &header_lines,
                          &at[0], &at[1], &at[2], &at[3], &at[4], &at[5], &build_at, &filter_at,
                          &width, &pass_only, &samples, &exclude, &limits.batch_records,
                          &limits.max_line, &limits.max_field))
        return -1;
    if (!limits.valid() || width < 0) {
        PyErr_SetString(PyExc_ValueError, "MafScanner: a limit below 1");
        return -1;
    }
    try {
        MafSettings settings;
        settings.header_lines = header_lines;
        for (std::size_t i = 0; i < 6; ++i) {
            if (at[i] >= static_cast<std::size_t>(width)) {
                PyErr_SetString(PyExc_ValueError, "MafScanner: a column beyond the width");
                return -1;
            }
            settings.at[i] = at[i];
        }
        if (build_at >= width || filter_at >= width) {
            PyErr_SetString(PyExc_ValueError, "MafScanner: a column beyond the width");
            return -1;
        }
        if (build_at >= 0)
            settings.build_at = static_cast<std::uint32_t>(build_at);
        if (filter_at >= 0)
            settings.filter_at = static_cast<std::uint32_t>(filter_at);
        settings.width = static_cast<std::size_t>(width);
        settings.pass_only = pass_only != 0;
        settings.choose = samples != Py_None;
        if (settings.choose && !names_of(samples, settings.samples))
            return -1;
        if (!names_of(exclude, settings.exclude))
            return -1;
        limits.apply(settings);
        Type::start(Type::of(object),
                    std::make_unique<MafScanner>(source.stream(), std::move(settings)));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

} // namespace

bool add_maf_scanner(PyObject* module) noexcept {
    return Type::add_text(module, "mutflank_tools._engine.MafScanner", type_doc, scanner_init);
}

} // namespace mutflank::engine
