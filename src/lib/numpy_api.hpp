// NumPy's C function table, fetched on first need from the `_ARRAY_API` capsule of
// `numpy.core.multiarray`. Only slots that NumPy 1.x and 2.x both keep at the same place
// and with the same signature are used.
#pragma once

#include "py_ref.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/ndarraytypes.h>

namespace mutflank::numpy {

class Api {
  public:
    explicit Api(void** table) noexcept : table_(table) {}

    [[nodiscard]] PyTypeObject* array_type() const noexcept {
        return static_cast<PyTypeObject*>(table_[array_type_slot]);
    }
    // New reference, or nullptr with an exception set.
    [[nodiscard]] PyArray_Descr* descr_from_type(int type_number) const noexcept {
        return slot<PyArray_Descr* (*)(int)>(descr_from_type_slot)(type_number);
    }
    // Steals `descr`, also on failure.
    // NOLINTBEGIN(bugprone-easily-swappable-parameters): NumPy's own signatures
    [[nodiscard]] PyObject* new_from_descr(PyTypeObject* subtype, PyArray_Descr* descr, int nd,
                                           const npy_intp* dims, const npy_intp* strides,
                                           void* data, int flags, PyObject* obj) const noexcept {
        return slot<PyObject* (*)(PyTypeObject*, PyArray_Descr*, int, const npy_intp*,
                                  const npy_intp*, void*, int, PyObject*)>(new_from_descr_slot)(
            subtype, descr, nd, dims, strides, data, flags, obj);
    }
    [[nodiscard]] PyObject* newshape(PyObject* array, PyArray_Dims* shape,
                                     NPY_ORDER order) const noexcept {
        return slot<PyObject* (*)(PyArrayObject*, PyArray_Dims*, NPY_ORDER)>(newshape_slot)(
            reinterpret_cast<PyArrayObject*>(array), shape, order);
    }
    // Steals `base`, also on failure. Returns 0, or -1 with an exception set.
    [[nodiscard]] int set_base_object(PyObject* array, PyObject* base) const noexcept {
        return slot<int (*)(PyArrayObject*, PyObject*)>(set_base_object_slot)(
            reinterpret_cast<PyArrayObject*>(array), base);
    }
    // NOLINTEND(bugprone-easily-swappable-parameters)

    static constexpr int abi_version_slot = 0;
    static constexpr int array_type_slot = 2;
    static constexpr int descr_from_type_slot = 45;
    static constexpr int new_from_descr_slot = 94;
    static constexpr int newshape_slot = 135;
    static constexpr int feature_version_slot = 211;
    static constexpr int set_base_object_slot = 282;

  private:
    template <class Function> [[nodiscard]] Function slot(int index) const noexcept {
        return reinterpret_cast<Function>(table_[index]);
    }

    void** table_;
};

// The table, fetched and checked on the first call and kept for the life of the process.
// On failure returns nullptr with PanicException("Failed to access NumPy array API
// capsule: PyErr { ... }") set; a failure is not remembered, so the next call tries again.
const Api* api() noexcept;

} // namespace mutflank::numpy
