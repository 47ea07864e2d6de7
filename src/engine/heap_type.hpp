// The engine's Python types (the scanners, DoubletMerger, MutationSet) are heap types made
// from a description: their registration and the end of their objects' dealloc, in one place.
#pragma once

#include "py_ref.hpp"

#include <cstring>
#include <initializer_list>
#include <vector>

namespace mutflank::engine {

// The end of a heap type's tp_dealloc, once the object's own resources are released.
inline void free_object(PyObject* object) noexcept {
    PyTypeObject* type = Py_TYPE(object);
    type->tp_free(object);
    Py_DECREF(type); // a heap type, held by each of its objects
}

// Makes the type `qualified` (a full name, which outlives the type) of objects of `size`
// bytes, and adds it to `module` by the last part of that name. `methods` outlives the type;
// `more`: slots beyond the doc, new, init, dealloc and methods. False with an exception set.
inline bool add_type(PyObject* module, const char* qualified, std::size_t size, const char* doc,
                     initproc init, destructor dealloc, PyMethodDef* methods,
                     std::initializer_list<PyType_Slot> more = {}) noexcept {
    try {
        std::vector<PyType_Slot> slots = {
            {Py_tp_doc, const_cast<char*>(doc)},
            {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
            {Py_tp_init, reinterpret_cast<void*>(init)},
            {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
            {Py_tp_methods, methods},
        };
        slots.insert(slots.end(), more);
        slots.push_back({0, nullptr});
        PyType_Spec description = {qualified, static_cast<int>(size), 0, Py_TPFLAGS_DEFAULT,
                                   slots.data()};
        py::Ref type{PyType_FromSpec(&description)};
        return type &&
               PyModule_AddObject(module, std::strrchr(qualified, '.') + 1, type.get()) == 0 &&
               type.release() != nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
}

} // namespace mutflank::engine
