// read_bed: the intervals of a BED file (src/core/bed_reader.cpp), read whole, for
// inputs/regions.py, which merges them and words a fault.
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "bed_reader.hpp"
#include "columns.hpp"
#include "functions.hpp"
#include "numpy.hpp"

namespace mutflank::engine {
using py::Ref;
namespace {

const char* fault_name(BedFault::Kind kind) {
    switch (kind) {
    case BedFault::Kind::stream:
        return "stream";
    case BedFault::Kind::line_too_long:
        return "line_too_long";
    case BedFault::Kind::fields:
        return "fields";
    case BedFault::Kind::bad_start:
        return "bad_start";
    case BedFault::Kind::bad_end:
        return "bad_end";
    case BedFault::Kind::name_not_utf8:
        return "name_not_utf8";
    case BedFault::Kind::end_before_start:
        return "end_before_start";
    }
    return "unknown";
}

// Every interval of the file, its chromosomes' codes into `names`.
struct Read {
    std::vector<std::uint32_t> code;
    std::vector<std::int64_t> start;
    std::vector<std::int64_t> end;
    std::vector<std::string> names;
    std::optional<BedFault> fault;
};

void read_all(int fd, std::size_t max_line, std::uint64_t far, Read& read) {
    BedSettings settings;
    settings.max_line_bytes = max_line;
    settings.far = far;
    BedReader reader(TextStream(fd, "", false), settings);
    BedBatch batch;
    for (bool more = true; more && !read.fault;) {
        read.fault = reader.next(batch, more);
        read.code.insert(read.code.end(), batch.code.begin(), batch.code.end());
        read.start.insert(read.start.end(), batch.start.begin(), batch.start.end());
        read.end.insert(read.end.end(), batch.end.begin(), batch.end.end());
        read.names.insert(read.names.end(), batch.names.begin(), batch.names.end());
    }
}

PyObject* fault_dict(const BedFault& fault) {
    return Py_BuildValue("{s:s,s:K,s:K,s:y#,s:K,s:K,s:s,s:i}", "fault", fault_name(fault.kind),
                         "line", static_cast<unsigned long long>(fault.line), "count",
                         static_cast<unsigned long long>(fault.count), "text", fault.text.data(),
                         static_cast<Py_ssize_t>(fault.text.size()), "start",
                         static_cast<unsigned long long>(fault.start), "end",
                         static_cast<unsigned long long>(fault.end), "stream",
                         stream_name(fault.stream.kind), "code", fault.stream.code);
}

PyObject* read_bed(PyObject* /*self*/, PyObject* args) noexcept {
    int fd = -1;
    Py_ssize_t max_line = 0;
    unsigned long long far = 0;
    if (!PyArg_ParseTuple(args, "inK:read_bed", &fd, &max_line, &far))
        return nullptr;
    if (max_line < 1 || far > std::numeric_limits<std::int64_t>::max()) {
        PyErr_SetString(PyExc_ValueError,
                        "read_bed: max_line_bytes below 1, or far above 2^63 - 1");
        return nullptr;
    }
    Read read;
    if (!run_released([&] { read_all(fd, static_cast<std::size_t>(max_line), far, read); }))
        return PyErr_NoMemory();
    if (read.fault)
        return fault_dict(*read.fault);
    Ref names{PyList_New(static_cast<Py_ssize_t>(read.names.size()))};
    if (!names)
        return nullptr;
    for (std::size_t i = 0; i < read.names.size(); ++i) {
        PyObject* name = PyBytes_FromStringAndSize(read.names[i].data(),
                                                   static_cast<Py_ssize_t>(read.names[i].size()));
        if (name == nullptr)
            return nullptr;
        PyList_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name);
    }
    Ref dict{PyDict_New()};
    if (!dict || !put(dict.get(), "code", array_of(read.code, NPY_UINT32)) ||
        !put(dict.get(), "start", array_of(read.start, NPY_INT64)) ||
        !put(dict.get(), "end", array_of(read.end, NPY_INT64)) ||
        !put(dict.get(), "names", std::move(names)))
        return nullptr;
    return dict.release();
}

} // namespace

PyMethodDef read_bed_method = {
    "read_bed", read_bed, METH_VARARGS,
    "read_bed(fd, max_line_bytes, far)\n\n"
    "The intervals of the BED text (plain, gzip or bgzip) of the descriptor `fd`, which the\n"
    "caller owns, read to its end: a dict of `code` (uint32, the chromosome's index into\n"
    "`names`, bytes in the order first met), `start` and `end` (int64, coordinates past `far`\n"
    "read as `far`); or a dict with 'fault' (a kind, its `line`, `count` of\n"
    "fields, `text` of a bad coordinate, `start` and `end`, `stream` and `code`)."};

} // namespace mutflank::engine
