// BcfReader: a BCF read in process by htslib (bcf_reader.cpp), as an iterator of the same
// batches of NumPy columns as VcfScanner's.
#include "numpy.hpp"

#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "bcf_reader.hpp"
#include "columns.hpp"
#include "functions.hpp"
#include "vcf_batch.hpp"

namespace mutflank::engine {
using py::Ref;
namespace {

constexpr const char* type_doc =
    "BcfReader(fd, start)\n\n"
    "Opens the BCF on a duplicate of the descriptor `fd` (which the caller keeps): from byte\n"
    "`start` on when it is >= 0 (a regular file), else from where it stands, and reads its\n"
    "header. header() gives the header as VCF text, or the name of the fault ('not_bcf',\n"
    "'header') when it cannot be read. scan(by_genotype, taken, kept, pass_only,\n"
    "batch_records, max_field_bytes) sets what next_batch() reads (as VcfScanner's); next_batch() is VcfScanner's, with record\n"
    "numbers as lines.";

struct ReaderObject {
    PyObject_HEAD
    BcfReader* reader; // owned; nullptr once closed
    BcfReader::OpenFault fault;
    VcfBatch* batch; // owned, reused
    bool done;
};

void release(ReaderObject* self) noexcept {
    delete self->reader;
    self->reader = nullptr;
    delete self->batch;
    self->batch = nullptr;
}

int reader_init(PyObject* object, PyObject* args, PyObject* /*kwargs*/) noexcept {
    auto* self = reinterpret_cast<ReaderObject*>(object);
    int fd = -1;
    long long start = -1;
    if (!PyArg_ParseTuple(args, "iL:BcfReader", &fd, &start))
        return -1;
    release(self);
    self->done = false;
    try {
        BcfReader::OpenFault fault{};
        int code = 0;
        std::unique_ptr<BcfReader> reader;
        Py_BEGIN_ALLOW_THREADS
        reader = BcfReader::open(fd, start, fault, code);
        Py_END_ALLOW_THREADS
        if (!reader && fault == BcfReader::OpenFault::descriptor) {
            errno = code;
            PyErr_SetFromErrno(PyExc_OSError);
            return -1;
        }
        self->fault = fault;
        self->batch = new VcfBatch();
        self->reader = reader.release();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

PyObject* header(PyObject* object, PyObject* /*unused*/) noexcept {
    auto* self = reinterpret_cast<ReaderObject*>(object);
    if (self->reader == nullptr)
        return PyUnicode_FromString(self->fault == BcfReader::OpenFault::header ? "header"
                                                                                : "not_bcf");
    try {
        const std::string text = self->reader->header_text();
        return PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* scan(PyObject* object, PyObject* args) noexcept {
    auto* self = reinterpret_cast<ReaderObject*>(object);
    int by_genotype = 0;
    PyObject* taken = nullptr;
    PyObject* kept = nullptr;
    int pass_only = 0;
    Py_ssize_t batch_records = 0;
    Py_ssize_t max_field = 0;
    if (!PyArg_ParseTuple(args, "pOOpnn:scan", &by_genotype, &taken, &kept, &pass_only,
                          &batch_records, &max_field))
        return nullptr;
    if (self->reader == nullptr) {
        PyErr_SetString(PyExc_ValueError, "BcfReader: not open");
        return nullptr;
    }
    if (batch_records < 1 || max_field < 0) {
        PyErr_SetString(PyExc_ValueError, "BcfReader: negative limit");
        return nullptr;
    }
    try {
        BcfSettings settings;
        settings.by_genotype = by_genotype != 0;
        settings.pass_only = pass_only != 0;
        settings.batch_records = static_cast<std::size_t>(batch_records);
        settings.max_field_bytes = static_cast<std::size_t>(max_field);
        Ref items{PySequence_Fast(taken, "BcfReader: taken must be a sequence of columns")};
        if (!items)
            return nullptr;
        const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
        for (Py_ssize_t i = 0; i < count; ++i) {
            const unsigned long column =
                PyLong_AsUnsignedLong(PySequence_Fast_GET_ITEM(items.get(), i));
            if (PyErr_Occurred())
                return nullptr;
            if (column >= self->reader->samples()) {
                PyErr_SetString(PyExc_ValueError, "BcfReader: a taken column beyond the samples");
                return nullptr;
            }
            settings.taken.push_back(static_cast<std::uint32_t>(column));
        }
        Ref flags{PySequence_Fast(kept, "BcfReader: kept must be a sequence of flags")};
        if (!flags)
            return nullptr;
        const Py_ssize_t samples = settings.by_genotype ? count : 1;
        const Py_ssize_t given = PySequence_Fast_GET_SIZE(flags.get());
        if (given != 0 && given != samples) {
            PyErr_SetString(PyExc_ValueError, "BcfReader: kept has not one flag per sample");
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < given; ++i) {
            const int flag = PyObject_IsTrue(PySequence_Fast_GET_ITEM(flags.get(), i));
            if (flag < 0)
                return nullptr;
            settings.kept.push_back(static_cast<std::uint8_t>(flag));
        }
        self->reader->configure(std::move(settings));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    Py_RETURN_NONE;
}

PyObject* next_batch(PyObject* object, PyObject* /*unused*/) noexcept {
    auto* self = reinterpret_cast<ReaderObject*>(object);
    if (self->reader == nullptr || self->done)
        Py_RETURN_NONE;
    std::optional<VcfFault> fault;
    bool more = true;
    if (!run_released([&] { fault = self->reader->next(*self->batch, more); })) {
        release(self);
        return PyErr_NoMemory();
    }
    if (fault) {
        const bool at_end = self->reader->at_end();
        release(self);
        return fault_dict(*fault, at_end);
    }
    if (!more)
        self->done = true;
    if (!more && self->batch->rows() == 0 && self->batch->left_out.empty()) {
        release(self);
        Py_RETURN_NONE;
    }
    PyObject* result = batch_dict(*self->batch);
    if (!more)
        release(self);
    return result;
}

PyObject* close_reader(PyObject* object, PyObject* /*unused*/) noexcept {
    release(reinterpret_cast<ReaderObject*>(object));
    Py_RETURN_NONE;
}

void reader_dealloc(PyObject* object) noexcept {
    release(reinterpret_cast<ReaderObject*>(object));
    free_object(object);
}

PyMethodDef reader_methods[] = {
    {"header", header, METH_NOARGS,
     "The header as VCF text (bytes), or the name of the fault (str)."},
    {"scan", scan, METH_VARARGS, "Sets what next_batch() reads."},
    {"next_batch", next_batch, METH_NOARGS,
     "The next batch: a dict of columns, a dict with 'fault', or None at the end."},
    {"close", close_reader, METH_NOARGS, "Closes the BCF (not the caller's descriptor)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_doc, const_cast<char*>(type_doc)},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(reader_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_methods, reader_methods},
    {0, nullptr},
};

PyType_Spec reader_spec = {"mutflank_tools._engine.BcfReader",
                           static_cast<int>(sizeof(ReaderObject)), 0, Py_TPFLAGS_DEFAULT,
                           reader_slots};

} // namespace

bool add_bcf_reader(PyObject* module) noexcept {
    return add_type(module, &reader_spec, "BcfReader");
}

} // namespace mutflank::engine
