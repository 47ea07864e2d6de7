// The module's entry point: PyInit_mutflank and the module object it builds.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <new>

#include "exceptions.hpp"
#include "parse_vcf_files.hpp"
#include "py_ref.hpp"

#ifndef MUTFLANK_VERSION
#error "MUTFLANK_VERSION must be defined by the build"
#endif

namespace mutflank::py {
namespace {

constexpr const char* module_doc =
    "Mutation-context strings such as AC[C>T]TA from tables of point mutations.";

constexpr const char* subinterpreter_message =
    "mutflank does not support sub-interpreters and can be imported only by the first "
    "interpreter that imported it, see "
    "https://docs.python.org/3/c-api/init.html#bugs-and-caveats";

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "mutflank",
    module_doc,
    0,       // no per-module state
    nullptr, // no method table: the module body adds parse_vcf_files
    nullptr, // no slots
    nullptr,
    nullptr,
    nullptr,
};

// The first interpreter that tried to initialise the module; -1 until then, never reset.
std::atomic<std::int64_t> first_interpreter{-1};

// The module object once built, kept for the life of the process, so that importing again
// (also after removal from sys.modules) gives the same object.
PyObject* module_cell = nullptr;

// Appends `name` to the module's __all__ (made on first use), then sets the attribute.
bool add_name(PyObject* module, PyObject* name, PyObject* value) noexcept {
    Ref all{PyObject_GetAttrString(module, "__all__")};
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return false;
        }
        PyErr_Clear();
        all = Ref{PyList_New(0)};
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) {
            return false;
        }
    } else if (!PyList_Check(all.get())) {
        Ref type = type_name_of(all.get());
        if (type) {
            PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyList'",
                         type.get());
        }
        return false;
    }
    if (PyList_Append(all.get(), name) != 0) {
        Ref cause = render_pending_error();
        Ref message{
            cause ? PyUnicode_FromFormat("could not append __name__ to __all__: %U", cause.get())
                  : nullptr};
        if (message) {
            raise_panic(message.get());
        }
        return false;
    }
    return PyObject_SetAttr(module, name, value) == 0;
}

// The module body: __version__, then parse_vcf_files.
bool fill_module(PyObject* module) noexcept {
    Ref version_name{PyUnicode_FromString("__version__")};
    Ref version{PyUnicode_FromString(MUTFLANK_VERSION)};
    if (!version_name || !version || !add_name(module, version_name.get(), version.get())) {
        return false;
    }
    Ref module_name{PyModule_GetNameObject(module)};
    Ref function{module_name
                     ? PyCFunction_NewEx(&parse_vcf_files_method, module, module_name.get())
                     : nullptr};
    Ref function_name{function ? PyObject_GetAttrString(function.get(), "__name__") : nullptr};
    return function_name && add_name(module, function_name.get(), function.get());
}

PyObject* initialise() noexcept {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!first_interpreter.compare_exchange_strong(expected, interpreter,
                                                   std::memory_order_seq_cst) &&
        expected != interpreter) {
        PyErr_SetString(PyExc_ImportError, subinterpreter_message);
        return nullptr;
    }
    if (module_cell != nullptr) {
        Py_INCREF(module_cell);
        return module_cell;
    }
    Ref module{PyModule_Create(&module_definition)};
    if (!module || !fill_module(module.get())) {
        return nullptr;
    }
    module_cell = new_ref(module.get()).release();
    return module.release();
}

} // namespace
} // namespace mutflank::py

PyMODINIT_FUNC PyInit_mutflank() {
    try {
        return mutflank::py::initialise();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        return mutflank::py::raise_panic("unknown C++ exception during initialisation");
    }
}
