// MutationTableScanner: the core's scanner of ten-column mutation tables as an iterator of
// batches of NumPy columns.
#include <memory>
#include <new>
#include <utility>

#include "functions.hpp"
#include "mutation_table_scanner.hpp"
#include "scanner_type.hpp"

namespace mutflank::engine {
using py::Ref;
namespace {

constexpr const char* type_doc =
    "MutationTableScanner(fd, prefix, positioned, start, batch_records, max_line_bytes,\n"
    "                     max_field_bytes)\n\n"
    "Reads the lines of a ten-column mutation table (plain, gzip or bgzip) from the\n"
    "descriptor `fd`, which the caller owns: `prefix` holds the bytes already read from it,\n"
    "or with `positioned` (a regular file) it is read from byte `start` on.\n"
    "next_batch() gives a dict of columns, one row per record (sample, id, build,\n"
    "chromosome, ref, alt: str as written; position: uint64; line: int64; left_out:\n"
    "[(reason, chromosome, lines)] with reason 0 for fewer than ten fields and 1 for a\n"
    "position that is no number), a dict with 'fault' when a line or the input is at fault\n"
    "(the rows of the lines before it are dropped), or None at the end.";

const char* fault_name(MutationTableFault::Kind kind) {
    switch (kind) {
    case MutationTableFault::Kind::stream:
        return "stream";
    case MutationTableFault::Kind::line_too_long:
        return "line_too_long";
    case MutationTableFault::Kind::not_utf8:
        return "not_utf8";
    case MutationTableFault::Kind::field_too_long:
        return "field_too_long";
    case MutationTableFault::Kind::bad_position:
        return "bad_position";
    }
    return "unknown";
}

struct Binding {
    using Scanner = MutationTableScanner;
    using Batch = MutationTableBatch;
    using State = NoState;

    static bool empty(const MutationTableBatch& batch) {
        return batch.rows() == 0 && batch.left_out.empty();
    }

    // The batch's columns and left-out lines.
    static PyObject* batch_dict(const MutationTableBatch& batch) {
        const std::size_t rows = batch.rows();
        Ref dict{PyDict_New()};
        if (!dict)
            return nullptr;
        std::vector<std::int64_t> lines(batch.line.begin(), batch.line.end());
        PyObject* d = dict.get();
        if (!put(d, "sample", texts_of(batch.sample, rows)) ||
            !put(d, "id", texts_of(batch.id, rows)) ||
            !put(d, "build", texts_of(batch.build, rows)) ||
            !put(d, "chromosome", texts_of(batch.chromosome, rows)) ||
            !put(d, "ref", texts_of(batch.ref, rows)) ||
            !put(d, "alt", texts_of(batch.alt, rows)) ||
            !put(d, "position", array_of(batch.position, NPY_UINT64)) ||
            !put(d, "line", array_of(lines, NPY_INT64)) ||
            !put(d, "left_out", left_out_list(batch.left_out)))
            return nullptr;
        return dict.release();
    }

    // The fault's values (the rows of the lines before it are dropped).
    static PyObject* fault_dict(const MutationTableScanner& /*scanner*/,
                                const MutationTableBatch& /*batch*/,
                                const MutationTableFault& fault) {
        return Py_BuildValue("{s:s,s:K,s:y#,s:s,s:i,s:s#}", "fault", fault_name(fault.kind),
                             "line", static_cast<unsigned long long>(fault.line), "text",
                             fault.text.data(), static_cast<Py_ssize_t>(fault.text.size()),
                             "stream", stream_name(fault.stream.kind), "code", fault.stream.code,
                             "detail", fault.stream.detail.data(),
                             static_cast<Py_ssize_t>(fault.stream.detail.size()));
    }
};

using Type = ScannerType<Binding>;

int scanner_init(PyObject* object, PyObject* args, PyObject* /*kwargs*/) noexcept {
    TextSource source;
    Limits limits;
    if (!PyArg_ParseTuple(args, "iy*pKnnn:MutationTableScanner", &source.fd,
                          &source.prefix.view, &source.positioned, &source.start,
                          &limits.batch_records, &limits.max_line, &limits.max_field))
        return -1;
    if (!limits.valid()) {
        PyErr_SetString(PyExc_ValueError, "MutationTableScanner: a limit below 1");
        return -1;
    }
    try {
        MutationTableSettings settings;
        limits.apply(settings);
        Type::start(Type::of(object),
                    std::make_unique<MutationTableScanner>(source.stream(), settings));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

} // namespace

bool add_mutation_table_scanner(PyObject* module) noexcept {
    return Type::add_text(module, "mutflank_tools._engine.MutationTableScanner", type_doc,
                          scanner_init);
}

} // namespace mutflank::engine
