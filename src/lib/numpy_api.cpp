#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "numpy_api.hpp"

#include <optional>

#include "exceptions.hpp"

namespace mutflank::numpy {
namespace {

// The ABI versions whose table layout this module relies on: NumPy 1.x (since 1.8) and
// NumPy 2.x. The slots used above are the same in both.
constexpr unsigned numpy1_abi_version = 0x01000009;
constexpr unsigned numpy2_abi_version = 0x02000000;
// PyArray_SetBaseObject, the newest function used, arrived with C-API version 7 (NumPy 1.7).
constexpr unsigned required_feature_version = 0x00000007;

// Both written once, after a successful fetch, and kept for the life of the process. The
// capsule is held so that the table it points to stays valid.
std::optional<Api> fetched;
PyObject* capsule_owner = nullptr;

// Sets an exception and returns nullptr when the capsule cannot be used.
void** table_from_capsule(PyObject* capsule) noexcept {
    if (!PyCapsule_CheckExact(capsule)) {
        py::Ref name = py::type_name_of(capsule);
        if (name) {
            PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyCapsule'",
                         name.get());
        }
        return nullptr;
    }
    auto** table = static_cast<void**>(PyCapsule_GetPointer(capsule, nullptr));
    if (table == nullptr) {
        return nullptr;
    }
    // The same checks as NumPy's own import_array().
    const unsigned abi = reinterpret_cast<unsigned (*)()>(table[Api::abi_version_slot])();
    if (abi != numpy1_abi_version && abi != numpy2_abi_version) {
        PyErr_Format(PyExc_ImportError,
                     "module compiled against ABI version 0x%x but this version of numpy is 0x%x",
                     numpy1_abi_version, abi);
        return nullptr;
    }
    const unsigned feature = reinterpret_cast<unsigned (*)()>(table[Api::feature_version_slot])();
    if (feature < required_feature_version) {
        PyErr_Format(PyExc_ImportError,
                     "module compiled against API version 0x%x but this version of numpy is 0x%x",
                     required_feature_version, feature);
        return nullptr;
    }
    return table;
}

void** fetch_table(py::Ref& capsule) noexcept {
    py::Ref module{PyImport_ImportModule("numpy.core.multiarray")};
    if (!module) {
        return nullptr;
    }
    capsule = py::Ref{PyObject_GetAttrString(module.get(), "_ARRAY_API")};
    if (!capsule) {
        return nullptr;
    }
    return table_from_capsule(capsule.get());
}

} // namespace

const Api* api() noexcept {
    if (fetched) {
        return &*fetched;
    }
    py::Ref capsule;
    void** table = fetch_table(capsule);
    if (table == nullptr) {
        py::Ref cause = py::render_pending_error();
        if (!cause) {
            return nullptr;
        }
        py::Ref message{
            PyUnicode_FromFormat("Failed to access NumPy array API capsule: %U", cause.get())};
        if (message) {
            py::raise_panic(message.get());
        }
        return nullptr;
    }
    capsule_owner = capsule.release();
    fetched.emplace(table);
    return &*fetched;
}

} // namespace mutflank::numpy
