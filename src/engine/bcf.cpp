// BcfReader: a BCF read in process by htslib (bcf_reader.cpp), as an iterator of the same
// batches of NumPy columns as VcfScanner's.
#include "numpy.hpp"

#include <memory>
#include <new>
#include <string>
#include <utility>

#include "bcf_reader.hpp"
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

using Type = ScannerType<VcfBinding<BcfReader, BcfReader::OpenFault>>;

int reader_init(PyObject* object, PyObject* args, PyObject* /*kwargs*/) noexcept {
    auto* self = Type::of(object);
    int fd = -1;
    long long start = -1;
    if (!PyArg_ParseTuple(args, "iL:BcfReader", &fd, &start))
        return -1;
    Type::release(self);
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
        self->state = fault;
        Type::start(self, std::move(reader));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

PyObject* header(PyObject* object, PyObject* /*unused*/) noexcept {
    auto* self = Type::of(object);
    if (self->scanner == nullptr)
        return PyUnicode_FromString(self->state == BcfReader::OpenFault::header ? "header"
                                                                                : "not_bcf");
    try {
        const std::string text = self->scanner->header_text();
        return PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* scan(PyObject* object, PyObject* args) noexcept {
    auto* self = Type::of(object);
    int by_genotype = 0;
    PyObject* taken = nullptr;
    PyObject* kept = nullptr;
    int pass_only = 0;
    Py_ssize_t batch_records = 0;
    Py_ssize_t max_field = 0;
    if (!PyArg_ParseTuple(args, "pOOpnn:scan", &by_genotype, &taken, &kept, &pass_only,
                          &batch_records, &max_field))
        return nullptr;
    if (self->scanner == nullptr) {
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
        if (!samples_of(taken, kept, settings.by_genotype, self->scanner->samples(),
                        "BcfReader", "samples", settings.taken, settings.kept))
            return nullptr;
        self->scanner->configure(std::move(settings));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    Py_RETURN_NONE;
}

PyMethodDef reader_methods[] = {
    {"header", header, METH_NOARGS,
     "The header as VCF text (bytes), or the name of the fault (str)."},
    {"scan", scan, METH_VARARGS, "Sets what next_batch() reads."},
    Type::next_batch_method,
    Type::close_method("Closes the BCF (not the caller's descriptor)."),
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

bool add_bcf_reader(PyObject* module) noexcept {
    return Type::add(module, "mutflank_tools._engine.BcfReader", type_doc, reader_init,
                     reader_methods);
}

} // namespace mutflank::engine
