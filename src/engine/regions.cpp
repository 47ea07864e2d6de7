// inside_regions: whether each record lies in the regions of --regions (the rule of
// src/core/region_rule.hpp), one pass over the records, for inputs/regions.py.
#include <cstdint>
#include <vector>

#include "columns.hpp"
#include "functions.hpp"
#include "numpy.hpp"
#include "region_rule.hpp"

namespace mutflank::engine {
using py::Ref;
namespace {

// The letters of a str, as region_rule.hpp reads alleles.
struct Letters {
    int kind;
    const void* data;
    std::size_t length;

    explicit Letters(PyObject* text)
        : kind(PyUnicode_KIND(text)), data(PyUnicode_DATA(text)),
          length(static_cast<std::size_t>(PyUnicode_GET_LENGTH(text))) {}
    [[nodiscard]] std::size_t size() const noexcept { return length; }
    Py_UCS4 operator[](std::size_t i) const noexcept {
        return PyUnicode_READ(kind, data, static_cast<Py_ssize_t>(i));
    }
};

struct Intervals {
    const std::int64_t* starts;
    const std::int64_t* ends;
    std::size_t count;
    std::size_t hint; // where the last stretch looked up fell (see region_rule.hpp)
};

constexpr long let_through = -1; // a chromosome the reference lacks: left to its checks
constexpr long no_regions = -2;  // a chromosome without regions: every record outside

Ref column(PyObject* object, int type, npy_intp count, const char* name) {
    Ref array{PyArray_FROMANY(object, type, 1, 1, NPY_ARRAY_IN_ARRAY | NPY_ARRAY_FORCECAST)};
    if (array && count >= 0 &&
        PyArray_DIM(reinterpret_cast<PyArrayObject*>(array.get()), 0) != count) {
        PyErr_Format(PyExc_ValueError, "inside_regions: %s has another length", name);
        return nullptr;
    }
    return array;
}


// The interval tables of `tables`, a list of (starts, ends) int64 arrays, added to `out` from
// the first one it lacks, kept alive in `held`; false with an exception set.
bool tables_of(PyObject* tables, std::vector<Ref>& held, std::vector<Intervals>& out) {
    if (!PyList_Check(tables)) {
        PyErr_SetString(PyExc_TypeError, "inside_regions: the tables are not a list");
        return false;
    }
    for (auto i = static_cast<Py_ssize_t>(out.size()); i < PyList_GET_SIZE(tables); ++i) {
        PyObject* pair = PyList_GET_ITEM(tables, i);
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
            PyErr_SetString(PyExc_TypeError, "inside_regions: a table is not (starts, ends)");
            return false;
        }
        Ref starts = column(PyTuple_GET_ITEM(pair, 0), NPY_INT64, -1, "starts");
        if (!starts)
            return false;
        const npy_intp count = PyArray_DIM(reinterpret_cast<PyArrayObject*>(starts.get()), 0);
        Ref ends = column(PyTuple_GET_ITEM(pair, 1), NPY_INT64, count, "ends");
        if (!ends)
            return false;
        out.push_back({data_of<std::int64_t>(starts), data_of<std::int64_t>(ends),
                       static_cast<std::size_t>(count), 0});
        held.push_back(std::move(starts));
        held.push_back(std::move(ends));
    }
    return true;
}

// The table number of `name` from `known` (a dict), asking `resolve(name)` and keeping its
// answer there when the name is new (resolve may add tables to `tables`); -3 with an
// exception set.
long table_number(PyObject* name, PyObject* known, PyObject* resolve, PyObject* tables,
                  std::vector<Ref>& held, std::vector<Intervals>& table) {
    PyObject* found = PyDict_GetItemWithError(known, name);
    Ref asked;
    if (found == nullptr) {
        if (PyErr_Occurred())
            return -3;
        asked = Ref{PyObject_CallOneArg(resolve, name)};
        if (!asked || PyDict_SetItem(known, name, asked.get()) != 0)
            return -3;
        found = asked.get();
    }
    const long number = PyLong_AsLong(found);
    if (number == -1 && PyErr_Occurred())
        return -3;
    if (number >= static_cast<long>(table.size()) && !tables_of(tables, held, table))
        return -3;
    if (number < no_regions || number >= static_cast<long>(table.size())) {
        PyErr_SetString(PyExc_ValueError, "inside_regions: a table number out of range");
        return -3;
    }
    return number;
}

PyObject* inside_regions(PyObject* /*module*/, PyObject* args) noexcept {
    PyObject* objects[4] = {};
    PyObject* known = nullptr;
    PyObject* resolve = nullptr;
    PyObject* tables = nullptr;
    if (!PyArg_ParseTuple(args, "OOOOO!OO:inside_regions", &objects[0], &objects[1], &objects[2],
                          &objects[3], &PyDict_Type, &known, &resolve, &tables))
        return nullptr;
    Ref chromosomes = column(objects[0], NPY_OBJECT, -1, "chromosomes");
    if (!chromosomes)
        return nullptr;
    const npy_intp count = PyArray_DIM(reinterpret_cast<PyArrayObject*>(chromosomes.get()), 0);
    Ref positions = column(objects[1], NPY_INT64, count, "positions");
    Ref refs{positions ? column(objects[2], NPY_OBJECT, count, "refs") : nullptr};
    Ref alts{refs ? column(objects[3], NPY_OBJECT, count, "alts") : nullptr};
    if (!alts)
        return nullptr;
    npy_intp dims[1] = {count};
    Ref result{PyArray_SimpleNew(1, dims, NPY_BOOL)};
    if (!result)
        return nullptr;
    try {
        std::vector<Ref> held;
        std::vector<Intervals> table;
        if (!tables_of(tables, held, table))
            return nullptr;
        PyObject** chromosome = data_of<PyObject*>(chromosomes);
        const auto* position = data_of<std::int64_t>(positions);
        PyObject** ref = data_of<PyObject*>(refs);
        PyObject** alt = data_of<PyObject*>(alts);
        auto* inside = data_of<npy_bool>(result);
        PyObject* previous = nullptr; // records come in runs of one chromosome
        long number = no_regions;
        for (npy_intp i = 0; i < count; ++i) {
            if (chromosome[i] != previous) {
                number = table_number(chromosome[i], known, resolve, tables, held, table);
                if (number == -3)
                    return nullptr;
                previous = chromosome[i];
            }
            if (number < 0) {
                inside[i] = number == let_through;
                continue;
            }
            if (!PyUnicode_Check(ref[i]) || !PyUnicode_Check(alt[i])) {
                PyErr_Format(PyExc_TypeError, "inside_regions: allele %zd is not a str", i);
                return nullptr;
            }
            Intervals& mine = table[static_cast<std::size_t>(number)];
            inside[i] =
                within(mine.starts, mine.ends, mine.count,
                       changed_stretch(position[i], Letters(ref[i]), Letters(alt[i])), mine.hint);
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    return result.release();
}

} // namespace

PyMethodDef inside_regions_method = {
    "inside_regions", inside_regions, METH_VARARGS,
    "inside_regions(chromosomes, positions, refs, alts, known, resolve, tables) -> bool array\n\n"
    "Whether each record (chromosomes, refs, alts: object arrays of str; positions: 1-based\n"
    "integers) lies in the regions: `tables` is a list of (starts, ends) int64 arrays of\n"
    "merged intervals; `known` a dict of each chromosome name met to its table's number, or\n"
    "-1 (every record inside: left to the reference's checks), or -2 (no regions: every\n"
    "record outside); a name not in it is looked up by `resolve(name)`, whose answer is kept\n"
    "there."};

} // namespace mutflank::engine
