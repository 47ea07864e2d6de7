// table_rows: the text of the ten-column mutation table's rows of one batch of records.
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "functions.hpp"
#include "numpy.hpp"
#include "table_rows.hpp"
#include "vcf_batch.hpp"

namespace mutflank::engine {
using py::Ref;
namespace {

constexpr const char* doc =
    "table_rows(sample, ident, build, chromosome, position, ref, alt, line, project, place,\n"
    "           faults) -> (text, rows, left_out, missing, missing_count)\n\n"
    "The rows of the ten-column mutation table for records given as columns of equal length\n"
    "(object arrays of str; position uint64, line int64), as UTF-8 bytes. `place(build,\n"
    "chromosome, line)` is called for each record whose build or chromosome differs from the\n"
    "record before and gives (build folder, chromosome as written in the row, reason): a\n"
    "reason (not None) leaves the record out. `faults`: the reasons of alleles that are no\n"
    "variant and of symbolic ones. `left_out`: [(reason, chromosome, records)] in the order\n"
    "first met; `missing`: (build, chromosome) of the first 1000 records that `place` left\n"
    "out, `missing_count` all of them.";

constexpr std::size_t missing_kept = 1000;

// The rows' text, written straight into the bytes object that is returned.
class BytesOut {
  public:
    bool start(std::size_t capacity) {
        bytes_ = Ref{PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity))};
        capacity_ = capacity;
        return static_cast<bool>(bytes_);
    }
    bool append(std::string_view text) {
        if (size_ + text.size() > capacity_ && !grow(size_ + text.size()))
            return false;
        std::memcpy(PyBytes_AS_STRING(bytes_.get()) + size_, text.data(), text.size());
        size_ += text.size();
        return true;
    }
    // The bytes written (false with an exception set).
    PyObject* finish() {
        PyObject* bytes = bytes_.release();
        if (_PyBytes_Resize(&bytes, static_cast<Py_ssize_t>(size_)) != 0)
            return nullptr; // the object is freed
        return bytes;
    }

  private:
    bool grow(std::size_t needed) {
        const std::size_t capacity = std::max(needed, capacity_ * 2);
        PyObject* bytes = bytes_.release();
        if (_PyBytes_Resize(&bytes, static_cast<Py_ssize_t>(capacity)) != 0)
            return false; // the object is freed
        bytes_ = Ref{bytes};
        capacity_ = capacity;
        return true;
    }

    Ref bytes_;
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;
};

// The UTF-8 bytes of a str (its own for ASCII, else cached by the str), or false with an
// exception set.
bool utf8_of(PyObject* text, std::string_view& bytes) {
    if (PyUnicode_CheckExact(text) && PyUnicode_IS_COMPACT_ASCII(text)) {
        bytes = std::string_view(static_cast<const char*>(PyUnicode_DATA(text)),
                                 static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)));
        return true;
    }
    if (!PyUnicode_Check(text)) {
        PyErr_SetString(PyExc_TypeError, "table_rows: a column holds something other than str");
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr)
        return false;
    bytes = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

// An object array's slots (the array is kept alive by `owner`).
PyObject** objects_of(PyObject* given, Ref& owner, std::size_t rows, const char* name) {
    owner = Ref{PyArray_FROMANY(given, NPY_OBJECT, 1, 1, NPY_ARRAY_IN_ARRAY)};
    if (!owner)
        return nullptr;
    auto* array = reinterpret_cast<PyArrayObject*>(owner.get());
    if (static_cast<std::size_t>(PyArray_DIM(array, 0)) != rows) {
        PyErr_Format(PyExc_ValueError, "table_rows: %s has another length", name);
        return nullptr;
    }
    return static_cast<PyObject**>(PyArray_DATA(array));
}

template <class T>
const T* values_of(PyObject* given, Ref& owner, int type, std::size_t rows, const char* name) {
    owner = Ref{PyArray_FROMANY(given, type, 1, 1, NPY_ARRAY_IN_ARRAY)};
    if (!owner)
        return nullptr;
    auto* array = reinterpret_cast<PyArrayObject*>(owner.get());
    if (static_cast<std::size_t>(PyArray_DIM(array, 0)) != rows) {
        PyErr_Format(PyExc_ValueError, "table_rows: %s has another length", name);
        return nullptr;
    }
    return static_cast<const T*>(PyArray_DATA(array));
}

// The variant of two alleles given as str, with the trimmed alleles as UTF-8 in `ref` and
// `alt` (views of the str objects, or of `held` for text beyond ASCII).
struct Alleles {
    Variant<char> variant; // for text beyond ASCII: its fault, kind, start and the UTF-8 alleles
    WidePosition end = 0;  // counted in characters
    std::string held_ref;
    std::string held_alt;
};

bool append_utf8(std::u32string_view text, std::string& out) {
    Ref object{PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, text.data(),
                                         static_cast<Py_ssize_t>(text.size()))};
    std::string_view bytes;
    if (!object || !utf8_of(object.get(), bytes))
        return false;
    out.assign(bytes);
    return true;
}

bool classify_alleles(std::uint64_t position, PyObject* ref, PyObject* alt, Alleles& out) {
    if (!PyUnicode_Check(ref) || !PyUnicode_Check(alt)) {
        PyErr_SetString(PyExc_TypeError, "table_rows: an allele is not str");
        return false;
    }
    if (PyUnicode_IS_ASCII(ref) && PyUnicode_IS_ASCII(alt)) {
        out.variant =
            classify<char>(position,
                           std::string_view(static_cast<const char*>(PyUnicode_DATA(ref)),
                                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(ref))),
                           std::string_view(static_cast<const char*>(PyUnicode_DATA(alt)),
                                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(alt))));
        out.end = out.variant.end();
        return true;
    }
    // Beyond ASCII: classified by code points, as the characters a reader sees.
    std::unique_ptr<Py_UCS4, decltype(&PyMem_Free)> ref_points{PyUnicode_AsUCS4Copy(ref),
                                                               &PyMem_Free};
    std::unique_ptr<Py_UCS4, decltype(&PyMem_Free)> alt_points{PyUnicode_AsUCS4Copy(alt),
                                                               &PyMem_Free};
    if (!ref_points || !alt_points)
        return false;
    static_assert(sizeof(Py_UCS4) == sizeof(char32_t));
    const std::u32string_view ref_text(reinterpret_cast<const char32_t*>(ref_points.get()),
                                       static_cast<std::size_t>(PyUnicode_GET_LENGTH(ref)));
    const std::u32string_view alt_text(reinterpret_cast<const char32_t*>(alt_points.get()),
                                       static_cast<std::size_t>(PyUnicode_GET_LENGTH(alt)));
    const Variant<char32_t> wide = classify<char32_t>(position, ref_text, alt_text);
    out.variant = Variant<char>{};
    out.variant.fault = wide.fault;
    out.variant.kind = wide.kind;
    out.variant.start = wide.start;
    out.end = wide.end();
    if (wide.fault != AlleleFault::none)
        return true;
    if (!append_utf8(wide.ref, out.held_ref) || !append_utf8(wide.alt, out.held_alt))
        return false;
    out.variant.ref = out.held_ref;
    out.variant.alt = out.held_alt;
    return true;
}

// Where the records of one build and chromosome go, as `place` said.
struct Place {
    PyObject* written_build = nullptr; // borrowed from the columns: the key
    PyObject* written_chromosome = nullptr;
    Ref build;  // the build folder
    Ref target; // the chromosome as the row names it
    Ref reason; // not None: the records are left out
    std::string_view build_text;
    std::string_view target_text;
};

// Fills `where` from `found`, what `place` returned: (build folder, target, reason); false
// with an exception set.
bool place_of(PyObject* found, Place& where) {
    PyObject* build = nullptr;
    PyObject* target = nullptr;
    PyObject* reason = nullptr;
    if (!PyArg_ParseTuple(found, "UOO:place", &build, &target, &reason))
        return false;
    where.build = py::new_ref(build);
    where.target = py::new_ref(target);
    where.reason = py::new_ref(reason);
    return utf8_of(build, where.build_text) &&
           (reason != Py_None || utf8_of(target, where.target_text));
}

// Counts of records left out, by (reason, chromosome), in the order first met.
struct LeftOutCounts {
    struct Entry {
        Ref reason;
        PyObject* chromosome; // borrowed from the columns
        std::uint64_t count;
    };
    std::vector<Entry> entries;

    bool add(PyObject* reason, PyObject* chromosome, std::uint64_t count = 1) {
        for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
            if (it->reason.get() == reason && it->chromosome == chromosome) {
                it->count += count;
                return true;
            }
        }
        // Equal texts in other objects: one entry (the list stays short, a few reasons and
        // the chromosomes of one batch).
        for (auto& entry : entries) {
            const int same_reason = PyObject_RichCompareBool(entry.reason.get(), reason, Py_EQ);
            if (same_reason < 0)
                return false;
            if (!same_reason)
                continue;
            const int same = PyObject_RichCompareBool(entry.chromosome, chromosome, Py_EQ);
            if (same < 0)
                return false;
            if (same) {
                entry.count += count;
                return true;
            }
        }
        entries.push_back({py::new_ref(reason), chromosome, count});
        return true;
    }

    // The entries as a list of (reason, chromosome, records), or nullptr (exception set).
    [[nodiscard]] PyObject* list() const {
        Ref counts{PyList_New(static_cast<Py_ssize_t>(entries.size()))};
        if (!counts)
            return nullptr;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const auto& entry = entries[i];
            PyObject* item = Py_BuildValue("(OOK)", entry.reason.get(), entry.chromosome,
                                           static_cast<unsigned long long>(entry.count));
            if (item == nullptr)
                return nullptr;
            PyList_SET_ITEM(counts.get(), static_cast<Py_ssize_t>(i), item);
        }
        return counts.release();
    }
};

bool same_text(PyObject* a, PyObject* b, bool& same) {
    if (a == b) {
        same = true;
        return true;
    }
    const int equal = PyObject_RichCompareBool(a, b, Py_EQ);
    if (equal < 0)
        return false;
    same = equal != 0;
    return true;
}

PyObject* table_rows_call(PyObject* /*module*/, PyObject* args) noexcept {
    PyObject* sample_given = nullptr;
    PyObject* ident_given = nullptr;
    PyObject* build_given = nullptr;
    PyObject* chromosome_given = nullptr;
    PyObject* position_given = nullptr;
    PyObject* ref_given = nullptr;
    PyObject* alt_given = nullptr;
    PyObject* line_given = nullptr;
    PyObject* project = nullptr;
    PyObject* place = nullptr;
    PyObject* not_variant = nullptr;
    PyObject* symbolic = nullptr;
    if (!PyArg_ParseTuple(args, "OOOOOOOOUO(UU):table_rows", &sample_given, &ident_given,
                          &build_given, &chromosome_given, &position_given, &ref_given, &alt_given,
                          &line_given, &project, &place, &not_variant, &symbolic))
        return nullptr;
    if (!PyCallable_Check(place)) {
        PyErr_SetString(PyExc_TypeError, "table_rows: place must be callable");
        return nullptr;
    }
    try {
        Ref owners[8];
        Ref array{PyArray_FROMANY(position_given, NPY_UINT64, 1, 1, NPY_ARRAY_IN_ARRAY)};
        if (!array)
            return nullptr;
        const auto rows = static_cast<std::size_t>(
            PyArray_DIM(reinterpret_cast<PyArrayObject*>(array.get()), 0));
        const auto* positions = static_cast<const std::uint64_t*>(
            PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
        PyObject** samples = objects_of(sample_given, owners[0], rows, "sample");
        PyObject** idents = samples ? objects_of(ident_given, owners[1], rows, "ident") : nullptr;
        PyObject** builds = idents ? objects_of(build_given, owners[2], rows, "build") : nullptr;
        PyObject** chromosomes =
            builds ? objects_of(chromosome_given, owners[3], rows, "chromosome") : nullptr;
        PyObject** refs = chromosomes ? objects_of(ref_given, owners[4], rows, "ref") : nullptr;
        PyObject** alts = refs ? objects_of(alt_given, owners[5], rows, "alt") : nullptr;
        const std::int64_t* lines =
            alts ? values_of<std::int64_t>(line_given, owners[6], NPY_INT64, rows, "line")
                 : nullptr;
        if (lines == nullptr)
            return nullptr;
        std::string_view project_text;
        if (!utf8_of(project, project_text))
            return nullptr;

        BytesOut out;
        // Room for rows a little longer than the usual: pages not written are never touched,
        // and growing would copy what is written.
        if (!out.start(rows * 96))
            return nullptr;
        std::string tail; // the row after its sample, of the record before
        bool tail_valid = false;
        std::size_t written = 0;
        Place where;
        bool placed = false;
        LeftOutCounts left_out;
        Ref missing{PyList_New(0)};
        if (!missing)
            return nullptr;
        std::uint64_t missing_count = 0;
        Alleles alleles;
        for (std::size_t i = 0; i < rows; ++i) {
            // The same record as the row before, for another sample: the same tail.
            const bool same_record =
                i > 0 && tail_valid && idents[i] == idents[i - 1] && builds[i] == builds[i - 1] &&
                chromosomes[i] == chromosomes[i - 1] && refs[i] == refs[i - 1] &&
                alts[i] == alts[i - 1] && positions[i] == positions[i - 1];
            if (!same_record) {
                tail_valid = false;
                bool same_place = placed;
                if (same_place && !same_text(where.written_build, builds[i], same_place))
                    return nullptr;
                if (same_place && !same_text(where.written_chromosome, chromosomes[i], same_place))
                    return nullptr;
                if (!same_place) {
                    Ref found{PyObject_CallFunction(place, "OOL", builds[i], chromosomes[i],
                                                    static_cast<long long>(lines[i]))};
                    if (!found || !place_of(found.get(), where))
                        return nullptr;
                    where.written_build = builds[i];
                    where.written_chromosome = chromosomes[i];
                    placed = true;
                }
                if (where.reason.get() != Py_None) {
                    if (!left_out.add(where.reason.get(), chromosomes[i]))
                        return nullptr;
                    ++missing_count;
                    if (PyList_GET_SIZE(missing.get()) < static_cast<Py_ssize_t>(missing_kept)) {
                        Ref pair{PyTuple_Pack(2, where.build.get(), chromosomes[i])};
                        if (!pair || PyList_Append(missing.get(), pair.get()) != 0)
                            return nullptr;
                    }
                    continue;
                }
                if (!classify_alleles(positions[i], refs[i], alts[i], alleles))
                    return nullptr;
                const Variant<char>& variant = alleles.variant;
                if (variant.fault != AlleleFault::none) {
                    if (!left_out.add(variant.fault == AlleleFault::symbolic ? symbolic
                                                                             : not_variant,
                                      chromosomes[i]))
                        return nullptr;
                    continue;
                }
                std::string_view ident;
                if (!utf8_of(idents[i], ident))
                    return nullptr;
                tail.clear();
                append_row_tail(tail, project_text, ident, where.build_text, variant.kind,
                                where.target_text, variant.start, alleles.end, variant.ref,
                                variant.alt);
                tail_valid = true;
            }
            std::string_view sample;
            if (!utf8_of(samples[i], sample))
                return nullptr;
            if (!out.append(sample) || !out.append(tail))
                return nullptr;
            ++written;
        }
        Ref text{out.finish()};
        Ref counts{text ? left_out.list() : nullptr};
        if (!counts)
            return nullptr;
        return Py_BuildValue("(NnNNK)", text.release(), static_cast<Py_ssize_t>(written),
                             counts.release(), missing.release(),
                             static_cast<unsigned long long>(missing_count));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// A str of valid UTF-8 bytes upper-cased as Python does (an allele beyond ASCII, as the
// scanner's batches hand it to Python).
Ref upper_text(std::string_view bytes) {
    Ref text{PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict")};
    if (!text)
        return text;
    return Ref{PyObject_CallMethod(text.get(), "upper", nullptr)};
}

bool is_ascii(std::string_view bytes) {
    return std::all_of(bytes.begin(), bytes.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

} // namespace

PyObject* batch_rows(const VcfBatch& batch, PyObject* samples, PyObject* project, PyObject* build,
                     PyObject* place, PyObject* not_variant, PyObject* symbolic) noexcept {
    try {
        std::string_view project_text;
        if (!utf8_of(project, project_text))
            return nullptr;
        std::vector<std::string_view> sample_texts(
            static_cast<std::size_t>(PyList_GET_SIZE(samples)));
        for (std::size_t i = 0; i < sample_texts.size(); ++i)
            if (!utf8_of(PyList_GET_ITEM(samples, static_cast<Py_ssize_t>(i)), sample_texts[i]))
                return nullptr;
        for (const std::uint32_t sample : batch.carrier_sample) {
            if (sample >= sample_texts.size()) {
                PyErr_SetString(PyExc_ValueError, "next_rows: fewer sample names than columns");
                return nullptr;
            }
        }
        Ref names = list_of(batch.names);
        if (!names)
            return nullptr;
        // Where the records of each chromosome of the batch go, asked of `place` once each.
        std::vector<Place> places(batch.names.size());
        std::vector<std::uint8_t> placed(batch.names.size(), 0);
        BytesOut out;
        if (!out.start(batch.records() * 96))
            return nullptr;
        std::string tail;
        std::size_t written = 0;
        LeftOutCounts left_out;
        Ref missing{PyList_New(0)};
        if (!missing)
            return nullptr;
        std::uint64_t missing_count = 0;
        Alleles alleles;
        for (std::size_t i = 0; i < batch.rows(); ++i) {
            const std::uint32_t name = batch.chromosome[i];
            PyObject* chromosome = PyList_GET_ITEM(names.get(), name);
            Place& where = places[name];
            if (!placed[name]) {
                Ref found{PyObject_CallFunction(place, "OOK", build, chromosome,
                                                static_cast<unsigned long long>(batch.line[i]))};
                if (!found || !place_of(found.get(), where))
                    return nullptr;
                placed[name] = 1;
            }
            const std::uint64_t first = batch.carrier_start[i];
            const std::uint64_t carriers = batch.carrier_start[i + 1] - first;
            if (where.reason.get() != Py_None) {
                if (!left_out.add(where.reason.get(), chromosome, carriers))
                    return nullptr;
                missing_count += carriers;
                for (std::uint64_t k = 0;
                     k < carriers &&
                     PyList_GET_SIZE(missing.get()) < static_cast<Py_ssize_t>(missing_kept);
                     ++k) {
                    Ref pair{PyTuple_Pack(2, where.build.get(), chromosome)};
                    if (!pair || PyList_Append(missing.get(), pair.get()) != 0)
                        return nullptr;
                }
                continue;
            }
            const std::string_view ref = batch.ref.at(i);
            const std::string_view alt = batch.alt.at(i);
            if (is_ascii(ref) && is_ascii(alt)) {
                alleles.variant = classify<char>(batch.position[i], ref, alt);
                alleles.end = alleles.variant.end();
            } else {
                const Ref ref_text = upper_text(ref);
                const Ref alt_text = ref_text ? upper_text(alt) : Ref{};
                if (!alt_text ||
                    !classify_alleles(batch.position[i], ref_text.get(), alt_text.get(), alleles))
                    return nullptr;
            }
            const Variant<char>& variant = alleles.variant;
            if (variant.fault != AlleleFault::none) {
                if (!left_out.add(variant.fault == AlleleFault::symbolic ? symbolic : not_variant,
                                  chromosome, carriers))
                    return nullptr;
                continue;
            }
            tail.clear();
            append_row_tail(tail, project_text, batch.id.at(i), where.build_text, variant.kind,
                            where.target_text, variant.start, alleles.end, variant.ref,
                            variant.alt);
            for (std::uint64_t k = first; k < first + carriers; ++k) {
                if (!out.append(sample_texts[batch.carrier_sample[k]]) || !out.append(tail))
                    return nullptr;
            }
            written += carriers;
        }
        Ref text{out.finish()};
        Ref counts{text ? left_out.list() : nullptr};
        if (!counts)
            return nullptr;
        Ref scanned{left_out_of(batch, names.get())};
        if (!scanned)
            return nullptr;
        return Py_BuildValue("{s:N,s:n,s:K,s:N,s:N,s:K,s:N}", "text", text.release(), "rows",
                             static_cast<Py_ssize_t>(written), "records",
                             static_cast<unsigned long long>(batch.records()), "dropped",
                             counts.release(), "missing", missing.release(), "missing_count",
                             static_cast<unsigned long long>(missing_count), "left_out",
                             scanned.release());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyMethodDef table_rows_method = {"table_rows", reinterpret_cast<PyCFunction>(table_rows_call),
                                 METH_VARARGS, doc};

} // namespace mutflank::engine
