// MutationTableScanner: the core's scanner of ten-column mutation tables as an iterator of
// batches of NumPy columns.
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "functions.hpp"
#include "mutation_table_scanner.hpp"
#include "numpy.hpp"

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

const char* stream_name(StreamFault::Kind kind) {
    switch (kind) {
    case StreamFault::Kind::read_failed:
        return "read_failed";
    case StreamFault::Kind::decompress_failed:
        return "decompress_failed";
    case StreamFault::Kind::gzip_cut:
        return "gzip_cut";
    }
    return "unknown";
}

template <class T> Ref array_of(const std::vector<T>& values, int type) {
    npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
    Ref array{PyArray_SimpleNew(1, dims, type)};
    if (array && !values.empty())
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), values.data(),
                    values.size() * sizeof(T));
    return array;
}

// An object array of a text column's rows (valid UTF-8); a row equal to the one before shares
// its str.
Ref texts_of(const TextColumn& column, std::size_t rows) {
    npy_intp dims[1] = {static_cast<npy_intp>(rows)};
    Ref array{PyArray_SimpleNew(1, dims, NPY_OBJECT)};
    if (!array)
        return array;
    auto** slots =
        static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    PyObject* previous = nullptr;
    std::string_view previous_bytes;
    for (std::size_t i = 0; i < rows; ++i) {
        const std::string_view bytes = column.at(i);
        if (previous == nullptr || bytes != previous_bytes) {
            Ref text{PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()),
                                          "strict")};
            if (!text)
                return nullptr;
            previous = text.get();
            previous_bytes = bytes;
            Py_XDECREF(slots[i]);
            slots[i] = text.release();
            continue;
        }
        Py_INCREF(previous);
        Py_XDECREF(slots[i]);
        slots[i] = previous;
    }
    return array;
}

bool put(PyObject* dict, const char* key, Ref value) {
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

// The batch's columns and left-out lines, into `dict`.
bool fill(PyObject* dict, const MutationTableBatch& batch) {
    const std::size_t rows = batch.rows();
    Ref left_out{PyList_New(static_cast<Py_ssize_t>(batch.left_out.size()))};
    if (!left_out)
        return false;
    for (std::size_t i = 0; i < batch.left_out.size(); ++i) {
        const auto& entry = batch.left_out[i];
        PyObject* item =
            Py_BuildValue("(is#K)", static_cast<int>(entry.reason), entry.chromosome.data(),
                          static_cast<Py_ssize_t>(entry.chromosome.size()),
                          static_cast<unsigned long long>(entry.count));
        if (item == nullptr)
            return false;
        PyList_SET_ITEM(left_out.get(), static_cast<Py_ssize_t>(i), item);
    }
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
    bool no_memory = false;
    Py_BEGIN_ALLOW_THREADS try {
        fault = self->scanner->next(*self->batch, more);
    } catch (const std::bad_alloc&) {
        no_memory = true;
    }
    Py_END_ALLOW_THREADS if (no_memory) {
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
    PyTypeObject* type = Py_TYPE(object);
    type->tp_free(object);
    Py_DECREF(type); // a heap type, held by each of its objects
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
    Ref type{PyType_FromSpec(&scanner_spec)};
    return type && PyModule_AddObject(module, "MutationTableScanner", type.get()) == 0 &&
           type.release() != nullptr;
}

} // namespace mutflank::engine
