#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "parse_vcf_files.hpp"

#include <cstdint>
#include <exception>
#include <new>
#include <string_view>

#include "arguments.hpp"
#include "exceptions.hpp"
#include "mutflank_core.hpp"
#include "numpy_api.hpp"
#include "row_texts.hpp"

namespace mutflank::py {
namespace {

constexpr std::size_t texts_per_row = 2; // the row key, then the context string

// Makes each row's two str objects as the scanner hands the row over.
class StrSink final : public RowSink {
  public:
    explicit StrSink(RowTexts& texts) noexcept : texts_(texts) {}

    bool add(std::string_view key, std::string_view context, bool ascii) noexcept override {
        return texts_.push(key, ascii) && texts_.push(context, ascii);
    }

  private:
    RowTexts& texts_;
};

// Sets TypeError "'<type>' object cannot be converted to '<target>'".
void raise_conversion_error(PyObject* object, const char* target) noexcept {
    Ref name = type_name_of(object);
    if (name) {
        PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(),
                     target);
    }
}

// The UTF-8 text of a str (or str subclass); on failure an exception is set and the view's
// data is nullptr. The text lives as long as the object.
std::string_view utf8_of(PyObject* object) noexcept {
    if (!PyUnicode_Check(object)) {
        raise_conversion_error(object, "PyString");
        return {};
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) {
        return {};
    }
    return {data, static_cast<std::size_t>(size)};
}

PyObject* call(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    std::array<PyObject*, parameter_count> bound{};
    if (!bind_arguments(args, nargsf, kwnames, bound)) {
        return nullptr;
    }
    auto [vcf_files, ref_genome, context] = bound;

    if (!PyList_Check(vcf_files)) {
        raise_conversion_error(vcf_files, "PyList");
        return rewrap_argument_error("vcf_files");
    }
    const std::string_view root = utf8_of(ref_genome);
    if (root.data() == nullptr) {
        return rewrap_argument_error("ref_genome");
    }
    Ref index{PyNumber_Index(context)};
    if (!index) {
        return rewrap_argument_error("context");
    }
    const unsigned long long width = PyLong_AsUnsignedLongLong(index.get());
    if (width == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return rewrap_argument_error("context");
    }
    const std::uint64_t half_width = width / 2;

    RowTexts texts;
    StrSink sink{texts};
    {
        // One session for the whole list: the reference reads share one ring across the
        // tables. Each scan reads all its windows before it returns, so the earliest failure
        // in line order comes before the next element is looked at. The session's
        // descriptors are closed at the end of this block, on every path.
        ScanSession session;
        // Elements are read from the list's own storage, one at a time: the size is read
        // again at every step, and the element is held while its file is scanned.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(vcf_files); ++i) {
            Ref element = new_ref(PyList_GET_ITEM(vcf_files, i));
            const std::string_view path = utf8_of(element.get());
            if (path.data() == nullptr) {
                return nullptr;
            }
            if (auto error = scan_file(path, root, half_width, sink, session)) {
                return raise_extraction_error(*error);
            }
        }
    }

    const numpy::Api* numpy = numpy::api();
    if (numpy == nullptr) {
        return nullptr;
    }
    return into_array(std::move(texts), texts_per_row, *numpy);
}

// The function the interpreter calls: no C++ exception leaves it.
PyObject* parse_vcf_files(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames) noexcept {
    try {
        return call(args, nargsf, kwnames);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& error) {
        return raise_panic(error.what());
    } catch (...) {
        return raise_panic("unknown C++ exception");
    }
}

} // namespace

PyMethodDef parse_vcf_files_method = {
    "parse_vcf_files",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_vcf_files)),
    METH_FASTCALL | METH_KEYWORDS,
    "parse_vcf_files(vcf_files, ref_genome, context)\n--\n\n",
};

} // namespace mutflank::py
