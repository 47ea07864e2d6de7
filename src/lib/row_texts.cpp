#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "row_texts.hpp"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

namespace mutflank::py {
namespace {

constexpr const char* storage_name = "mutflank.row_texts";

void destroy_storage(PyObject* capsule) noexcept {
    delete static_cast<RowTexts*>(PyCapsule_GetPointer(capsule, storage_name));
}

PyObject* make_str(std::string_view text, bool ascii) noexcept {
    const auto length = static_cast<Py_ssize_t>(text.size());
    if (!ascii) {
        return PyUnicode_DecodeUTF8(text.data(), length, "strict");
    }
    PyObject* object = PyUnicode_New(length, 127);
    if (object != nullptr && length > 0) {
        std::memcpy(PyUnicode_1BYTE_DATA(object), text.data(), text.size());
    }
    return object;
}

} // namespace

RowTexts::RowTexts(RowTexts&& other) noexcept
    : items_(std::exchange(other.items_, nullptr)), size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

RowTexts::~RowTexts() {
    for (std::size_t i = 0; i < size_; ++i) {
        Py_DECREF(items_[i]);
    }
    std::free(items_); // NOLINT(cppcoreguidelines-no-malloc): grown with realloc
}

bool RowTexts::push(std::string_view text, bool ascii) noexcept {
    if (size_ == capacity_) {
        constexpr std::size_t limit =
            static_cast<std::size_t>(std::numeric_limits<Py_ssize_t>::max()) / sizeof(PyObject*);
        const std::size_t grown = capacity_ == 0 ? 64 : capacity_ * 2;
        if (capacity_ >= limit) {
            PyErr_NoMemory();
            return false;
        }
        const std::size_t capacity = grown > limit ? limit : grown;
        void* items = std::realloc(items_, capacity * sizeof(PyObject*)); // NOLINT
        if (items == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        items_ = static_cast<PyObject**>(items);
        capacity_ = capacity;
    }
    PyObject* object = make_str(text, ascii);
    if (object == nullptr) {
        return false;
    }
    items_[size_++] = object;
    return true;
}

void RowTexts::shrink_to_fit() noexcept {
    if (size_ == capacity_ || size_ == 0) {
        return;
    }
    void* items = std::realloc(items_, size_ * sizeof(PyObject*)); // NOLINT
    if (items != nullptr) {
        items_ = static_cast<PyObject**>(items);
        capacity_ = size_;
    }
}

PyObject* into_array(RowTexts texts, std::size_t per_row, const numpy::Api& numpy) noexcept {
    const std::size_t count = texts.size();
    const std::size_t rows = count == 0 ? 0 : count / per_row;
    npy_intp flat_length = static_cast<npy_intp>(count);
    npy_intp shape[2] = {static_cast<npy_intp>(rows),
                         static_cast<npy_intp>(count == 0 ? 0 : per_row)};

    PyArray_Descr* descr = numpy.descr_from_type(NPY_OBJECT);
    if (descr == nullptr) {
        return nullptr;
    }
    Ref flat;
    if (count == 0) {
        flat = Ref{numpy.new_from_descr(numpy.array_type(), descr, 1, &flat_length, nullptr,
                                        nullptr, 0, nullptr)};
        if (!flat) {
            return nullptr;
        }
    } else {
        // The array is made over the buffer itself; a capsule that owns the buffer (and
        // the references in it) becomes the array's base object.
        texts.shrink_to_fit();
        auto* storage = new (std::nothrow) RowTexts(std::move(texts));
        if (storage == nullptr) {
            Py_DECREF(descr);
            PyErr_NoMemory();
            return nullptr;
        }
        Ref base{PyCapsule_New(storage, storage_name, destroy_storage)};
        if (!base) {
            delete storage;
            Py_DECREF(descr);
            return nullptr;
        }
        flat = Ref{numpy.new_from_descr(numpy.array_type(), descr, 1, &flat_length, nullptr,
                                        storage->items_, NPY_ARRAY_CARRAY, nullptr)};
        if (!flat) {
            return nullptr;
        }
        if (numpy.set_base_object(flat.get(), base.release()) != 0) {
            return nullptr;
        }
    }
    PyArray_Dims dims{shape, 2};
    return numpy.newshape(flat.get(), &dims, NPY_ANYORDER);
}

} // namespace mutflank::py
