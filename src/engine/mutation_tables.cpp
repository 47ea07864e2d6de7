// MutationTableScanner: the core's scanner of ten-column mutation tables as an iterator of
// batches of NumPy columns.
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "columns.hpp"
#include "functions.hpp"
#include "mutation_table_scanner.hpp"

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

struct ScannerObject {
    PyObject_HEAD MutationTableScanner* scanner; // owned; nullptr once at the end or after a fault
    MutationTableBatch* batch;                   // owned, reused
};

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

// The batch's columns and left-out lines, into `dict`.
bool fill(PyObject* dict, const MutationTableBatch& batch) {
    const std::size_t rows = batch.rows();
    Ref left_out = left_out_list(batch.left_out);
    if (!left_out)
        return false;
    std::vector<std::int64_t> lines(batch.line.begin(), batch.line.end());
    return put(dict, "sample", texts_of(batch.sample, rows)) &&
           put(dict, "id", texts_of(batch.id, rows)) &&
           put(dict, "build", texts_of(batch.build, rows)) &&
           put(dict, "chromosome", texts_of(batch.chromosome, rows)) &&
           put(dict, "ref", texts_of(batch.ref, rows)) &&
           put(dict, "alt", texts_of(batch.alt, rows)) &&
           put(dict, "position", array_of(batch.position, NPY_UINT64)) &&
           put(dict, "line", array_of(lines, NPY_INT64)) &&
           put(dict, "left_out", std::move(left_out));
}

PyObject* fault_dict(const MutationTableFault& fault) {
    return Py_BuildValue("{s:s,s:K,s:y#,s:s,s:i,s:s#}", "fault", fault_name(fault.kind), "line",
                         static_cast<unsigned long long>(fault.line), "text", fault.text.data(),
                         static_cast<Py_ssize_t>(fault.text.size()), "stream",
                         stream_name(fault.stream.kind), "code", fault.stream.code, "detail",
                         fault.stream.detail.data(),
                         static_cast<Py_ssize_t>(fault.stream.detail.size()));
}

void release(ScannerObject* self) noexcept {
    delete self->scanner;
    self->scanner = nullptr;
    delete self->batch;
    self->batch = nullptr;
}

int scanner_init(PyObject* object, PyObject* args, PyObject* /*kwargs*/) noexcept {
    auto* self = reinterpret_cast<ScannerObject*>(object);
    int fd = -1;
    Py_buffer prefix{};
    int positioned = 0;
    unsigned long long start = 0;
    Py_ssize_t batch_records = 0;
    Py_ssize_t max_line = 0;
    Py_ssize_t max_field = 0;
    if (!PyArg_ParseTuple(args, "iy*pKnnn:MutationTableScanner", &fd, &prefix, &positioned, &start,
                          &batch_records, &max_line, &max_field))
        return -1;
    const std::string prefix_bytes(static_cast<const char*>(prefix.buf),
                                   static_cast<std::size_t>(prefix.len));
    PyBuffer_Release(&prefix);
    if (batch_records < 1 || max_line < 0 || max_field < 0) {
        PyErr_SetString(PyExc_ValueError, "MutationTableScanner: a limit below 1");
        return -1;
    }
    try {
        MutationTableSettings settings;
        settings.batch_records = static_cast<std::size_t>(batch_records);
        settings.max_line_bytes = static_cast<std::size_t>(max_line);
        settings.max_field_bytes = static_cast<std::size_t>(max_field);
        release(self);
        self->batch = new MutationTableBatch();
        self->scanner = new MutationTableScanner(
            TextStream(fd, prefix_bytes, positioned != 0, start), settings);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

PyObject* next_batch(PyObject* object, PyObject* /*unused*/) noexcept {
    auto* self = reinterpret_cast<ScannerObject*>(object);
    if (self->scanner == nullptr)
        Py_RETURN_NONE;
    std::optional<MutationTableFault> fault;
    bool more = true;
    if (!run_released([&] { fault = self->scanner->next(*self->batch, more); })) {
        release(self);
        return PyErr_NoMemory();
    }
    if (fault) {
        PyObject* result = fault_dict(*fault);
        release(self);
        return result;
    }
    if (!more && self->batch->rows() == 0 && self->batch->left_out.empty()) {
        release(self);
        Py_RETURN_NONE;
    }
    Ref dict{PyDict_New()};
    if (!dict || !fill(dict.get(), *self->batch))
        return nullptr;
    if (!more) {
        // The last rows: the scanner is done, and the next call gives None.
        delete self->scanner;
        self->scanner = nullptr;
    }
    return dict.release();
}

PyObject* close_scanner(PyObject* object, PyObject* /*unused*/) noexcept {
    release(reinterpret_cast<ScannerObject*>(object));
    Py_RETURN_NONE;
}

void scanner_dealloc(PyObject* object) noexcept {
    release(reinterpret_cast<ScannerObject*>(object));
    free_object(object);
}

PyMethodDef scanner_methods[] = {
    {"next_batch", next_batch, METH_NOARGS,
     "The next batch: a dict of columns, a dict with 'fault', or None at the end."},
    {"close", close_scanner, METH_NOARGS, "Frees the scanner's buffers (not the descriptor)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot scanner_slots[] = {
    {Py_tp_doc, const_cast<char*>(type_doc)},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(scanner_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(scanner_dealloc)},
    {Py_tp_methods, scanner_methods},
    {0, nullptr},
};

PyType_Spec scanner_spec = {"mutflank_tools._engine.MutationTableScanner",
                            static_cast<int>(sizeof(ScannerObject)), 0, Py_TPFLAGS_DEFAULT,
                            scanner_slots};

} // namespace

bool add_mutation_table_scanner(PyObject* module) noexcept {
    return add_type(module, &scanner_spec, "MutationTableScanner");
}

} // namespace mutflank::engine
