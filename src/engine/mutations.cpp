// allele_classes: the shape of each pair of alleles; fingerprints and MutationSet: each
// mutation of a matrix column counted once.
#include "numpy.hpp"

#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "allele_class.hpp"
#include "columns.hpp"
#include "doublet_merger.hpp"
#include "functions.hpp"
#include "heap_type.hpp"
#include "mutation_set.hpp"

namespace mutflank::engine {
using py::Ref;
namespace {

constexpr const char* fingerprints_doc =
    "fingerprints(inputs, samples, chromosomes, positions, refs, alts) -> (first, second)\n\n"
    "Two uint64 words per mutation, the same in every process: `inputs` an int64 array of\n"
    "input numbers (a column per input and sample) or None (a column per sample name),\n"
    "`positions` integers, the others object arrays of str, all of one length.";

// A contiguous 1-d array of `type` made of `object`, of `count` rows; empty with an exception
// set when it is not one.
Ref column_of(PyObject* object, int type, npy_intp count, const char* name) {
    Ref array{PyArray_FROMANY(object, type, 1, 1, NPY_ARRAY_IN_ARRAY)};
    if (array && PyArray_DIM(reinterpret_cast<PyArrayObject*>(array.get()), 0) != count) {
        PyErr_Format(PyExc_ValueError, "%s has another length", name);
        return nullptr;
    }
    return array;
}

// The UTF-8 bytes of a str; false with an exception set when it is no str.
bool utf8_of(PyObject* text, std::string_view& bytes) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr)
        return false;
    bytes = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}


PyObject* fingerprints_call(PyObject* /*module*/, PyObject* args) noexcept {
    PyObject* inputs_object = nullptr;
    PyObject* objects[5] = {};
    if (!PyArg_ParseTuple(args, "OOOOOO:fingerprints", &inputs_object, &objects[0],
                          &objects[1], &objects[2], &objects[3], &objects[4]))
        return nullptr;
    Ref positions{PyArray_FROMANY(objects[2], NPY_UINT64, 1, 1, NPY_ARRAY_IN_ARRAY)};
    if (!positions)
        return nullptr;
    const npy_intp count = PyArray_DIM(reinterpret_cast<PyArrayObject*>(positions.get()), 0);
    Ref samples = column_of(objects[0], NPY_OBJECT, count, "samples");
    Ref chromosomes = samples ? column_of(objects[1], NPY_OBJECT, count, "chromosomes") : nullptr;
    Ref refs = chromosomes ? column_of(objects[3], NPY_OBJECT, count, "refs") : nullptr;
    Ref alts = refs ? column_of(objects[4], NPY_OBJECT, count, "alts") : nullptr;
    if (!alts)
        return nullptr;
    Ref inputs;
    if (inputs_object != Py_None) {
        inputs = column_of(inputs_object, NPY_INT64, count, "inputs");
        if (!inputs)
            return nullptr;
    }
    npy_intp dims[1] = {count};
    Ref first{PyArray_SimpleNew(1, dims, NPY_UINT64)};
    Ref second{first ? PyArray_SimpleNew(1, dims, NPY_UINT64) : nullptr};
    if (!second)
        return nullptr;
    PyObject** columns[4] = {data_of<PyObject*>(samples), data_of<PyObject*>(chromosomes),
                             data_of<PyObject*>(refs), data_of<PyObject*>(alts)};
    const auto* position = data_of<std::uint64_t>(positions);
    const auto* input = inputs ? data_of<std::int64_t>(inputs) : nullptr;
    auto* first_words = data_of<std::uint64_t>(first);
    auto* second_words = data_of<std::uint64_t>(second);
    try {
        Fingerprinter fingerprinter;
        std::string_view texts[4];
        for (npy_intp i = 0; i < count; ++i) {
            for (int column = 0; column < 4; ++column)
                if (!utf8_of(columns[column][i], texts[column]))
                    return nullptr;
            const Fingerprint fingerprint = fingerprinter.of(
                input ? input[i] : -1, texts[0], texts[1], position[i], texts[2], texts[3]);
            first_words[i] = fingerprint.first;
            second_words[i] = fingerprint.second;
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    return PyTuple_Pack(2, first.get(), second.get());
}

constexpr const char* allele_classes_doc =
    "allele_classes(refs, alts) -> uint8 array\n\n"
    "The class of each pair of alleles (object arrays of str, one length): 0 none, 1 one\n"
    "base of A, C, G, T replaced, 2 two, 3 alleles of A, C, G, T of one length, three or\n"
    "more, 4 an insertion or deletion (lengths differ, or '-').";

PyObject* allele_classes_call(PyObject* /*module*/, PyObject* args) noexcept {
    PyObject* ref_object = nullptr;
    PyObject* alt_object = nullptr;
    if (!PyArg_ParseTuple(args, "OO:allele_classes", &ref_object, &alt_object))
        return nullptr;
    Ref refs{PyArray_FROMANY(ref_object, NPY_OBJECT, 1, 1, NPY_ARRAY_IN_ARRAY)};
    if (!refs)
        return nullptr;
    const npy_intp count = PyArray_DIM(reinterpret_cast<PyArrayObject*>(refs.get()), 0);
    Ref alts = column_of(alt_object, NPY_OBJECT, count, "alts");
    if (!alts)
        return nullptr;
    npy_intp dims[1] = {count};
    Ref result{PyArray_SimpleNew(1, dims, NPY_UINT8)};
    if (!result)
        return nullptr;
    PyObject** ref = data_of<PyObject*>(refs);
    PyObject** alt = data_of<PyObject*>(alts);
    auto* classes = data_of<std::uint8_t>(result);
    std::string_view ref_text;
    std::string_view alt_text;
    for (npy_intp i = 0; i < count; ++i) {
        if (!utf8_of(ref[i], ref_text) || !utf8_of(alt[i], alt_text))
            return nullptr;
        classes[i] = static_cast<std::uint8_t>(allele_class(ref_text, alt_text));
    }
    return result.release();
}

constexpr const char* text_lengths_doc =
    "text_lengths(texts) -> int64 array\n\n"
    "len() of each str of an object array, without a Python call per item.";

PyObject* text_lengths_call(PyObject* /*module*/, PyObject* args) noexcept {
    PyObject* text_object = nullptr;
    if (!PyArg_ParseTuple(args, "O:text_lengths", &text_object))
        return nullptr;
    Ref texts{PyArray_FROMANY(text_object, NPY_OBJECT, 1, 1, NPY_ARRAY_IN_ARRAY)};
    if (!texts)
        return nullptr;
    const npy_intp count = PyArray_DIM(reinterpret_cast<PyArrayObject*>(texts.get()), 0);
    npy_intp dims[1] = {count};
    Ref result{PyArray_SimpleNew(1, dims, NPY_INT64)};
    if (!result)
        return nullptr;
    PyObject** text = data_of<PyObject*>(texts);
    auto* lengths = data_of<std::int64_t>(result);
    for (npy_intp i = 0; i < count; ++i) {
        if (!PyUnicode_Check(text[i])) {
            PyErr_Format(PyExc_TypeError, "text_lengths: item %zd is not a str", i);
            return nullptr;
        }
        lengths[i] = PyUnicode_GET_LENGTH(text[i]);
    }
    return result.release();
}

constexpr const char* pair_codes_doc =
    "pair_codes(indexes, samples) -> (pairs, codes)\n\n"
    "The distinct (input index, sample) pairs of some records (`indexes` int64, `samples` an\n"
    "object array of str) as a list of tuples in the order they first come, and the number\n"
    "of each record's pair among them (int64).";

PyObject* pair_codes_call(PyObject* /*module*/, PyObject* args) noexcept {
    PyObject* index_object = nullptr;
    PyObject* sample_object = nullptr;
    if (!PyArg_ParseTuple(args, "OO:pair_codes", &index_object, &sample_object))
        return nullptr;
    Ref indexes{PyArray_FROMANY(index_object, NPY_INT64, 1, 1, NPY_ARRAY_IN_ARRAY)};
    if (!indexes)
        return nullptr;
    const npy_intp count = PyArray_DIM(reinterpret_cast<PyArrayObject*>(indexes.get()), 0);
    Ref samples = column_of(sample_object, NPY_OBJECT, count, "samples");
    if (!samples)
        return nullptr;
    npy_intp dims[1] = {count};
    Ref codes{PyArray_SimpleNew(1, dims, NPY_INT64)};
    Ref pairs{codes ? PyList_New(0) : nullptr};
    if (!pairs)
        return nullptr;
    const auto* index = data_of<std::int64_t>(indexes);
    PyObject** sample = data_of<PyObject*>(samples);
    auto* code = data_of<std::int64_t>(codes);
    try {
        NameCodes known;
        std::string key;
        PyObject* previous = nullptr; // records come in runs of one sample
        std::int64_t previous_index = 0;
        std::int64_t previous_code = 0;
        for (npy_intp i = 0; i < count; ++i) {
            if (sample[i] != previous || index[i] != previous_index) {
                std::string_view text;
                if (!utf8_of(sample[i], text))
                    return nullptr;
                key.assign(reinterpret_cast<const char*>(&index[i]), sizeof index[i]);
                key.append(text);
                const std::size_t before = known.size();
                previous_code = known.code(key);
                if (known.size() > before) {
                    Ref pair{Py_BuildValue("(LO)", static_cast<long long>(index[i]), sample[i])};
                    if (!pair || PyList_Append(pairs.get(), pair.get()) < 0)
                        return nullptr;
                }
                previous = sample[i];
                previous_index = index[i];
            }
            code[i] = previous_code;
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    return PyTuple_Pack(2, pairs.get(), codes.get());
}

constexpr const char* set_doc =
    "MutationSet()\n\n"
    "The fingerprints of the mutations counted so far (see fingerprints).\n"
    "first_times(first, second) -> bool array: which mutations are new, seen neither before\n"
    "nor earlier among these; they are remembered.\n"
    "first_times(first, second, lanes, chromosomes, positions): the same, of records in\n"
    "lanes (int64: a mutation is always of the same lane) that mostly come sorted by\n"
    "chromosome (object array of str) and position: a lane in that order is searched for\n"
    "repeats among the records of one position only. A set takes one form of call.";

struct SetObject {
    PyObject_HEAD
    MutationSet* set;          // owned
    OrderedMutations* ordered; // owned; made at the first call with lanes
    NameCodes* chromosomes;    // owned, with `ordered`
};

// The NameCodes of each str of `names` (object array of `count`); false with an exception
// set. Records come in runs of one chromosome: a run's name is looked up once.
bool name_codes(PyObject* names_object, npy_intp count, NameCodes& codes,
                std::vector<std::uint32_t>& out) {
    Ref names = column_of(names_object, NPY_OBJECT, count, "chromosomes");
    if (!names)
        return false;
    auto* const* name = data_of<PyObject*>(names);
    out.resize(static_cast<std::size_t>(count));
    PyObject* previous = nullptr;
    std::uint32_t code = 0;
    for (npy_intp i = 0; i < count; ++i) {
        if (name[i] != previous) {
            std::string_view text;
            if (!utf8_of(name[i], text))
                return false;
            code = codes.code(text);
            previous = name[i];
        }
        out[static_cast<std::size_t>(i)] = code;
    }
    return true;
}

int set_init(PyObject* object, PyObject* args, PyObject* kwargs) noexcept {
    if (!PyArg_ParseTuple(args, ":MutationSet") || (kwargs && PyDict_Size(kwargs) > 0)) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_TypeError, "MutationSet() takes no arguments");
        return -1;
    }
    auto* self = reinterpret_cast<SetObject*>(object);
    delete self->set;
    delete self->ordered;
    delete self->chromosomes;
    self->ordered = nullptr;
    self->chromosomes = nullptr;
    self->set = new (std::nothrow) MutationSet();
    if (self->set == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

PyObject* first_times(PyObject* object, PyObject* args) noexcept {
    auto* self = reinterpret_cast<SetObject*>(object);
    PyObject* first_object = nullptr;
    PyObject* second_object = nullptr;
    PyObject* lanes_object = nullptr;
    PyObject* chromosomes_object = nullptr;
    PyObject* positions_object = nullptr;
    if (!PyArg_ParseTuple(args, "OO|OOO:first_times", &first_object, &second_object,
                          &lanes_object, &chromosomes_object, &positions_object))
        return nullptr;
    const bool by_lane = lanes_object != nullptr;
    if (by_lane && positions_object == nullptr) {
        PyErr_SetString(PyExc_TypeError,
                        "first_times: give lanes with chromosomes and positions");
        return nullptr;
    }
    if (self->set == nullptr) {
        PyErr_SetString(PyExc_ValueError, "MutationSet: not initialised");
        return nullptr;
    }
    Ref first{PyArray_FROMANY(first_object, NPY_UINT64, 1, 1, NPY_ARRAY_IN_ARRAY)};
    if (!first)
        return nullptr;
    const npy_intp count = PyArray_DIM(reinterpret_cast<PyArrayObject*>(first.get()), 0);
    Ref second = column_of(second_object, NPY_UINT64, count, "second");
    if (!second)
        return nullptr;
    npy_intp dims[1] = {count};
    Ref result{PyArray_SimpleNew(1, dims, NPY_BOOL)};
    if (!result)
        return nullptr;
    const auto* a = data_of<std::uint64_t>(first);
    const auto* b = data_of<std::uint64_t>(second);
    static_assert(sizeof(npy_bool) == sizeof(std::uint8_t));
    auto* is_new = data_of<std::uint8_t>(result);
    const auto size = static_cast<std::size_t>(count);
    if (!by_lane) {
        MutationSet& set = *self->set;
        if (!run_released([&] { set.insert({a, size}, {b, size}, {is_new, size}); }))
            return PyErr_NoMemory();
        return result.release();
    }
    Ref lanes = column_of(lanes_object, NPY_INT64, count, "lanes");
    if (!lanes)
        return nullptr;
    Ref positions = column_of(positions_object, NPY_UINT64, count, "positions");
    if (!positions)
        return nullptr;
    std::vector<std::uint32_t> chromosome_codes;
    try {
        // Each on its own: a failed second allocation leaves the first for the next call.
        if (self->ordered == nullptr)
            self->ordered = new OrderedMutations();
        if (self->chromosomes == nullptr)
            self->chromosomes = new NameCodes();
        if (!name_codes(chromosomes_object, count, *self->chromosomes, chromosome_codes))
            return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    const OrderedMutations::Rows rows{{a, size},
                                      {b, size},
                                      {data_of<std::int64_t>(lanes), size},
                                      {chromosome_codes.data(), size},
                                      {data_of<std::uint64_t>(positions), size}};
    OrderedMutations& ordered = *self->ordered;
    if (!run_released([&] { ordered.insert(rows, {is_new, size}); }))
        return PyErr_NoMemory();
    return result.release();
}

Py_ssize_t set_len(PyObject* object) noexcept {
    const auto* self = reinterpret_cast<SetObject*>(object);
    if (self->ordered != nullptr)
        return static_cast<Py_ssize_t>(self->ordered->size());
    return static_cast<Py_ssize_t>(self->set ? self->set->size() : 0);
}

void set_dealloc(PyObject* object) noexcept {
    auto* self = reinterpret_cast<SetObject*>(object);
    delete self->set;
    delete self->ordered;
    delete self->chromosomes;
    self->set = nullptr;
    self->ordered = nullptr;
    self->chromosomes = nullptr;
    free_object(object);
}

PyMethodDef set_methods[] = {
    {"first_times", first_times, METH_VARARGS,
     "Which mutations (first, second: uint64 arrays; lanes, chromosomes, positions: see the type) are new; they are remembered."},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

PyMethodDef allele_classes_method = {"allele_classes",
                                     reinterpret_cast<PyCFunction>(allele_classes_call),
                                     METH_VARARGS, allele_classes_doc};

PyMethodDef text_lengths_method = {"text_lengths",
                                   reinterpret_cast<PyCFunction>(text_lengths_call),
                                   METH_VARARGS, text_lengths_doc};

PyMethodDef pair_codes_method = {"pair_codes", reinterpret_cast<PyCFunction>(pair_codes_call),
                                 METH_VARARGS, pair_codes_doc};

PyMethodDef fingerprints_method = {"fingerprints",
                                   reinterpret_cast<PyCFunction>(fingerprints_call),
                                   METH_VARARGS, fingerprints_doc};

bool add_mutation_set(PyObject* module) noexcept {
    return add_type(module, "mutflank_tools._engine.MutationSet", sizeof(SetObject), set_doc,
                    set_init, set_dealloc, set_methods,
                    {{Py_sq_length, reinterpret_cast<void*>(set_len)}});
}

} // namespace mutflank::engine
