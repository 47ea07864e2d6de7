#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "arguments.hpp"

#include <string>

namespace mutflank::py {
namespace {

constexpr const char* function_name = "parse_vcf_files()";

// The parameter names as interned str objects, made once, so that keyword names (which
// the interpreter normally interns too) match by identity first.
std::array<PyObject*, parameter_count> interned_names{};

bool intern_names() noexcept {
    for (std::size_t i = 0; i < parameter_count; ++i) {
        if (interned_names[i] == nullptr) {
            interned_names[i] = PyUnicode_InternFromString(parameter_names[i]);
            if (interned_names[i] == nullptr) {
                return false;
            }
        }
    }
    return true;
}

// The index of the parameter named `keyword`, or parameter_count when there is none.
std::size_t parameter_index(PyObject* keyword) noexcept {
    for (std::size_t i = 0; i < parameter_count; ++i) {
        if (keyword == interned_names[i]) {
            return i;
        }
    }
    for (std::size_t i = 0; i < parameter_count; ++i) {
        if (PyUnicode_Compare(keyword, interned_names[i]) == 0) {
            return i;
        }
    }
    return parameter_count;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(const std::array<const char*, parameter_count>& names, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) {
            text += count == 2 ? " and " : (i + 1 == count ? ", and " : ", ");
        }
        text += '\'';
        text += names[i];
        text += '\'';
    }
    return text;
}

bool raise_missing(const std::array<PyObject*, parameter_count>& bound) noexcept {
    std::array<const char*, parameter_count> missing{};
    std::size_t count = 0;
    for (std::size_t i = 0; i < parameter_count; ++i) {
        if (bound[i] == nullptr) {
            missing[count++] = parameter_names[i];
        }
    }
    try {
        const std::string list = quoted_list(missing, count);
        PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", function_name,
                     count, count == 1 ? "argument" : "arguments", list.c_str());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    return false;
}

} // namespace

bool bind_arguments(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                    std::array<PyObject*, parameter_count>& bound) noexcept {
    const Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
    if (positional > static_cast<Py_ssize_t>(parameter_count)) {
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd were given",
                     function_name, parameter_count, positional);
        return false;
    }
    bound.fill(nullptr);
    for (Py_ssize_t i = 0; i < positional; ++i) {
        bound[static_cast<std::size_t>(i)] = args[i];
    }
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (keywords > 0 && !intern_names()) {
        return false;
    }
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%s keywords must be strings", function_name);
            return false;
        }
        const std::size_t index = parameter_index(keyword);
        if (index == parameter_count) {
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                         function_name, keyword);
            return false;
        }
        if (bound[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                         function_name, parameter_names[index]);
            return false;
        }
        bound[index] = args[positional + k];
    }
    if (positional < static_cast<Py_ssize_t>(parameter_count)) {
        for (PyObject* value : bound) {
            if (value == nullptr) {
                return raise_missing(bound);
            }
        }
    }
    return true;
}

} // namespace mutflank::py
