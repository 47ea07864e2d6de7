// The private extension of the command's package: PyInit__engine and its method table.
#define MUTFLANK_ENGINE_IMPORTS_NUMPY
#include "numpy.hpp"

#include <array>

#include "functions.hpp"

namespace mutflank::engine {
using py::Ref;
namespace {

// Filled on the first import (the entries are defined in other files).
std::array<PyMethodDef, 12> methods{};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "mutflank_tools._engine",
    "The C++ engine of the mutflank command: its hot path (private; no stable API).",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* initialise() noexcept {
    if (_import_array() < 0)
        return nullptr;
    methods = {allele_classes_method, count_contexts_method, fingerprints_method,
               indel_classes_method, inside_regions_method, pair_codes_method,
               read_bed_method, read_window_rows_method, sbs_channels_method,
               table_rows_method, text_lengths_method,
               PyMethodDef{nullptr, nullptr, 0, nullptr}};
    module_definition.m_methods = methods.data();
    Ref module{PyModule_Create(&module_definition)};
    if (!module || !add_vcf_scanner(module.get()) || !add_bcf_reader(module.get()) ||
        !add_mutation_set(module.get()) || !add_doublet_merger(module.get()) ||
        !add_mutation_table_scanner(module.get()) || !add_maf_scanner(module.get()) ||
        !add_snv_counter(module.get()))
        return nullptr;
    return module.release();
}

} // namespace
} // namespace mutflank::engine

PyMODINIT_FUNC PyInit__engine() { return mutflank::engine::initialise(); }
