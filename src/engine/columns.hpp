// The pieces that the engine's scanner types (vcf.cpp, bcf.cpp, maf.cpp, mutation_tables.cpp)
// all use to hand a batch to Python: NumPy columns, lists of str, dict entries, fault names,
// the GIL released around a read.
#pragma once

#include "numpy.hpp"

#include <cstddef>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "text_stream.hpp"
#include "vcf_scanner.hpp" // TextColumn

namespace mutflank::engine {

inline const char* stream_name(StreamFault::Kind kind) {
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

// A NumPy array of `count` values of `type`, copied from `data`.
template <class T> py::Ref array_of(const T* data, std::size_t count, int type) {
    npy_intp dims[1] = {static_cast<npy_intp>(count)};
    py::Ref array{PyArray_SimpleNew(1, dims, type)};
    if (array && count > 0)
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), data,
                    count * sizeof(T));
    return array;
}

template <class T> py::Ref array_of(const std::vector<T>& values, int type) {
    return array_of(values.data(), values.size(), type);
}

// The data of a NumPy array, as values of T.
template <class T> T* data_of(PyObject* array) {
    return static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
}
template <class T> T* data_of(const py::Ref& array) { return data_of<T>(array.get()); }

// A contiguous 1-d array of `type` made of `object`; with `count` >= 0, of that length, else
// ValueError(`mismatch`). Empty with an exception set when it is not one.
inline py::Ref column_of(PyObject* object, int type, npy_intp count, const char* mismatch) {
    py::Ref array{PyArray_FROMANY(object, type, 1, 1, NPY_ARRAY_IN_ARRAY)};
    if (array && count >= 0 &&
        PyArray_DIM(reinterpret_cast<PyArrayObject*>(array.get()), 0) != count) {
        PyErr_SetString(PyExc_ValueError, mismatch);
        return py::Ref{};
    }
    return array;
}

inline py::Ref object_array(std::size_t count) {
    npy_intp dims[1] = {static_cast<npy_intp>(count)};
    return py::Ref{PyArray_SimpleNew(1, dims, NPY_OBJECT)};
}

// A str of valid UTF-8 bytes; upper-cased as Python does when `upper` and it is not ASCII
// (the core upper-cased the ASCII letters). Empty with an exception set on failure.
inline py::Ref text_of(std::string_view bytes, bool upper = false) {
    py::Ref text{
        PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict")};
    if (!text || !upper || PyUnicode_IS_ASCII(text.get()))
        return text;
    return py::Ref{PyObject_CallMethod(text.get(), "upper", nullptr)};
}

// An object array of `slots` entries holding a text column's `rows` rows: row i fills the
// slots first(i) to first(i + 1), and a row equal to the one before shares its str.
template <class First>
py::Ref texts_of(const TextColumn& column, std::size_t rows, std::size_t slots, First first,
                 bool upper) {
    py::Ref array = object_array(slots);
    if (!array)
        return array;
    auto** out =
        static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    py::Ref text;
    std::string_view text_bytes;
    for (std::size_t i = 0; i < rows; ++i) {
        const std::string_view bytes = column.at(i);
        if (!text || bytes != text_bytes) {
            text = text_of(bytes, upper);
            if (!text)
                return nullptr;
            text_bytes = bytes;
        }
        for (std::size_t k = first(i), end = first(i + 1); k < end; ++k) {
            Py_INCREF(text.get());
            Py_XDECREF(out[k]);
            out[k] = text.get();
        }
    }
    return array;
}

// An object array of a text column's rows, one slot each.
inline py::Ref texts_of(const TextColumn& column, std::size_t rows) {
    return texts_of(column, rows, rows, [](std::size_t i) { return i; }, false);
}

// A list of str of the given texts (valid UTF-8); empty with an exception set on failure.
inline py::Ref list_of(const std::vector<std::string>& texts) {
    py::Ref list{PyList_New(static_cast<Py_ssize_t>(texts.size()))};
    if (!list)
        return list;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        py::Ref text = text_of(texts[i]);
        if (!text)
            return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text.release());
    }
    return list;
}

// A list of (reason, chromosome, count) for entries whose chromosome is text as written;
// nullptr with an exception set.
template <class Entry> py::Ref left_out_list(const std::vector<Entry>& entries) {
    py::Ref list{PyList_New(static_cast<Py_ssize_t>(entries.size()))};
    if (!list)
        return list;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto& entry = entries[i];
        PyObject* item =
            Py_BuildValue("(is#K)", static_cast<int>(entry.reason), entry.chromosome.data(),
                          static_cast<Py_ssize_t>(entry.chromosome.size()),
                          static_cast<unsigned long long>(entry.count));
        if (item == nullptr)
            return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

// Sets `key` of `dict` to `value`, which it takes; false (exception set) on failure.
inline bool put(PyObject* dict, const char* key, py::Ref value) {
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

// Runs `step` with the GIL released; false when it ran out of memory.
template <class Step> bool run_released(Step&& step) noexcept {
    bool no_memory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        step();
    } catch (const std::bad_alloc&) {
        no_memory = true;
    }
    Py_END_ALLOW_THREADS
    return !no_memory;
}

} // namespace mutflank::engine
