// The pieces that the engine's scanner types (vcf.cpp, bcf.cpp, maf.cpp, mutation_tables.cpp)
// all use to hand a batch to Python: NumPy columns, dict entries, fault names, the type's
// object lifetime.
#pragma once

#include "numpy.hpp"

#include <cstddef>
#include <cstring>
#include <new>
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

inline py::Ref object_array(std::size_t count) {
    npy_intp dims[1] = {static_cast<npy_intp>(count)};
    return py::Ref{PyArray_SimpleNew(1, dims, NPY_OBJECT)};
}

// An object array of a text column's rows (valid UTF-8); a row equal to the one before shares
// its str.
inline py::Ref texts_of(const TextColumn& column, std::size_t rows) {
    py::Ref array = object_array(rows);
    if (!array)
        return array;
    auto** slots =
        static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    PyObject* previous = nullptr;
    std::string_view previous_bytes;
    for (std::size_t i = 0; i < rows; ++i) {
        const std::string_view bytes = column.at(i);
        if (previous == nullptr || bytes != previous_bytes) {
            py::Ref text{PyUnicode_DecodeUTF8(bytes.data(),
                                              static_cast<Py_ssize_t>(bytes.size()), "strict")};
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

// The end of a heap type's tp_dealloc, once the object's own resources are released.
inline void free_object(PyObject* object) noexcept {
    PyTypeObject* type = Py_TYPE(object);
    type->tp_free(object);
    Py_DECREF(type); // a heap type, held by each of its objects
}

// Makes the type that `description` describes and adds it to `module` as `name`; false with an
// exception set.
inline bool add_type(PyObject* module, PyType_Spec* description, const char* name) noexcept {
    py::Ref type{PyType_FromSpec(description)};
    return type && PyModule_AddObject(module, name, type.get()) == 0 &&
           type.release() != nullptr;
}

} // namespace mutflank::engine
