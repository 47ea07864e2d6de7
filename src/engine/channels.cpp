// sbs_channels and indel_classes: the channel of many substitutions, and the class of many
// indels, from the reference around them.
#include "numpy.hpp"

#include <span>
#include <string_view>

#include "functions.hpp"
#include "indel_class.hpp"
#include "sbs_channel.hpp"

namespace mutflank::engine {
using py::Ref;
namespace {

// The arguments both functions take: a window of `width` int16 reference bytes per record and
// the records' REF and ALT (object arrays of str), checked to agree in length.
struct Windowed {
    Ref window;
    Ref refs;
    Ref alts;
    npy_intp count = 0;

    [[nodiscard]] bool read(const char* name, PyObject* window_object, PyObject* ref_object,
                            PyObject* alt_object, npy_intp width) {
        window = Ref{PyArray_FROMANY(window_object, NPY_INT16, 2, 2, NPY_ARRAY_IN_ARRAY)};
        refs = Ref{window ? PyArray_FROMANY(ref_object, NPY_OBJECT, 1, 1, NPY_ARRAY_IN_ARRAY)
                          : nullptr};
        alts = Ref{refs ? PyArray_FROMANY(alt_object, NPY_OBJECT, 1, 1, NPY_ARRAY_IN_ARRAY)
                        : nullptr};
        if (!alts)
            return false;
        count = PyArray_DIM(array(window), 0);
        if (PyArray_DIM(array(window), 1) != width || PyArray_DIM(array(refs), 0) != count ||
            PyArray_DIM(array(alts), 0) != count) {
            PyErr_Format(PyExc_ValueError,
                         "%s: a window of %zd bases and one REF and ALT per window", name,
                         static_cast<Py_ssize_t>(width));
            return false;
        }
        return true;
    }

    [[nodiscard]] std::span<const std::int16_t> window_of(npy_intp row) const {
        const auto width = static_cast<std::size_t>(PyArray_DIM(array(window), 1));
        return {static_cast<const std::int16_t*>(PyArray_DATA(array(window))) +
                    static_cast<std::size_t>(row) * width,
                width};
    }

    // The REF and ALT of a record as UTF-8 bytes; false with an exception set.
    [[nodiscard]] bool alleles(npy_intp row, std::string_view& ref, std::string_view& alt) const {
        Py_ssize_t ref_size = 0;
        Py_ssize_t alt_size = 0;
        const char* r = PyUnicode_AsUTF8AndSize(objects(refs)[row], &ref_size);
        const char* a = r ? PyUnicode_AsUTF8AndSize(objects(alts)[row], &alt_size) : nullptr;
        if (a == nullptr)
            return false;
        ref = {r, static_cast<std::size_t>(ref_size)};
        alt = {a, static_cast<std::size_t>(alt_size)};
        return true;
    }

    static PyArrayObject* array(const Ref& ref) {
        return reinterpret_cast<PyArrayObject*>(ref.get());
    }
    static PyObject** objects(const Ref& ref) {
        return static_cast<PyObject**>(PyArray_DATA(array(ref)));
    }
};

Ref int64_array(npy_intp count) {
    npy_intp dims[1] = {count};
    return Ref{PyArray_SimpleNew(1, dims, NPY_INT64)};
}

std::int64_t* int64_data(const Ref& array) {
    return static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
}

constexpr const char* sbs_doc =
    "sbs_channels(window, refs, alts, flank) -> int64 array\n\n"
    "The SBS channel of each substitution (refs, alts: object arrays of one-letter str of\n"
    "A, C, G, T) from `window`, the int16 reference bytes from `flank` bases before it to\n"
    "`flank` after it (records x 2 * flank + 1), or -1 - reason: 0 at a chromosome start,\n"
    "1 too close to its end, 2 a base other than A, C, G, T beside it.";

PyObject* sbs_channels_call(PyObject* /*module*/, PyObject* args) noexcept {
    PyObject* window_object = nullptr;
    PyObject* ref_object = nullptr;
    PyObject* alt_object = nullptr;
    int flank = 0;
    if (!PyArg_ParseTuple(args, "OOOi:sbs_channels", &window_object, &ref_object, &alt_object,
                          &flank))
        return nullptr;
    if (flank < 0 || flank > 8) {
        PyErr_SetString(PyExc_ValueError, "sbs_channels: flank must be 0 to 8");
        return nullptr;
    }
    Windowed records;
    if (!records.read("sbs_channels", window_object, ref_object, alt_object, 2 * flank + 1))
        return nullptr;
    Ref result = int64_array(records.count);
    if (!result)
        return nullptr;
    std::int64_t* channels = int64_data(result);
    for (npy_intp i = 0; i < records.count; ++i) {
        std::string_view ref;
        std::string_view alt;
        if (!records.alleles(i, ref, alt))
            return nullptr;
        if (ref.size() != 1 || alt.size() != 1) {
            PyErr_SetString(PyExc_ValueError, "sbs_channels: a REF or ALT of other than one base");
            return nullptr;
        }
        channels[i] = sbs_channel(records.window_of(i), ref[0], alt[0], flank);
    }
    return result.release();
}

constexpr const char* indel_doc =
    "indel_classes(window, refs, alts, side) -> (codes, wider)\n\n"
    "The ID83 class of each indel (refs, alts: object arrays of str as the input writes them)\n"
    "from `window`, the int16 reference bytes from `side` bases before its position to `side`\n"
    "after it (records x 2 * side + 1): codes[i] is ((size * 2 + insertion) * 4 + unit) * 6 +\n"
    "count, unit 0 C, 1 T, 2 repeat, 3 microhomology (0 to 287), or -1 - reason: 0 complex,\n"
    "1 bases other than A, C, G, T; where wider[i] is not 0, the window was too narrow and\n"
    "wider[i] bases on each side are to be read instead (codes[i] is then meaningless).";

PyObject* indel_classes_call(PyObject* /*module*/, PyObject* args) noexcept {
    PyObject* window_object = nullptr;
    PyObject* ref_object = nullptr;
    PyObject* alt_object = nullptr;
    Py_ssize_t side = 0;
    if (!PyArg_ParseTuple(args, "OOOn:indel_classes", &window_object, &ref_object, &alt_object,
                          &side))
        return nullptr;
    if (side < 1 || side > (Py_ssize_t{1} << 30)) {
        PyErr_SetString(PyExc_ValueError, "indel_classes: side must be 1 to 2^30");
        return nullptr;
    }
    Windowed records;
    if (!records.read("indel_classes", window_object, ref_object, alt_object, 2 * side + 1))
        return nullptr;
    Ref codes = int64_array(records.count);
    Ref wider = codes ? int64_array(records.count) : Ref{};
    if (!wider)
        return nullptr;
    for (npy_intp i = 0; i < records.count; ++i) {
        std::string_view ref;
        std::string_view alt;
        if (!records.alleles(i, ref, alt))
            return nullptr;
        const IndelOutcome outcome =
            classify_indel(records.window_of(i), static_cast<std::size_t>(side), ref, alt);
        int64_data(codes)[i] = outcome.code;
        int64_data(wider)[i] = static_cast<std::int64_t>(outcome.wider);
    }
    return PyTuple_Pack(2, codes.get(), wider.get());
}

} // namespace

PyMethodDef sbs_channels_method = {"sbs_channels",
                                   reinterpret_cast<PyCFunction>(sbs_channels_call),
                                   METH_VARARGS, sbs_doc};
PyMethodDef indel_classes_method = {"indel_classes",
                                    reinterpret_cast<PyCFunction>(indel_classes_call),
                                    METH_VARARGS, indel_doc};

} // namespace mutflank::engine
